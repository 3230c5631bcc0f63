"""What the test modules share: the facts of kelvane's surface that tests
enumerate (members, fields, the variant classes by name), checks of a raised
exception, and a fresh interpreter. The model of the module's behaviour, the
oracle, is model.py, which builds on this.
"""

import os
import subprocess
import sys
import textwrap

from kelvane.channel.packets.set_channel import ChannelType

# Examples per property test; KELVANE_FUZZ_SCALE stretches or shrinks every
# count (make check, the sanitizer and debug-interpreter runs and the emulated
# aarch64 runs take fewer).
FUZZ_SCALE = float(os.environ.get("KELVANE_FUZZ_SCALE", "1"))


def examples(count):
    """`count` examples at KELVANE_FUZZ_SCALE, ten at the least."""
    return max(10, int(count * FUZZ_SCALE))


# The variant classes; `None` is a keyword, so that one is reached by name.
ChannelType_None = getattr(ChannelType, "None")
ChannelType_RTD = ChannelType.RTD
ChannelType_TC = ChannelType.TC

# Sensor members in declaration order: a member's position is its code.
RTD_MEMBERS = ("PT100", "PT500", "PT1000", "Cu10", "Cu50", "Cu100", "Ni100", "Ni120", "Ni1000")
TC_MEMBERS = ("E", "J", "K", "N", "R", "S", "T", "B")

# ChannelConfig's fields, in constructor order.
FLOAT_FIELDS = ("max_resistance", "min_resistance", "shunt_resistance", "r_ain0")
CONFIG_FIELDS = ("channel_type", *FLOAT_FIELDS)

# The largest finite binary32.
FLT_MAX = float.fromhex("0x1.fffffep+127")


def error_of(convert, obj):
    """The exception that `convert(obj)` raises, such as one of model.py's
    conversions, which call the interpreter's own routines."""
    try:
        convert(obj)
    except BaseException as exc:  # noqa: BLE001 - any interpreter error is what we want
        return exc
    raise AssertionError(f"conversion of {obj!r} unexpectedly succeeded")


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
