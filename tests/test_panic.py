"""Failed allocations and internal faults, injected in child interpreters."""

import json
import textwrap

import pytest
from helpers import run_python

PANIC = "pyo3_runtime.PanicException: Python API call failed"
NOMEM = "builtins.MemoryError: "

PRELUDE = r"""
import json, operator, sys, _testcapi
import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

cfg = ChannelConfig(ChannelType.TC(TCType.K), 50.0, 0.5, 100.0, 1.0)
variant = ChannelType.RTD(RTDType.PT100)

def attempt(fn, args, k):
    # Make exactly the k-th allocation from here on fail.  The frame object is
    # made first: CPython itself loses the error when that allocation fails.
    sys._getframe()
    _testcapi.set_nomemory(k, k + 1)
    try:
        got = fn(*args)
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        return exc
    _testcapi.remove_mem_hooks()
    return got

def describe(result, reference):
    if isinstance(result, BaseException):
        return f"{type(result).__module__}.{type(result).__qualname__}: {result}"
    if type(result) is not type(reference) or (type(result) is bytes and result != reference):
        return "wrong"
    return "ok"

def first_panic():
    for k in range(50):
        exc = attempt(kelvane.sys_reset, (), k)
        if isinstance(exc, BaseException):
            return exc
    raise AssertionError("no failed allocation became a panic")
"""

SWEEP_SCRIPT = (
    PRELUDE
    + r"""
CASES = {
    "sys_reset": (kelvane.sys_reset, ()),
    "set_temperature_request": (kelvane.set_temperature_request, (3, 25.5, 2)),
    "set_channel_request": (kelvane.set_channel_request, (1, cfg, 7)),
    "variant": (ChannelType.RTD, (RTDType.PT100,)),
    "none variant": (getattr(ChannelType, "None"), ()),
    "config": (ChannelConfig, (variant, 1.0, 2.0, 3.0, 4.0)),
    "channel_type getter": (getattr, (cfg, "channel_type")),
    "_0 getter": (getattr, (variant, "_0")),
    "subscript": (operator.getitem, (variant, 0)),
    "wrong type": (ChannelType.RTD, (0,)),
    "prefixed": (kelvane.set_temperature_request, ("x", 1.0, 1)),
    "binding": (kelvane.set_channel_request, (1,)),
    "u32 range": (kelvane.set_temperature_request, (1, 1.0, -1)),
}
results = {}
for name, (fn, args) in CASES.items():
    reference = attempt(fn, args, 10**9)  # no allocation fails
    outcomes = sorted({describe(attempt(fn, args, k), reference) for k in range(60)})
    after = describe(attempt(fn, args, 10**9), reference)
    results[name] = {"reference": describe(reference, reference), "outcomes": outcomes, "after": after}

panic = first_panic()
P = type(panic)
try:
    try:
        raise panic
    except Exception:
        caught = "Exception"
except BaseException:
    caught = "BaseException"
second = first_panic()
tree = [m for k, m in sys.modules.items() if k.split(".")[0] == "kelvane"]
results["type"] = {
    "caught": caught,
    "same": type(second) is P and second is not panic,
    "name": [P.__module__, P.__name__, P.__qualname__],
    "bases": [b.__name__ for b in P.__bases__],
    "args": list(panic.args),
    "doc": P.__doc__,
    "in_tree": any(v is P for m in tree for v in vars(m).values()),
    "pyo3_runtime_module": "pyo3_runtime" in sys.modules,
}
print(json.dumps(results))
"""
)


def run_json(script):
    """Runs a child script that prints one JSON document; returns it and its stderr."""
    proc = run_python(script)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout), proc.stderr


@pytest.fixture(scope="module")
def sweep():
    return run_json(SWEEP_SCRIPT)


@pytest.mark.parametrize("name", ["sys_reset", "set_temperature_request", "set_channel_request"])
def test_failed_result_allocation_panics(sweep, name):
    result = sweep[0][name]
    assert PANIC in result["outcomes"]
    assert set(result["outcomes"]) <= {"ok", PANIC, NOMEM}
    assert result["after"] == "ok"


@pytest.mark.parametrize("name", ["variant", "none variant", "config", "channel_type getter", "_0 getter", "subscript"])
def test_failed_object_allocation_is_memory_error(sweep, name):
    # Objects of the channel model pass the interpreter's own error on.
    result = sweep[0][name]
    assert result["outcomes"] == ["builtins.MemoryError: ", "ok"]
    assert result["after"] == "ok"


@pytest.mark.parametrize(
    "name, reference",
    [
        ("wrong type", "builtins.TypeError: argument '_0': 'int' object cannot be converted to 'RTDType'"),
        ("prefixed", "builtins.TypeError: argument 'c_number': 'str' object cannot be interpreted as an integer"),
        (
            "binding",
            "builtins.TypeError: set_channel_request() missing 2 required positional arguments: 'c_config' and 'id'",
        ),
        ("u32 range", "builtins.OverflowError: out of range integral type conversion attempted"),
    ],
)
def test_failed_allocation_on_error_paths(sweep, name, reference):
    result = sweep[0][name]
    assert result["reference"] == result["after"] == reference
    allowed = {reference, NOMEM}
    if name == "wrong type":
        # The type's name is made on demand; when that fails the message says so.
        allowed.add(reference.replace("'int'", "'<failed to extract type name>'"))
    assert set(result["outcomes"]) <= allowed, result["outcomes"]
    assert reference in result["outcomes"] and NOMEM in result["outcomes"]


def test_panic_exception_type(sweep):
    info, stderr = sweep
    info = info["type"]
    assert info["caught"] == "BaseException"
    assert info["same"]
    assert info["name"] == ["pyo3_runtime", "PanicException", "PanicException"]
    assert info["bases"] == ["BaseException"]
    assert info["args"] == ["Python API call failed"]
    lines = info["doc"].split("\n")
    assert lines[0] == "" and lines[2] == "" and len([line for line in lines if line.strip()]) == 4
    assert not info["in_tree"] and not info["pyo3_runtime_module"]
    # The interpreter's pending error is printed, then the fault is reported.
    assert "MemoryError" in stderr
    assert "Python API call failed" in stderr


RESUME_SCRIPT = (
    PRELUDE
    + r"""
P = type(first_panic())

class BadStr:
    def __str__(self):
        raise ValueError("no text")

class PanickingStr:
    def __str__(self):
        raise P("from str")

class Evil:
    def __init__(self, exc):
        self.exc = exc
    def __index__(self):
        raise self.exc
    __float__ = __index__

def setter(v):
    cfg.r_ain0 = v
SITES = {
    "c_number": lambda v: kelvane.set_channel_request(v, cfg, 1),
    "temperature_value": lambda v: kelvane.set_temperature_request(1, v, 1),
    "id": lambda v: kelvane.set_temperature_request(1, 1.0, v),
    "max_resistance": lambda v: ChannelConfig(variant, v, 1.0, 1.0, 1.0),
    "setter": setter,
    "idx": lambda v: variant[v],
}
results = {}
for name, call in SITES.items():
    # The last one panics while its TypeError is given the argument's name.
    for i, raised in enumerate([P("boom"), P(BadStr()), P("caf\udce9"), TypeError(PanickingStr())]):
        sys.stderr.write("=== %s %d\n" % (name, i))
        try:
            call(Evil(raised))
        except Exception as exc:
            results.setdefault(name, []).append(["exception", type(exc).__name__, str(exc)])
        except BaseException as exc:
            results.setdefault(name, []).append([type(exc) is P, exc is raised, list(exc.args)])
        else:
            results.setdefault(name, []).append(["returned"])
results["after"] = [kelvane.sys_reset().hex(), kelvane.set_channel_request(1, cfg, 7).hex(), cfg.r_ain0]
print(json.dumps(results))
"""
)


@pytest.fixture(scope="module")
def resume_run():
    return run_json(RESUME_SCRIPT)


@pytest.mark.parametrize("site", ["c_number", "temperature_value", "id", "max_resistance", "setter", "idx"])
def test_panic_from_python_is_resumed(resume_run, site):
    results, stderr = resume_run
    texts = ["boom", "Unwrapped panic from Python code", "caf\udce9", "from str"]
    assert results[site] == [[True, False, [text]] for text in texts]
    for i in range(len(texts)):
        section = stderr.split(f"=== {site} {i}\n")[1].split("=== ")[0]
        assert section.count("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n") == 1
        assert section.count("Python stack trace below:\n") == 1
        assert "Traceback" in section and ("__str__" if i == 3 else "__index__") in section
    first = stderr.split(f"=== {site} 0\n")[1].split("=== ")[0]
    assert first.count("boom") == 1  # the resumed fault is not reported a second time


def test_module_usable_after_resumed_panics(resume_run):
    results, _ = resume_run
    assert results["after"] == [
        "10000000050100000001",
        "110000001700000000070202424800003f00000042c800003f800000",
        1.0,
    ]


def test_resumed_panic_that_is_also_system_exit_does_not_end_the_process():
    script = PRELUDE + textwrap.dedent(
        """
        class Exit(type(first_panic()), SystemExit):
            pass

        class Evil:
            def __index__(self):
                raise Exit("leaving")

        try:
            kelvane.set_temperature_request(Evil(), 1.0, 1)
        except BaseException as exc:
            print(type(exc).__name__, exc.args, kelvane.sys_reset().hex())
        """
    )
    proc = run_python(script)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["PanicException", "('leaving',)", "10000000050100000001"]
    assert "Python stack trace below:" in proc.stderr and "leaving" in proc.stderr


def test_memory_running_out_for_a_while_never_ends_the_process():
    # Every allocation from the call's start fails, for windows of shrinking
    # length (the longest first, before any PanicException has been raised):
    # the call raises, and the module works once memory is back.
    script = PRELUDE + textwrap.dedent(
        """
        def attempt(call, args, window):
            sys._getframe()
            _testcapi.set_nomemory(0, window)
            error = None
            try:
                call(*args)
            except BaseException as exc:
                error = exc
            _testcapi.remove_mem_hooks()
            return type(error).__name__

        outcomes = set()
        for call, args in [(kelvane.sys_reset, ()), (kelvane.set_channel_request, (1, cfg, 7))]:
            outcomes.update(attempt(call, args, window) for window in range(200, 0, -1))
        print(json.dumps([sorted(outcomes), kelvane.sys_reset().hex()]))
        """
    )
    proc = run_python(script)
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcomes, packet = json.loads(proc.stdout)
    assert set(outcomes) <= {"PanicException", "MemoryError"}
    assert packet == "10000000050100000001"
