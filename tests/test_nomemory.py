"""Allocation-failure sweeps with _testcapi.set_nomemory: each allocation of
each entry point, and each allocation of a first import, is made to fail in
turn, one per fresh process (nomemory_child.py). Every call either succeeds
or raises the exception documented for that failure, no process crashes
because of the module, and the module works normally afterwards.

A crash is run again under gdb; only the interpreter's own crashes listed in
INTERPRETER_CRASHES are let through, and the run's closing summary counts
them.
"""

import json
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import entry_points
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = os.path.join(HERE, "nomemory_child.py")
MAX_POINTS = 5000
WORKERS = 2

ENV = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
# Under AddressSanitizer a segmentation fault is left to the debugger below,
# which tells the interpreter's own crashes from the module's.
if "ASAN_OPTIONS" in ENV:
    ENV["ASAN_OPTIONS"] += ":handle_segv=0"

pytestmark = pytest.mark.slow

BUILDERS = {"sys_reset", "set_temperature_request", "set_channel_request"}

# Crashes inside the interpreter under a failed allocation, with no fault of
# the module: a short name and a test on the crashing thread's function names
# (innermost first).
INTERPRETER_CRASHES = [
    (
        # A dict resize that failed while a type was being created left the
        # type's dict corrupt.
        "type dict resize in type_ready",
        lambda fns: "dictresize" in fns[:4] and "type_ready" in fns,
    ),
    (
        # The same corrupt type dict, met by the collector at shutdown when the
        # failure lands where type creation carries on past it (3.13.0 only).
        "corrupt type dict met by the collector at shutdown",
        lambda fns: (
            sys.version_info[:3] == (3, 13, 0)
            and fns[:2] == ["visit_decref", "dict_traverse"]
            and "_Py_Finalize" in fns
        ),
    ),
    (
        # The importer's bookkeeping crashed after PyInit_kelvane had returned:
        # no frame of the module (its frames show as "??", stripped) is left.
        "importer bookkeeping after PyInit_kelvane returned",
        lambda fns: "import_run_extension" in fns and "PyInit_kelvane" not in fns and "??" not in fns,
    ),
]


def run_child(args):
    cmd = [sys.executable, CHILD, *map(str, args)]
    proc = subprocess.run(cmd, env=ENV, capture_output=True, text=True, timeout=300)
    lines = proc.stdout.strip().splitlines()
    if proc.returncode == 0 and lines:
        return json.loads(lines[-1])
    return {"crashed": proc.returncode, "cmd": cmd, "stderr": proc.stderr[-3000:]}


def backtrace_functions(cmd):
    """Function names of the crashing thread, innermost first, from gdb."""
    gdb = shutil.which("gdb")
    if gdb is None:
        return None
    env = dict(ENV)
    inferior_env = []
    if "LD_PRELOAD" in env:  # for the program, not for gdb itself
        inferior_env = ["-ex", f"set environment LD_PRELOAD={env.pop('LD_PRELOAD')}"]
    proc = subprocess.run(
        [
            gdb,
            "-nx",
            "-q",
            "-batch",
            "-ex",
            "set pagination off",
            # gdb adds these to the program's environment, which would shift
            # the numbering of its allocations.
            "-ex",
            "unset environment LINES",
            "-ex",
            "unset environment COLUMNS",
            *inferior_env,
            "-ex",
            "run",
            "-ex",
            "bt 40",
            "--args",
            *cmd,
        ],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    names = re.findall(r"^#\d+\s+(?:0x[0-9a-f]+ in )?(\S+) \(", proc.stdout, re.M)
    return names or None


def explain_crash(report):
    """The known interpreter crash this is, or None."""
    names = backtrace_functions(report["cmd"])
    report["backtrace"] = names
    if not names:
        return None
    for what, matches in INTERPRETER_CRASHES:
        if matches(names):
            return what
    return None


def sweep(args_at):
    """Reports for k = 0, 1, ... until the call no longer reaches the failure;
    the undisturbed call of that last k is returned apart."""
    reports = []
    with ThreadPoolExecutor(WORKERS) as pool:
        k = 0
        while k < MAX_POINTS:
            batch = list(pool.map(run_child, [args_at(k + i) for i in range(WORKERS)]))
            for i, report in enumerate(batch):
                report["k"] = k + i
                if report.get("landed_after"):
                    return reports, report
                reports.append(report)
            k += WORKERS
    raise AssertionError(f"the call still reached a failure after {MAX_POINTS} points")


def tolerated_crashes(reports):
    """Checks every crash against the known interpreter crashes; returns the
    points it let through."""
    tolerated = []
    for report in reports:
        if "crashed" not in report:
            continue
        what = explain_crash(report)
        assert what, (
            f"crash at failure point {report['k']} (exit status {report['crashed']}), "
            f"backtrace {report.get('backtrace')}:\n{report['stderr']}"
        )
        tolerated.append((report["k"], what))
    return tolerated


def outcome_key(outcome):
    if outcome.get("ok"):
        return ("ok", outcome["value"])
    return (outcome["type"], outcome["message"])


# ---------------------------------------------------------------------------
# Entry points


@pytest.fixture(scope="module")
def entry_sweeps():
    names = [name for name, _, _ in entry_points.ENTRIES]
    with ThreadPoolExecutor(WORKERS) as pool:
        results = pool.map(lambda name: sweep(lambda k: ("entries", k, name)), names)
        return dict(zip(names, results, strict=True))


def allowed_entry_outcomes(name, normal):
    allowed = {outcome_key(normal), ("MemoryError", "")}
    if name.split(" ")[0] in BUILDERS and normal.get("ok"):
        allowed.add(("PanicException", "Python API call failed"))
    if not normal.get("ok") and "object cannot be converted to" in normal["message"]:
        # The type's name is itself an object that may not be made.
        allowed.add(
            (
                normal["type"],
                re.sub(r"'[^']*' object", "'<failed to extract type name>' object", normal["message"], count=1),
            )
        )
    return allowed


@pytest.mark.parametrize("name", [e[0] for e in entry_points.ENTRIES])
def test_entry_point_allocation_failures(entry_sweeps, name, known_interpreter_crashes):
    reports, final = entry_sweeps[name]
    normal = final["normal"]
    assert outcome_key(final["outcome"]) == outcome_key(normal)
    known_interpreter_crashes.extend(what for _, what in tolerated_crashes(reports))
    allowed = allowed_entry_outcomes(name, normal)
    for report in reports:
        if "crashed" in report:
            continue
        assert outcome_key(report["outcome"]) in allowed, (report["k"], report["outcome"])
        if report["outcome"]["type" if "type" in report["outcome"] else "ok"] == "PanicException":
            assert report["outcome"]["module"] == "pyo3_runtime"
        assert report["refs_changed"] == [], report
        assert report["afterwards_same"], report


def test_entry_point_sweep_size(entry_sweeps, run_notes):
    points = sum(len(reports) for reports, _ in entry_sweeps.values())
    run_notes.append(f"allocation-failure sweep: {points} failure points over {len(entry_sweeps)} entry points")
    # Every packet builder allocates its bytes result, and that can fail.
    for name in ("sys_reset", "set_temperature_request", "set_channel_request rtd"):
        assert entry_sweeps[name][0], name


# ---------------------------------------------------------------------------
# First import

INIT_FAILURE = re.compile(
    r"An error occurred while initializing class (ChannelConfig|ChannelType|ChannelType_None|ChannelType_RTD|"
    r"ChannelType_TC|RTDType|TCType)"
)


def import_outcome_allowed(outcome):
    if outcome.get("ok"):
        return True
    kind, message = outcome["type"], outcome["message"]
    if kind == "MemoryError":
        return True
    if kind == "RuntimeError":
        # Making a class's attributes failed: the interpreter's error is the cause.
        return bool(INIT_FAILURE.fullmatch(message)) and len(outcome["causes"]) >= 1
    if kind == "PanicException":
        return outcome["module"] == "pyo3_runtime" and message.startswith("could not append __name__ to __all__")
    if kind == "SystemError":
        # An interpreter call that failed without setting an error (3.12's
        # PyType_FromSpec when its copy of the type name cannot be made).
        return message == "attempted to fetch exception but none was set"
    return False


def test_first_import_allocation_failures(run_notes, known_interpreter_crashes):
    reports, final = sweep(lambda k: ("import", k))
    assert final["outcome"].get("ok") and final["problems"] == []
    tolerated = tolerated_crashes(reports)
    for report in reports:
        if "crashed" in report:
            continue
        assert import_outcome_allowed(report["outcome"]), (report["k"], report["outcome"])
        assert report["problems"] == [], (report["k"], report["problems"])
    run_notes.append(f"first-import sweep: {len(reports)} failure points")
    known_interpreter_crashes.extend(what for _, what in tolerated)
    assert len(reports) > 100
