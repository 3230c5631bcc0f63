"""An executable model of kelvane, written in plain Python from its documented
behaviour: argument binding and its messages, the numeric conversions, the
order in which arguments are examined, and the packet wire format.

The model raises exactly what the module should raise (type, message, cause,
and identity where an error must pass through unchanged), so the differential
tests can compare the two outcome by outcome. Where the module defers to the
interpreter ("the interpreter's message"), the model calls the same C API
function through ctypes, so the expected text is the running interpreter's.

Narrowing to single precision and the wire encoding are computed here with
integer arithmetic, independently of the C cast and of struct.
"""

from __future__ import annotations

import ctypes
import struct
from dataclasses import dataclass

from helpers import CONFIG_FIELDS, FLOAT_FIELDS, ChannelType_None, ChannelType_RTD, ChannelType_TC

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

KIND_NONE, KIND_RTD, KIND_TC = 0, 1, 2
VARIANT_CLASSES = {KIND_NONE: ChannelType_None, KIND_RTD: ChannelType_RTD, KIND_TC: ChannelType_TC}

# ---------------------------------------------------------------------------
# The interpreter's conversion routines, called as the module calls them.

_api = ctypes.pythonapi
_number_index = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(("PyNumber_Index", _api))
_as_u64 = ctypes.PYFUNCTYPE(ctypes.c_ulonglong, ctypes.py_object)(("PyLong_AsUnsignedLongLong", _api))
_as_long = ctypes.PYFUNCTYPE(ctypes.c_long, ctypes.py_object)(("PyLong_AsLong", _api))
_as_double = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object)(("PyFloat_AsDouble", _api))


class Panic(Exception):
    """What the model raises where the module must raise PanicException."""


def panic_type():
    """The module's PanicException type. It is made at import (start-up), but
    no module exports it, so provoke an internal fault to reach it: a bytes
    result that cannot be allocated."""
    import _testcapi

    for k in range(64):
        _testcapi.set_nomemory(k, k + 1)
        try:
            kelvane.sys_reset()
        except Exception:
            pass
        except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
            return type(exc)
        finally:
            _testcapi.remove_mem_hooks()
    raise AssertionError("no failed allocation turned into PanicException")


_PANIC = None


def _panic_cls():
    global _PANIC
    if _PANIC is None:
        _PANIC = panic_type()
    return _PANIC


def _call_user(convert, obj):
    """Runs an interpreter conversion that may call Python code; a
    PanicException raised there becomes an internal fault with its text."""
    try:
        return convert(obj)
    except BaseException as exc:
        if _PANIC is not None and isinstance(exc, _PANIC):
            try:
                text = str(exc)
            except BaseException:  # noqa: BLE001
                text = "Unwrapped panic from Python code"
            raise Panic(text) from None
        raise


def to_u64(obj) -> int:
    if not isinstance(obj, int):
        obj = _call_user(_number_index, obj)
    return _call_user(_as_u64, obj)


def to_u32(obj) -> int:
    value = _call_user(_as_long, obj)
    if not 0 <= value <= 0xFFFF_FFFF:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def to_double(obj) -> float:
    if type(obj) is float:
        return obj
    return _call_user(_as_double, obj)


def double_bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def bits_double(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def f32_bits(x: float) -> int:
    """binary32 bits of the double `x`, rounded to nearest, ties to even.

    NaN keeps its sign and the top 22 bits of its payload and becomes quiet,
    as the hardware conversion does."""
    bits = double_bits(x)
    sign = (bits >> 63) << 31
    exponent = (bits >> 52) & 0x7FF
    fraction = bits & ((1 << 52) - 1)
    if exponent == 0x7FF:
        if fraction == 0:
            return sign | 0x7F80_0000
        return sign | 0x7FC0_0000 | (fraction >> 29)
    if exponent == 0:
        mantissa, e = fraction, -1074
    else:
        mantissa, e = fraction | (1 << 52), exponent - 1075
    if mantissa == 0:
        return sign
    # value = mantissa * 2**e; find M * 2**E with 2**23 <= M < 2**24 (or a
    # subnormal with E = -149).
    E = max(mantissa.bit_length() - 1 + e - 23, -149)
    shift = E - e
    if shift <= 0:
        M = mantissa << -shift
    else:
        M, rest = divmod(mantissa, 1 << shift)
        half = 1 << (shift - 1)
        if rest > half or (rest == half and M & 1):
            M += 1
    # Carrying out of the significand just moves into the exponent field:
    # bits = (E + 149) << 23 + M covers subnormals, normals and the carry.
    encoded = ((E + 149) << 23) + M
    if encoded >= 0x7F80_0000:
        return sign | 0x7F80_0000
    return sign | encoded


def f32_widened_bits(bits32: int) -> int:
    """Double bits of the binary32 value `bits32`, widened exactly."""
    sign = (bits32 >> 31) << 63
    exponent = (bits32 >> 23) & 0xFF
    fraction = bits32 & 0x7F_FFFF
    if exponent == 0xFF:
        return sign | (0x7FF << 52) | (fraction << 29)
    if exponent == 0:
        if fraction == 0:
            return sign
        # subnormal: normalise
        shift = 24 - fraction.bit_length()
        fraction = (fraction << shift) & 0x7F_FFFF
        return sign | ((897 - shift) << 52) | (fraction << 29)
    return sign | ((exponent + 896) << 52) | (fraction << 29)


def to_f32(obj) -> int:
    """The argument as stored by the module: binary32 bits."""
    return f32_bits(to_double(obj))


# ---------------------------------------------------------------------------
# Argument binding and the call boundary.


@dataclass(frozen=True)
class Params:
    full_name: str
    names: tuple

    def bind(self, args, kwargs) -> dict:
        n = len(self.names)
        if len(args) > n:
            verb = "was" if len(args) == 1 else "were"
            raise TypeError(f"{self.full_name} takes {n} positional arguments but {len(args)} {verb} given")
        bound = dict(zip(self.names, args, strict=False))
        for key in kwargs:
            text = str.__str__(key)
            if text not in self.names:
                raise TypeError(f"{self.full_name} got an unexpected keyword argument '{text}'")
            if text in bound:
                raise TypeError(f"{self.full_name} got multiple values for argument '{text}'")
            bound[text] = kwargs[key]
        missing = [f"'{name}'" for name in self.names if name not in bound]
        if missing:
            if len(missing) == 1:
                listed = missing[0]
            elif len(missing) == 2:
                listed = " and ".join(missing)
            else:
                listed = ", ".join(missing[:-1]) + ", and " + missing[-1]
            word = "argument" if len(missing) == 1 else "arguments"
            raise TypeError(f"{self.full_name} missing {len(missing)} required positional {word}: {listed}")
        return bound


def convert(name, conversion, obj):
    """One argument conversion: an exact TypeError gets the argument's name in
    front and keeps its cause; everything else passes through unchanged."""
    try:
        return conversion(obj)
    except TypeError as exc:
        if type(exc) is not TypeError:
            raise
        text = str(exc)  # if str() fails, that error is what the caller sees
        raise TypeError(f"argument '{name}': {text}") from exc.__cause__


def wrong_type(obj, target):
    return TypeError(f"'{type(obj).__qualname__}' object cannot be converted to '{target}'")


# ---------------------------------------------------------------------------
# Channel model.


@dataclass(frozen=True)
class ChannelTypeValue:
    kind: int = KIND_NONE
    sensor: int = 0


@dataclass
class ConfigRecord:
    channel_type: ChannelTypeValue
    floats: list  # four binary32 bit patterns, in field order

    def copy(self):
        return ConfigRecord(self.channel_type, list(self.floats))


# Type tests look at the object's real type (PyObject_TypeCheck), never at a
# __class__ it claims.
def sensor_value(obj, cls):
    if not issubclass(type(obj), cls):
        raise wrong_type(obj, cls.__name__)
    # The member's position: its int() is the value the module stores.
    return int(obj)


def channel_type_value(obj) -> ChannelTypeValue:
    if not issubclass(type(obj), ChannelType):
        raise wrong_type(obj, "ChannelType")
    for kind, cls in VARIANT_CLASSES.items():
        if type(obj) is cls:
            return ChannelTypeValue(kind, 0 if kind == KIND_NONE else int(obj._0))
    raise AssertionError(f"not a variant: {obj!r}")


VARIANT_PARAMS = {
    KIND_NONE: Params("ChannelType_None.__new__()", ()),
    KIND_RTD: Params("ChannelType_RTD.__new__()", ("_0",)),
    KIND_TC: Params("ChannelType_TC.__new__()", ("_0",)),
}
CONFIG_PARAMS = Params("ChannelConfig.__new__()", CONFIG_FIELDS)
SET_CHANNEL_PARAMS = Params("set_channel_request()", ("c_number", "c_config", "id"))
SET_TEMPERATURE_PARAMS = Params("set_temperature_request()", ("c_number", "temperature_value", "id"))


def new_variant(kind, args, kwargs) -> ChannelTypeValue:
    params = VARIANT_PARAMS[kind]
    bound = params.bind(args, kwargs)
    if kind == KIND_NONE:
        return ChannelTypeValue()
    cls = RTDType if kind == KIND_RTD else TCType
    return ChannelTypeValue(kind, convert("_0", lambda o: sensor_value(o, cls), bound["_0"]))


def field_conversion(field):
    return channel_type_value if field == "channel_type" else to_f32


def new_config(args, kwargs) -> ConfigRecord:
    bound = CONFIG_PARAMS.bind(args, kwargs)
    values = [convert(f, field_conversion(f), bound[f]) for f in CONFIG_FIELDS]
    return ConfigRecord(values[0], values[1:])


def set_field(record: ConfigRecord, field, value, delete=False):
    """Assignment to a configuration attribute, or its deletion."""
    if delete:
        raise AttributeError("can't delete attribute")
    converted = convert(field, field_conversion(field), value)
    if field == "channel_type":
        record.channel_type = converted
    else:
        record.floats[FLOAT_FIELDS.index(field)] = converted


def subscript(value: ChannelTypeValue, idx):
    index = convert("idx", to_u64, idx)
    if value.kind == KIND_NONE or index != 0:
        raise IndexError("tuple index out of range")
    return value.sensor


def no_constructor(cls):
    return TypeError(f"No constructor defined for {cls.__name__}")


# ---------------------------------------------------------------------------
# Packets.

CODE_SET_CHANNEL, CODE_SYS_RESET, CODE_SET_TEMPERATURE = 0x00, 0x01, 0xF0


def frame(channel_number: int, code: int, id: int, payload: bytes) -> bytes:
    body = bytes([code]) + id.to_bytes(4, "big") + payload
    return bytes([(channel_number + 0x10) % 256]) + len(body).to_bytes(4, "big") + body


def config_payload(record: ConfigRecord) -> bytes:
    kind = record.channel_type.kind
    head = bytes([kind]) if kind == KIND_NONE else bytes([kind, record.channel_type.sensor])
    return head + b"".join(bits.to_bytes(4, "big") for bits in record.floats)


def sys_reset(args=(), kwargs=None):
    if kwargs:
        raise TypeError("kelvane.sys_reset() takes no keyword arguments")
    if args:
        raise TypeError(f"kelvane.sys_reset() takes no arguments ({len(args)} given)")
    return frame(0, CODE_SYS_RESET, 1, b"")


def set_temperature_request(args, kwargs):
    bound = SET_TEMPERATURE_PARAMS.bind(args, kwargs)
    c_number = convert("c_number", to_u64, bound["c_number"])
    temperature = convert("temperature_value", to_f32, bound["temperature_value"])
    id = convert("id", to_u32, bound["id"])
    return frame(c_number, CODE_SET_TEMPERATURE, id, temperature.to_bytes(4, "big"))


def set_channel_request(args, kwargs, records):
    """`records` maps id() of each live ChannelConfig to its model record."""
    bound = SET_CHANNEL_PARAMS.bind(args, kwargs)
    c_number = convert("c_number", to_u64, bound["c_number"])

    def snapshot(obj):
        if not issubclass(type(obj), ChannelConfig):
            raise wrong_type(obj, "ChannelConfig")
        return records[id(obj)].copy()

    record = convert("c_config", snapshot, bound["c_config"])
    id_ = convert("id", to_u32, bound["id"])
    return frame(c_number, CODE_SET_CHANNEL, id_, config_payload(record))


# ---------------------------------------------------------------------------
# Running both sides.


def outcome(fn, *args, **kwargs):
    """('ok', value) or ('raise', exception) for one call."""
    try:
        return ("ok", fn(*args, **kwargs))
    except BaseException as exc:  # noqa: BLE001 - every exception is an outcome
        return ("raise", exc)


def assert_same_error(got: BaseException, want: BaseException, passthrough=None):
    """The module's exception `got` against the model's `want`."""
    if isinstance(want, Panic):
        panic = _panic_cls()
        assert type(got) is panic, f"expected PanicException{want.args}, got {got!r}"
        assert got.args == want.args, (got.args, want.args)
        return
    assert type(got) is type(want), f"expected {want!r}, got {got!r}"
    assert got.args == want.args, (got.args, want.args)
    assert got.__cause__ is want.__cause__, (got.__cause__, want.__cause__)
    if passthrough is not None:
        # An error from user code passes through as the very same object.
        assert got is passthrough, (got, passthrough)


def float_bits_of(obj: float) -> int:
    assert type(obj) is float
    return double_bits(obj)
