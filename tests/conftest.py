"""Fixtures and the closing summary of the kelvane test suite. What the test
modules share otherwise is in helpers.py (and the model in model.py), which
they import."""

import platform
from collections import Counter

import pytest
from helpers import ChannelType_None, examples
from hypothesis import settings

from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

# Property tests without counts of their own take hypothesis's 100 examples,
# scaled like the rest.
settings.register_profile("kelvane", max_examples=examples(100))
settings.load_profile("kelvane")

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
