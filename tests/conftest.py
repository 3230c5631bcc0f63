"""Shared fixtures and helpers for the kelvane test suite."""

import ctypes
import platform
import subprocess
import sys
import textwrap
from collections import Counter

import pytest

from kelvane.channel.packets.set_channel import (
    ChannelConfig,
    ChannelType,
    RTDType,
    TCType,
)

ChannelType_None = getattr(ChannelType, "None")
ChannelType_RTD = ChannelType.RTD
ChannelType_TC = ChannelType.TC

RTD_MEMBERS = ["PT100", "PT500", "PT1000", "Cu10", "Cu50", "Cu100", "Ni100", "Ni120", "Ni1000"]
TC_MEMBERS = ["E", "J", "K", "N", "R", "S", "T", "B"]


# The interpreter's own conversion routines, called through the C API so that
# expected messages come from the running interpreter instead of being copied
# into the tests (they differ between versions).
_api = ctypes.pythonapi
_as_u64 = ctypes.PYFUNCTYPE(ctypes.c_ulonglong, ctypes.py_object)(("PyLong_AsUnsignedLongLong", _api))
_as_long = ctypes.PYFUNCTYPE(ctypes.c_long, ctypes.py_object)(("PyLong_AsLong", _api))
_as_double = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object)(("PyFloat_AsDouble", _api))
_number_index = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(("PyNumber_Index", _api))


def _error_of(fn, obj):
    try:
        fn(obj)
    except BaseException as exc:  # noqa: B902 - any interpreter error is what we want
        return exc
    raise AssertionError(f"conversion of {obj!r} unexpectedly succeeded")


def u64_error(obj):
    """Error of the unsigned 64-bit conversion (index protocol for non-ints)."""
    if isinstance(obj, int):
        return _error_of(_as_u64, obj)
    try:
        value = _number_index(obj)
    except BaseException as exc:
        return exc
    return _error_of(_as_u64, value)


def long_error(obj):
    return _error_of(_as_long, obj)


def double_error(obj):
    return _error_of(_as_double, obj)


def expected_failure(name, err):
    """(type, message) the module must raise when converting argument `name`
    fails with the interpreter error `err`: only an exact TypeError gets the
    argument prefix."""
    if type(err) is TypeError:
        return TypeError, f"argument '{name}': {err}"
    return type(err), str(err)


def check_raises(exc_info, etype, message):
    assert type(exc_info.value) is etype, exc_info.value
    assert str(exc_info.value) == message
    assert exc_info.value.args == (message,)


def run_python(code, *args, timeout=120):
    """Run `code` in a fresh interpreter with faulthandler on."""
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    return proc


class Index:
    """An object that is an integer only through the index protocol."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# ---------------------------------------------------------------------------
# The closing summary: what the long runs covered, and the interpreter's own
# crashes that they let through, counted in one line so that a passing run
# shows nothing that reads like a failure.

_NOTES = pytest.StashKey[list]()
_CRASHES = pytest.StashKey[list]()


@pytest.fixture(scope="session")
def run_notes(request):
    """Lines for the closing summary."""
    return request.config.stash.setdefault(_NOTES, [])


@pytest.fixture(scope="session")
def known_interpreter_crashes(request):
    """Names of the known interpreter faults that crashed a child process and
    were let through, one entry per crash."""
    return request.config.stash.setdefault(_CRASHES, [])


def crash_summary(names):
    counts = Counter(names)
    faults = "; ".join(f"{name}: {k}" if len(counts) > 1 else name for name, k in counts.items())
    if len(names) == 1:
        return f"1 interpreter crash matched a known CPython {platform.python_version()} fault ({faults})"
    return f"{len(names)} interpreter crashes matched known CPython {platform.python_version()} faults ({faults})"


def pytest_terminal_summary(terminalreporter, config):
    lines = list(config.stash.get(_NOTES, []))
    crashes = config.stash.get(_CRASHES, [])
    if crashes:
        lines.append(crash_summary(crashes))
    for line in lines:
        terminalreporter.write_line(line)


@pytest.fixture
def cfg_rtd():
    return ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)


@pytest.fixture
def cfg_tc():
    return ChannelConfig(ChannelType.TC(TCType.K), 50.0, 0.5, 100.0, 1.0)


@pytest.fixture
def cfg_none():
    return ChannelConfig(ChannelType_None(), 1.0, -40.0, 0.1, 0.0)
