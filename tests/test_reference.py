"""The benchmark's pure-Python reference (bench/reference.py) must build the
same packets as kelvane for valid input and refuse what kelvane refuses, or
the comparison in the benchmark would not be like for like."""

import importlib.util
import math
import pathlib
import types

import pytest
from helpers import examples
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvane
from kelvane.channel.packets import set_channel as native

_PATH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "reference.py"
_spec = importlib.util.spec_from_file_location("kelvane_bench_reference", _PATH)
reference = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(reference)

# kelvane's functions and classes under the reference's flat names.
KELVANE = types.SimpleNamespace(
    sys_reset=kelvane.sys_reset,
    set_temperature_request=kelvane.set_temperature_request,
    set_channel_request=kelvane.set_channel_request,
    **{name: getattr(native, name) for name in ("ChannelConfig", "ChannelType", "RTDType", "TCType")},
)

U64 = st.integers(0, 2**64 - 1)
U32 = st.integers(0, 2**32 - 1)
# Any double, including NaN, infinities, subnormals and values beyond the
# single-precision range, and integers that a double holds.
REALS = st.one_of(st.floats(), st.integers(-(2**100), 2**100), st.booleans())


@st.composite
def channel_types(draw):
    """(kelvane variant, reference variant) of the same value."""
    kind = draw(st.sampled_from(["None", "RTD", "TC"]))
    if kind == "None":
        return getattr(native.ChannelType, "None")(), getattr(reference.ChannelType, "None")()
    family = "RTDType" if kind == "RTD" else "TCType"
    member = draw(st.sampled_from([m.name for m in getattr(reference, family)]))
    return (
        getattr(native.ChannelType, kind)(getattr(getattr(native, family), member)),
        getattr(reference.ChannelType, kind)(getattr(reference, family)[member]),
    )


def test_sys_reset():
    assert reference.sys_reset() == kelvane.sys_reset()


@settings(max_examples=examples(300), deadline=None)
@given(c_number=U64, temperature=REALS, id=U32)
def test_set_temperature_request(c_number, temperature, id):
    assert reference.set_temperature_request(c_number, temperature, id) == kelvane.set_temperature_request(
        c_number, temperature, id
    )


@settings(max_examples=examples(300), deadline=None)
@given(c_number=U64, channel_type=channel_types(), floats=st.lists(REALS, min_size=4, max_size=4), id=U32)
def test_set_channel_request(c_number, channel_type, floats, id):
    native_type, reference_type = channel_type
    expected = kelvane.set_channel_request(c_number, native.ChannelConfig(native_type, *floats), id)
    assert reference.set_channel_request(c_number, reference.ChannelConfig(reference_type, *floats), id) == expected


def test_assignment_reaches_the_packet():
    rtd = reference.ChannelType.RTD(reference.RTDType.Ni120)
    cfg = reference.ChannelConfig(rtd, 1.0, 2.0, 3.0, 4.0)
    cfg.r_ain0 = 1e39
    cfg.channel_type = reference.ChannelType.TC(reference.TCType.B)
    native_cfg = native.ChannelConfig(native.ChannelType.TC(native.TCType.B), 1.0, 2.0, 3.0, math.inf)
    assert reference.set_channel_request(5, cfg, 9) == kelvane.set_channel_request(5, native_cfg, 9)


@pytest.mark.parametrize(
    ("c_number", "id", "error"),
    [(-1, 1, OverflowError), (2**64, 1, OverflowError), (1, -1, OverflowError), (1, 2**32, OverflowError)],
)
@pytest.mark.parametrize("builder", ["set_temperature_request", "set_channel_request"])
def test_range_checks_match(builder, c_number, id, error):
    if builder == "set_temperature_request":
        args_native = args_reference = (c_number, 1.0, id)
    else:
        args_native = (c_number, native.ChannelConfig(native.ChannelType.RTD(native.RTDType.PT100), 1, 2, 3, 4), id)
        args_reference = (
            c_number,
            reference.ChannelConfig(reference.ChannelType.RTD(reference.RTDType.PT100), 1, 2, 3, 4),
            id,
        )
    with pytest.raises(error):
        getattr(kelvane, builder)(*args_native)
    with pytest.raises(error):
        getattr(reference, builder)(*args_reference)


@pytest.mark.parametrize(
    "call",
    [
        lambda ref: ref.set_channel_request(1, ref.ChannelType.RTD(ref.RTDType.PT100), 7),
        lambda ref: ref.ChannelType.RTD(ref.TCType.K),
        lambda ref: ref.ChannelType.TC(0),
        lambda ref: ref.ChannelConfig(ref.RTDType.PT100, 1.0, 2.0, 3.0, 4.0),
        lambda ref: ref.ChannelType(),
    ],
)
def test_type_checks_match(call):
    with pytest.raises(TypeError):
        call(KELVANE)
    with pytest.raises(TypeError):
        call(reference)
