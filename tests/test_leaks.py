"""Every entry point, on its success and error paths, called 10**5 times: the
process's memory does not grow and the reference counts of everything the
calls touch stay as they were."""

import gc
import os
import sys

import entry_points
import model
import pytest
import surface

CALLS = int(os.environ.get("KELVANE_LEAK_CALLS", "100000"))
WARM_UP = 2000
# One leaked pymalloc block or 16 bytes per call would show many times over.
BLOCK_SLACK = 200
RSS_SLACK = 1 << 20

with open("/proc/self/maps") as _maps:
    # AddressSanitizer holds freed memory in quarantine, so resident size says
    # nothing there; reference counts still do.
    SANITIZED = "libasan" in _maps.read()

PAGE = os.sysconf("SC_PAGE_SIZE")

pytestmark = pytest.mark.slow


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def make_loop(ns, expr):
    source = (
        "def _loop(n):\n"
        "    for _ in range(n):\n"
        "        try:\n"
        f"            {expr}\n"
        "        except Exception:\n"
        "            pass\n"
    )
    exec(source, ns)
    return ns.pop("_loop")


def refcounts(ns):
    return {name: sys.getrefcount(obj) for name, obj in entry_points.watched(ns).items()}


def settled_refcounts(loop, ns):
    """Reference counts after a warm-up and a collection: instances that
    earlier tests left in garbage cycles hold references to the classes."""
    loop(WARM_UP)
    gc.collect()
    return refcounts(ns)


def assert_no_growth(loop, calls):
    """Runs `loop(calls)`; growth is a leak only if it shows again in a second
    run (a one-time arena or cache allocation does not)."""
    growth = []
    for _ in range(2):
        gc.collect()
        blocks, rss = sys.getallocatedblocks(), resident()
        loop(calls)
        gc.collect()
        growth.append((sys.getallocatedblocks() - blocks, resident() - rss))
        blocks_grown, rss_grown = growth[-1]
        if blocks_grown <= BLOCK_SLACK and (SANITIZED or rss_grown <= RSS_SLACK):
            return
    pytest.fail(f"memory grows over {calls} calls: (blocks, bytes) per run {growth}")


@pytest.fixture(scope="module")
def ns():
    return entry_points.namespace()


@pytest.mark.parametrize("name, expr, expect", entry_points.ENTRIES, ids=[e[0] for e in entry_points.ENTRIES])
def test_entry_point_does_not_leak(ns, name, expr, expect):
    try:
        eval(expr, ns)
    except Exception as exc:
        assert expect is not None, f"{name} raised {exc!r}"
        assert (type(exc).__name__, str(exc)) == expect
    else:
        assert expect is None, f"{name} did not raise {expect}"
    loop = make_loop(ns, expr)
    before = settled_refcounts(loop, ns)
    assert_no_growth(loop, CALLS)
    gc.collect()
    assert refcounts(ns) == before


def test_reimport_does_not_leak():
    import kelvane

    root = kelvane
    channel_modules = {k: v for k, v in sys.modules.items() if k.startswith("kelvane.")}
    ns = {"sys": sys}
    loop = make_loop(ns, "sys.modules.pop('kelvane'); import kelvane; assert kelvane is root")
    ns["root"] = root
    loop(WARM_UP)
    before = sys.getrefcount(root)
    assert_no_growth(loop, CALLS // 10)
    assert sys.getrefcount(root) == before
    assert sys.modules["kelvane"] is root
    assert {k: v for k, v in sys.modules.items() if k.startswith("kelvane.")} == channel_modules
    assert root.__all__ == surface.TREE["kelvane"]


def test_resumed_panic_does_not_leak():
    """A PanicException raised by user code inside a conversion comes back as
    a new PanicException; nothing of either is kept."""
    panic = model._panic_cls()
    ns = entry_points.namespace()
    exec(
        "class PanicIndex:\n"
        "    def __index__(self):\n"
        "        raise Panic('from user code')\n"
        "panicking = PanicIndex()\n",
        ns := {**ns, "Panic": panic},
    )
    loop_source = (
        "def _loop(n):\n"
        "    for _ in range(n):\n"
        "        try:\n"
        "            kelvane.set_temperature_request(panicking, temperature, id_)\n"
        "        except Panic as exc:\n"
        "            assert exc.args == ('from user code',)\n"
    )
    exec(loop_source, ns)
    loop = ns.pop("_loop")
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)  # each resumed panic prints its traceback
        before = settled_refcounts(loop, ns)
        assert_no_growth(loop, 5000)
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
    gc.collect()
    assert refcounts(ns) == before
