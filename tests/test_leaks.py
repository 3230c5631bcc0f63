"""Every entry point, on its success and error paths, called many times over:
the process's memory does not grow and the reference counts of everything the
calls touch stay as they were."""

import ctypes
import gc
import os
import sys

import entry_points
import model
import pytest
import surface

# One leaked pymalloc block per call shows in the allocated blocks many times
# over at any count here. A leak in the C heap (a C++ allocation, 32 bytes at
# the least) is counted to the byte where glibc's mallinfo2 tells how much of
# the heap is handed out, 320 KB over 10**4 calls; elsewhere only the resident
# size tells, which needs 10**5 calls to stand above its noise.
BLOCK_SLACK = 200
HEAP_SLACK = 32 << 10
RSS_SLACK = 1 << 20
WARM_UP = 2000

with open("/proc/self/maps") as _maps:
    # AddressSanitizer holds freed memory in quarantine, so resident size says
    # nothing there; reference counts still do.
    SANITIZED = "libasan" in _maps.read()

PAGE = os.sysconf("SC_PAGE_SIZE")

pytestmark = pytest.mark.slow


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (field, ctypes.c_size_t)
        for field in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    ]


def _heap_counter():
    """A function giving the bytes of the C heap in use (glibc 2.33 and
    later), or None where there is no such count."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


heap_in_use = None if SANITIZED else _heap_counter()
CALLS = int(os.environ.get("KELVANE_LEAK_CALLS", "10000" if heap_in_use else "100000"))


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def memory():
    """(pymalloc blocks, C heap bytes or 0, resident bytes)"""
    return sys.getallocatedblocks(), heap_in_use() if heap_in_use else 0, resident()


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
        before = memory()
        loop(calls)
        gc.collect()
        blocks, heap, rss = (after - then for after, then in zip(memory(), before, strict=True))
        growth.append((blocks, heap, rss))
        if blocks <= BLOCK_SLACK and heap <= HEAP_SLACK and (SANITIZED or rss <= RSS_SLACK):
            return
    pytest.fail(f"memory grows over {calls} calls: (blocks, heap bytes, resident bytes) per run {growth}")


@pytest.mark.parametrize(
    "kind, expr",
    [("pymalloc block", "kept.append(object())"), ("C heap", "libc.malloc(32)")],
)
def test_a_leak_of_one_allocation_per_call_is_seen(kind, expr):
    """The measure itself: the smallest leak a call could make fails it."""
    if SANITIZED:
        pytest.skip("under the sanitizers only reference counts are measured")
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    kept = []
    with pytest.raises(pytest.fail.Exception, match="memory grows"):
        assert_no_growth(make_loop({"kept": kept, "libc": libc}, expr), CALLS)


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
    assert_no_growth(loop, CALLS // 5)
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
