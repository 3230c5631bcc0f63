"""kelvane's surface written in plain Python, as fast as plain Python allows.

This is the bar the native module is measured against: what a careful Python
programmer would write without native code. Enumerations for the sensor
types, slotted classes for the channel types, a slotted dataclass for the
configuration, and one precompiled struct.Struct per packet layout.

For valid input it returns the same bytes as kelvane (tests/test_reference.py
checks that). It checks what the packets depend on: the argument classes, the
channel number (0 to 2**64 - 1) and the id (0 to 2**32 - 1). Floats are
narrowed to single precision when a packet is packed, with round-to-nearest-
even and infinities beyond the range, as the module does; the configuration
itself stores what it was given, so reading an attribute back is a plain slot
read. Error messages are not the module's.
"""

from array import array
from dataclasses import dataclass
from enum import Enum
from operator import index as _index
from struct import Struct
from struct import error as _StructError

__all__ = [
    "RTDType",
    "TCType",
    "ChannelType",
    "ChannelConfig",
    "sys_reset",
    "set_temperature_request",
    "set_channel_request",
]

_U64_MAX = 0xFFFF_FFFF_FFFF_FFFF
_U32_MAX = 0xFFFF_FFFF


class RTDType(Enum):
    PT100 = 0
    PT500 = 1
    PT1000 = 2
    Cu10 = 3
    Cu50 = 4
    Cu100 = 5
    Ni100 = 6
    Ni120 = 7
    Ni1000 = 8


class TCType(Enum):
    E = 0
    J = 1
    K = 2
    N = 3
    R = 4
    S = 5
    T = 6
    B = 7


class ChannelType:
    """How a channel is driven; build one of the variants below."""

    __slots__ = ()

    def __init__(self, *args, **kwargs):
        raise TypeError("No constructor defined for " + type(self).__name__)


# The two sensor variants are written out rather than sharing a base class:
# class-attribute lookups through a shared base slow construction down.
# Each variant keeps `_tag`, the two bytes it puts on the wire (kind, sensor),
# computed once when it is made; the unused-channel variant has none.


class ChannelType_None(ChannelType):
    __slots__ = ()
    __match_args__ = ()
    _tag = None

    def __init__(self):
        pass

    def __len__(self):
        return 0

    def __getitem__(self, idx):
        if _index(idx) < 0:
            raise OverflowError("can't convert negative int to unsigned")
        raise IndexError("tuple index out of range")


class ChannelType_RTD(ChannelType):
    __slots__ = ("_0", "_tag")
    __match_args__ = ("_0",)

    def __init__(self, _0):
        if _0.__class__ is not RTDType:
            raise TypeError(f"'{type(_0).__qualname__}' object cannot be converted to 'RTDType'")
        self._0 = _0
        self._tag = 0x100 | _0._value_

    def __len__(self):
        return 1

    def __getitem__(self, idx):
        i = _index(idx)
        if i == 0:
            return self._0
        if i < 0:
            raise OverflowError("can't convert negative int to unsigned")
        raise IndexError("tuple index out of range")


class ChannelType_TC(ChannelType):
    __slots__ = ("_0", "_tag")
    __match_args__ = ("_0",)

    def __init__(self, _0):
        if _0.__class__ is not TCType:
            raise TypeError(f"'{type(_0).__qualname__}' object cannot be converted to 'TCType'")
        self._0 = _0
        self._tag = 0x200 | _0._value_

    def __len__(self):
        return 1

    def __getitem__(self, idx):
        i = _index(idx)
        if i == 0:
            return self._0
        if i < 0:
            raise OverflowError("can't convert negative int to unsigned")
        raise IndexError("tuple index out of range")


setattr(ChannelType, "None", ChannelType_None)
ChannelType.RTD = ChannelType_RTD
ChannelType.TC = ChannelType_TC


@dataclass(slots=True, eq=False)
class ChannelConfig:
    channel_type: ChannelType
    max_resistance: float
    min_resistance: float
    shunt_resistance: float
    r_ain0: float

    def __post_init__(self):
        if not isinstance(self.channel_type, ChannelType):
            raise TypeError(f"'{type(self.channel_type).__qualname__}' object cannot be converted to 'ChannelType'")


# One struct per layout: address, body length, command code, id, payload.
_RESET = Struct(">BIBI").pack
_TEMPERATURE = Struct(">BIBIf").pack
_CHANNEL_SENSOR = Struct(">BIBIHffff").pack  # kind and sensor as one u16
_CHANNEL_NONE = Struct(">BIBIBffff").pack


def _check_u64(value):
    if not 0 <= value <= _U64_MAX:
        raise OverflowError("channel number out of range")


def _check_u32(value):
    value = _index(value)
    if not 0 <= value <= _U32_MAX:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def _narrow(*values):
    # array('f') stores through a C float cast: nearest-even rounding, and
    # infinities where struct's 'f' refuses to overflow.
    return array("f", [float(v) for v in values])


def sys_reset():
    return _RESET(0x10, 5, 0x01, 1)


def set_temperature_request(c_number, temperature_value, id):
    if not 0 <= c_number <= _U64_MAX:
        raise OverflowError("channel number out of range")
    try:
        return _TEMPERATURE((c_number + 0x10) & 0xFF, 9, 0xF0, id, temperature_value)
    except (OverflowError, _StructError):
        pass
    # Rare inputs: an id out of range, a value that overflows binary32, or a
    # type struct refuses. Check them one by one, then pack what is left.
    id = _check_u32(id)
    (temperature,) = _narrow(temperature_value)
    return _TEMPERATURE((c_number + 0x10) & 0xFF, 9, 0xF0, id, temperature)


def set_channel_request(c_number, c_config, id):
    if not 0 <= c_number <= _U64_MAX:
        raise OverflowError("channel number out of range")
    if c_config.__class__ is not ChannelConfig:
        raise TypeError(f"'{type(c_config).__qualname__}' object cannot be converted to 'ChannelConfig'")
    tag = c_config.channel_type._tag
    try:
        if tag is None:
            return _CHANNEL_NONE(
                (c_number + 0x10) & 0xFF, 22, 0x00, id, 0,
                c_config.max_resistance, c_config.min_resistance, c_config.shunt_resistance, c_config.r_ain0,
            )  # fmt: skip
        return _CHANNEL_SENSOR(
            (c_number + 0x10) & 0xFF, 23, 0x00, id, tag,
            c_config.max_resistance, c_config.min_resistance, c_config.shunt_resistance, c_config.r_ain0,
        )  # fmt: skip
    except (OverflowError, _StructError):
        pass
    id = _check_u32(id)
    floats = _narrow(c_config.max_resistance, c_config.min_resistance, c_config.shunt_resistance, c_config.r_ain0)
    if tag is None:
        return _CHANNEL_NONE((c_number + 0x10) & 0xFF, 22, 0x00, id, 0, *floats)
    return _CHANNEL_SENSOR((c_number + 0x10) & 0xFF, 23, 0x00, id, tag, *floats)
