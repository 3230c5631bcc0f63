"""Wire format of the three command packets."""

from fractions import Fraction

import model
import pytest
from helpers import FLT_MAX, RTD_MEMBERS, TC_MEMBERS, ChannelType_None
from hypothesis import given
from hypothesis import strategies as st

from kelvane import set_channel_request, set_temperature_request, sys_reset
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

H = bytes.fromhex


def rtd_cfg():
    return ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda: sys_reset(), "10 00000005 01 00000001"),
        (lambda: set_temperature_request(1, 25.0, 7), "11 00000009 F0 00000007 41C80000"),
        (lambda: set_temperature_request(3, 25.5, 2), "13 00000009 F0 00000002 41CC0000"),
        (
            lambda: set_temperature_request(c_number=3, id=2, temperature_value=25.5),
            "13 00000009 F0 00000002 41CC0000",
        ),
        (
            lambda: set_channel_request(1, rtd_cfg(), 7),
            "11 00000017 00 00000007 01 00 43C80000 41900000 447A0000 41200000",
        ),
        (
            lambda: set_channel_request(id=7, c_config=rtd_cfg(), c_number=1),
            "11 00000017 00 00000007 01 00 43C80000 41900000 447A0000 41200000",
        ),
        (
            lambda: set_channel_request(2, ChannelConfig(ChannelType.TC(TCType.K), 50.0, 0.5, 100.0, 1.0), 258),
            "12 00000017 00 00000102 02 02 42480000 3F000000 42C80000 3F800000",
        ),
        (
            lambda: set_channel_request(0, ChannelConfig(ChannelType_None(), 1.0, -40.0, 0.1, 0.0), 1),
            "10 00000016 00 00000001 00 3F800000 C2200000 3DCCCCCD 00000000",
        ),
    ],
    ids=["reset", "temp-25.0", "temp-25.5", "temp-kw", "rtd", "rtd-kw", "tc", "none"],
)
def test_worked_examples(build, expected):
    packet = build()
    assert type(packet) is bytes
    assert packet == H(expected)
    assert int.from_bytes(packet[1:5], "big") == len(packet) - 5


def test_reset_returns_fresh_objects():
    a, b = sys_reset(), sys_reset()
    assert a == b and a is not b


@pytest.mark.parametrize("args, kwargs", [((0,), {}), ((), {"x": 0})])
def test_reset_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError, match=r"sys_reset\(\) takes no"):
        sys_reset(*args, **kwargs)


@pytest.mark.parametrize(
    "c_number, address",
    [
        (0, 0x10),
        (1, 0x11),
        (0xEF, 0xFF),
        (0xF0, 0x00),
        (0xFF, 0x0F),
        (0x100, 0x10),
        (0x1F0, 0x00),
        (2**64 - 1, 0x0F),
        (True, 0x11),
    ],
)
def test_address_byte(c_number, address, cfg_rtd):
    assert set_temperature_request(c_number, 1.0, 1)[0] == address
    assert set_channel_request(c_number, cfg_rtd, 1)[0] == address


@pytest.mark.parametrize(
    "id_, encoded",
    [(0, "00000000"), (1, "00000001"), (258, "00000102"), (2**32 - 1, "FFFFFFFF"), (True, "00000001")],
)
def test_id_is_big_endian_u32(id_, encoded, cfg_none):
    assert set_temperature_request(0, 0.0, id_)[6:10] == H(encoded)
    assert set_channel_request(0, cfg_none, id_)[6:10] == H(encoded)


class HasFloat:
    def __float__(self):
        return 2.5


class HasIndex:
    def __index__(self):
        return 3


class FloatSub(float):
    def __float__(self):  # not consulted: float subclasses are read directly
        raise AssertionError("__float__ called")


@pytest.mark.parametrize(
    "value, payload",
    [
        (25, "41C80000"),
        (-40.0, "C2200000"),
        (0.1, "3DCCCCCD"),
        (-0.0, "80000000"),
        (-1.0, "BF800000"),
        (True, "3F800000"),
        (float("nan"), "7FC00000"),
        (float("inf"), "7F800000"),
        (1e39, "7F800000"),
        (-1e39, "FF800000"),
        (10**300, "7F800000"),
        (FLT_MAX, "7F7FFFFF"),
        (FLT_MAX + 2.0**102, "7F7FFFFF"),  # below half an ulp: stays finite
        (FLT_MAX + 2.0**103, "7F800000"),  # exact tie rounds to even, i.e. infinity
        (1 + 2.0**-24, "3F800000"),  # tie to even, down
        (1 + 3 * 2.0**-24, "3F800002"),  # tie to even, up
        (1e-45, "00000001"),  # smallest subnormal
        (1e-46, "00000000"),
        (-1e-46, "80000000"),
        (HasFloat(), "40200000"),
        (HasIndex(), "40400000"),
        (FloatSub(0.5), "3F000000"),
        (Fraction(1, 4), "3E800000"),
    ],
)
def test_temperature_payload(value, payload):
    packet = set_temperature_request(0, value, 0)
    assert len(packet) == 14
    assert packet[1:6] == H("00000009F0")
    assert packet[10:] == H(payload)


def test_negative_nan_stays_nan():
    bits = int.from_bytes(set_temperature_request(0, -float("nan"), 0)[10:], "big")
    assert bits & 0x7F800000 == 0x7F800000 and bits & 0x007FFFFF


@given(
    c_number=st.integers(0, 2**64 - 1),
    value=st.floats(allow_nan=False),
    id_=st.integers(0, 2**32 - 1),
)
def test_temperature_packet_property(c_number, value, id_):
    assert set_temperature_request(c_number, value, id_) == model.set_temperature_request((c_number, value, id_), {})


@given(
    c_number=st.integers(0, 2**64 - 1),
    values=st.lists(st.floats(allow_nan=False), min_size=4, max_size=4),
)
def test_channel_packet_property(c_number, values):
    cfg = ChannelConfig(ChannelType.TC(TCType.B), *values)
    record = model.ConfigRecord(model.ChannelTypeValue(model.KIND_TC, 7), [model.f32_bits(v) for v in values])
    assert set_channel_request(c_number, cfg, 5) == model.frame(
        c_number, model.CODE_SET_CHANNEL, 5, model.config_payload(record)
    )


@pytest.mark.parametrize(
    "variant, kind, member, code",
    [(ChannelType.RTD, 1, getattr(RTDType, n), i) for i, n in enumerate(RTD_MEMBERS)]
    + [(ChannelType.TC, 2, getattr(TCType, n), i) for i, n in enumerate(TC_MEMBERS)],
    ids=[f"RTD-{n}" for n in RTD_MEMBERS] + [f"TC-{n}" for n in TC_MEMBERS],
)
def test_sensor_codes(variant, kind, member, code):
    cfg = ChannelConfig(variant(member), 0.0, 0.0, 0.0, 0.0)
    packet = set_channel_request(0, cfg, 0)
    assert len(packet) == 28
    assert packet[1:5] == H("00000017")
    assert packet[10:12] == bytes([kind, code])
    assert packet[12:] == bytes(16)


def test_channel_payload_floats_from_bits():
    cfg = ChannelConfig(ChannelType_None(), float("nan"), float("inf"), -0.0, -float("inf"))
    assert set_channel_request(0, cfg, 0)[10:] == H("00 7FC00000 7F800000 80000000 FF800000")


def test_channel_payload_is_a_snapshot(cfg_rtd):
    first = set_channel_request(1, cfg_rtd, 7)
    cfg_rtd.channel_type = ChannelType.TC(TCType.S)
    cfg_rtd.r_ain0 = -1.0
    second = set_channel_request(1, cfg_rtd, 7)
    assert first == H("11 00000017 00 00000007 01 00 43C80000 41900000 447A0000 41200000")
    assert second == H("11 00000017 00 00000007 02 05 43C80000 41900000 447A0000 BF800000")
    cfg_rtd.channel_type = ChannelType_None()
    third = set_channel_request(1, cfg_rtd, 7)
    assert third == H("11 00000016 00 00000007 00 43C80000 41900000 447A0000 BF800000")
