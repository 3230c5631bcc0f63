"""One allocation-failure point, run in a fresh interpreter by test_nomemory.py.

    python nomemory_child.py entries K NAME   entry point NAME of entry_points.py
    python nomemory_child.py import K         the first import of the module

The K-th allocation (and only that one) after the failure is armed fails.
The child records what the call did, checks that the module still works
normally afterwards (and, for entry points, that no reference was gained or
lost), and prints one JSON report. "landed_after" tells that the call made
fewer than K + 1 allocations: a probe run after the call, with the failure
still armed, took it instead. A fresh process per point keeps the numbering
of allocations reproducible (with PYTHONHASHSEED fixed), so that a crash can
be run again under a debugger.
"""

import _testcapi
import gc
import json
import sys

PROBE_ROUNDS = tuple(range(64))


def probe():
    """True if the armed failure lands here, that is after the call."""
    try:
        for _ in PROBE_ROUNDS:
            bytearray(100)
    except MemoryError:
        return True
    return False


# The frame objects of the functions that run while the failure is armed are
# made before it is armed (sys._getframe()): the interpreter can lose the
# pending exception when such a frame object cannot be allocated later.
ARMED = """
def _armed(k):
    frame = sys._getframe()
    result = error = None
    _testcapi.set_nomemory(k, k + 1)
    try:
        result = {expr}
    except BaseException as exc:
        error = exc
    landed_after = probe()
    _testcapi.remove_mem_hooks()
    return result, error, landed_after
"""


def error_report(error):
    chain = []
    cause = error.__cause__
    while cause is not None and len(chain) < 5:
        chain.append(type(cause).__name__)
        cause = cause.__cause__
    try:
        text = str(error)
    except BaseException as exc:  # noqa: BLE001
        text = f"<str() failed: {exc!r}>"
    return {
        "type": type(error).__name__,
        "module": type(error).__module__,
        "message": text,
        "args_len": len(error.args),
        "causes": chain,
    }


# ---------------------------------------------------------------------------
# Entry points


def entry_runner(wanted):
    """run_at(k) for the entry point named `wanted`."""
    import entry_points

    ns = entry_points.namespace()
    ns.update(sys=sys, _testcapi=_testcapi, probe=probe)
    for name, expr, _expect in entry_points.ENTRIES:
        if name != wanted:
            continue
        exec(ARMED.format(expr=expr), ns)
        armed = ns.pop("_armed")
        describe_call(ns, expr, entry_points)  # warm up: caches, interned names
        normal = describe_call(ns, expr, entry_points)

        def run_at(k, armed=armed, expr=expr, normal=normal):
            gc.collect()
            before = refcounts(entry_points, ns)
            result, error, landed_after = armed(k)
            outcome = (
                {"ok": True, "value": repr(entry_points.describe(result))} if error is None else error_report(error)
            )
            del result, error
            gc.collect()
            after = refcounts(entry_points, ns)
            return {
                "normal": normal,
                "outcome": outcome,
                "landed_after": landed_after,
                "refs_changed": sorted(n for n in before if before[n] != after.get(n)),
                "afterwards_same": describe_call(ns, expr, entry_points) == normal,
            }

        return run_at
    raise KeyError(wanted)


def describe_call(ns, expr, entry_points):
    try:
        return {"ok": True, "value": repr(entry_points.describe(eval(expr, ns)))}
    except BaseException as exc:  # noqa: BLE001
        return error_report(exc)


def refcounts(entry_points, ns):
    return {name: sys.getrefcount(obj) for name, obj in entry_points.watched(ns).items()}


# ---------------------------------------------------------------------------
# First import


IMPORT_ARMED = """
def _armed(k):
    frame = sys._getframe()
    module = error = None
    _testcapi.set_nomemory(k, k + 1)
    try:
        module = _imp.create_dynamic(spec)
    except BaseException as exc:
        error = exc
    landed_after = probe()
    _testcapi.remove_mem_hooks()
    return module, error, landed_after
"""


def check_working_module():
    """Imports kelvane the ordinary way and exercises it; returns a list of
    what is wrong."""
    import importlib

    import surface

    problems = []
    sys.modules.pop("kelvane", None)
    kelvane = importlib.import_module("kelvane")
    for key, names in surface.TREE.items():
        module = kelvane
        for part in key.split(".")[1:]:
            module = getattr(module, part)
        if sys.modules.get(key) is not module:
            problems.append(f"sys.modules[{key!r}] is not {key}")
        if getattr(module, "__all__", None) != names:
            problems.append(f"{key}.__all__ is {getattr(module, '__all__', None)!r}")
    m = kelvane.channel.packets.set_channel
    cfg = m.ChannelConfig(m.ChannelType.TC(m.TCType.K), 50.0, 0.5, 100.0, 1.0)
    if kelvane.set_channel_request(2, cfg, 258).hex() != "120000001700000001020202424800003f00000042c800003f800000":
        problems.append("set_channel_request gives the wrong packet")
    if kelvane.set_temperature_request(3, 25.5, 2).hex() != "1300000009f00000000241cc0000":
        problems.append("set_temperature_request gives the wrong packet")
    if kelvane.sys_reset().hex() != "10000000050100000001":
        problems.append("sys_reset gives the wrong packet")
    none = getattr(m.ChannelType, "None")()
    rtd = m.ChannelType.RTD(m.RTDType.Ni1000)
    if (len(none), len(rtd), repr(rtd[0]), int(rtd._0)) != (0, 1, "RTDType.Ni1000", 8):
        problems.append("channel types misbehave")
    tc_members = surface.MEMBERS["TCType"]
    if [repr(getattr(m.TCType, n)) for n in tc_members] != [f"TCType.{n}" for n in tc_members]:
        problems.append("TCType members are wrong")
    if type(cfg.channel_type) is not m.ChannelType.TC or cfg.r_ain0 != 1.0:
        problems.append("ChannelConfig getters misbehave")
    return problems


def import_runner():
    import _imp
    import importlib.util

    spec = importlib.util.find_spec("kelvane")
    ns = {"sys": sys, "_testcapi": _testcapi, "_imp": _imp, "probe": probe, "spec": spec}
    exec(IMPORT_ARMED, ns)
    armed = ns["_armed"]

    def run_at(k):
        module, error, landed_after = armed(k)
        if error is None:
            outcome = {"ok": True, "value": type(module).__name__}
        else:
            outcome = error_report(error)
        del module, error
        try:
            problems = check_working_module()
        except BaseException as exc:  # noqa: BLE001
            problems = [f"the import after the failure raised {exc!r}"]
        return {"outcome": outcome, "landed_after": landed_after, "problems": problems}

    assert "kelvane" not in sys.modules
    return run_at


def main(argv):
    mode, k = argv[1], int(argv[2])
    run_at = entry_runner(argv[3]) if mode == "entries" else import_runner()
    return run_at(k)


if __name__ == "__main__":
    print(json.dumps(main(sys.argv)))
