"""Argument binding and conversion at the call boundary."""

import functools
import operator
import pickle
import struct

import model
import pytest
from helpers import ChannelType_None, Index, check_raises, error_of, expected_failure

from kelvane import set_channel_request, set_temperature_request
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

X = object()  # never converted: binding fails first
SCR = "set_channel_request()"
STR = "set_temperature_request()"
CC = "ChannelConfig.__new__()"
RTD = "ChannelType_RTD.__new__()"
TC = "ChannelType_TC.__new__()"
NONE = "ChannelType_None.__new__()"


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        # too many positional arguments, reported before any keyword
        (set_channel_request, (X,) * 4, {}, f"{SCR} takes 3 positional arguments but 4 were given"),
        (set_channel_request, (X,) * 4, {"bogus": X}, f"{SCR} takes 3 positional arguments but 4 were given"),
        (set_temperature_request, (X,) * 5, {}, f"{STR} takes 3 positional arguments but 5 were given"),
        (ChannelConfig, (X,) * 6, {}, f"{CC} takes 5 positional arguments but 6 were given"),
        (ChannelType.RTD, (X, X), {}, f"{RTD} takes 1 positional arguments but 2 were given"),
        (ChannelType.TC, (X, X, X), {"_0": X}, f"{TC} takes 1 positional arguments but 3 were given"),
        (ChannelType_None, (X,), {}, f"{NONE} takes 0 positional arguments but 1 was given"),
        (ChannelType_None, (X, X), {}, f"{NONE} takes 0 positional arguments but 2 were given"),
        # unexpected keyword: the first one passed, before anything is found missing
        (set_temperature_request, (1, 2.0, 3), {"foo": 4}, f"{STR} got an unexpected keyword argument 'foo'"),
        (set_channel_request, (), {"zz": X, "aa": X}, f"{SCR} got an unexpected keyword argument 'zz'"),
        (set_channel_request, (), {"id": X, "ID": X}, f"{SCR} got an unexpected keyword argument 'ID'"),
        (ChannelConfig, (), {"r_ain0": X, "r_ain1": X}, f"{CC} got an unexpected keyword argument 'r_ain1'"),
        (ChannelType.RTD, (), {"_1": X}, f"{RTD} got an unexpected keyword argument '_1'"),
        (ChannelType_None, (), {"_0": X}, f"{NONE} got an unexpected keyword argument '_0'"),
        # a keyword for a parameter already given
        (set_channel_request, (1, X, 7), {"c_number": 2}, f"{SCR} got multiple values for argument 'c_number'"),
        (
            set_temperature_request,
            (X, X),
            {"temperature_value": X},
            f"{STR} got multiple values for argument 'temperature_value'",
        ),
        (set_channel_request, (X,), {"c_number": X}, f"{SCR} got multiple values for argument 'c_number'"),
        (ChannelConfig, (X, X), {"max_resistance": X}, f"{CC} got multiple values for argument 'max_resistance'"),
        (ChannelType.TC, (X,), {"_0": X}, f"{TC} got multiple values for argument '_0'"),
        # missing arguments, before any conversion
        (set_channel_request, ("not an int", X), {}, f"{SCR} missing 1 required positional argument: 'id'"),
        (set_channel_request, (X,), {}, f"{SCR} missing 2 required positional arguments: 'c_config' and 'id'"),
        (
            set_channel_request,
            (),
            {},
            f"{SCR} missing 3 required positional arguments: 'c_number', 'c_config', and 'id'",
        ),
        (
            set_channel_request,
            (),
            {"id": 7},
            f"{SCR} missing 2 required positional arguments: 'c_number' and 'c_config'",
        ),
        (set_channel_request, (1,), {"id": 7}, f"{SCR} missing 1 required positional argument: 'c_config'"),
        (
            set_temperature_request,
            (),
            {},
            f"{STR} missing 3 required positional arguments: 'c_number', 'temperature_value', and 'id'",
        ),
        (
            set_temperature_request,
            (),
            {"temperature_value": X},
            f"{STR} missing 2 required positional arguments: 'c_number' and 'id'",
        ),
        (
            ChannelConfig,
            (),
            {},
            f"{CC} missing 5 required positional arguments: 'channel_type', 'max_resistance', "
            "'min_resistance', 'shunt_resistance', and 'r_ain0'",
        ),
        (
            ChannelConfig,
            ("bad", "bad", "bad"),
            {},
            f"{CC} missing 2 required positional arguments: 'shunt_resistance' and 'r_ain0'",
        ),
        (
            ChannelConfig,
            (),
            {"r_ain0": X, "min_resistance": X},
            f"{CC} missing 3 required positional arguments: 'channel_type', 'max_resistance', and 'shunt_resistance'",
        ),
        (ChannelType.RTD, (), {}, f"{RTD} missing 1 required positional argument: '_0'"),
        (ChannelType.TC, (), {}, f"{TC} missing 1 required positional argument: '_0'"),
    ],
)
def test_binding_messages(fn, args, kwargs, message):
    with pytest.raises(TypeError) as ei:
        fn(*args, **kwargs)
    check_raises(ei, TypeError, message)


class KwName(str):
    pass


def test_keyword_names_match_by_text(cfg_rtd):
    # Names built at run time are not the interned parameter names.
    names = ["".join(["c_", "number"]), "".join(["c_", "config"]), "i" + "d"[:1]]
    kwargs = dict(zip(names, (1, cfg_rtd, 7), strict=True))
    assert set_channel_request(**kwargs) == set_channel_request(1, cfg_rtd, 7)
    kwargs = {KwName("c_number"): 3, KwName("temperature_value"): 25.5, KwName("id"): 2}
    assert set_temperature_request(**kwargs) == set_temperature_request(3, 25.5, 2)
    assert int(ChannelType.RTD(**{"".join(["_", "0"]): RTDType.Cu50})._0) == 4


class Raising:
    """Raises the given exception from every numeric hook."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    __float__ = __index__


class MyTypeError(TypeError):
    pass


class IntSub(int):
    def __index__(self):  # not consulted: int subclasses are read directly
        raise AssertionError("__index__ called")


U64_BAD = [
    -1,
    -(2**64),
    2**64,
    2**100,
    1.0,
    "1",
    None,
    b"\x01",
    Index(-1),
    Index(2**64),
    Index("x"),
    Index(1.5),
    Raising(TypeError("boom")),
    Raising(ValueError("v")),
]
ID_BAD = [
    2**63,
    -(2**63) - 1,
    2**80,
    1.0,
    "7",
    None,
    Index(2**63),
    Index("x"),
    Raising(TypeError("boom")),
    Raising(ArithmeticError("a")),
]
FLOAT_BAD = [
    "1",
    None,
    b"1",
    10**400,
    -(10**400),
    Index(10**400),
    1j,
    Raising(TypeError("boom")),
    Raising(ZeroDivisionError("z")),
]


@pytest.mark.parametrize("value", U64_BAD, ids=repr)
def test_c_number_conversion_errors(value, cfg_rtd):
    etype, message = expected_failure("c_number", error_of(model.to_u64, value))
    for call in (lambda: set_channel_request(value, cfg_rtd, 1), lambda: set_temperature_request(value, 1.0, 1)):
        with pytest.raises(etype) as ei:
            call()
        check_raises(ei, etype, message)


@pytest.mark.parametrize("value", ID_BAD, ids=repr)
def test_id_conversion_errors(value, cfg_rtd):
    etype, message = expected_failure("id", error_of(model.to_u32, value))
    for call in (lambda: set_channel_request(0, cfg_rtd, value), lambda: set_temperature_request(0, 1.0, value)):
        with pytest.raises(etype) as ei:
            call()
        check_raises(ei, etype, message)


@pytest.mark.parametrize("value", [-1, 2**32, -(2**31), 2**63 - 1, -(2**63), Index(2**32), Index(-5)], ids=repr)
def test_id_u32_range(value, cfg_rtd):
    for call in (lambda: set_channel_request(0, cfg_rtd, value), lambda: set_temperature_request(0, 1.0, value)):
        with pytest.raises(OverflowError) as ei:
            call()
        check_raises(ei, OverflowError, "out of range integral type conversion attempted")


@pytest.mark.parametrize("value", FLOAT_BAD, ids=repr)
def test_float_conversion_errors(value):
    err = error_of(model.to_double, value)
    etype, message = expected_failure("temperature_value", err)
    with pytest.raises(etype) as ei:
        set_temperature_request(0, value, 0)
    check_raises(ei, etype, message)
    ct = ChannelType_None()
    etype, message = expected_failure("shunt_resistance", err)
    with pytest.raises(etype) as ei:
        ChannelConfig(ct, 1.0, 2.0, value, 3.0)
    check_raises(ei, etype, message)


def _sites(cfg):
    """Every place where the module converts a user object: (name, call)."""
    variant = ChannelType.RTD(RTDType.PT100)
    return [
        ("c_number", lambda v: set_channel_request(v, cfg, 1)),
        ("c_number", lambda v: set_temperature_request(v, 1.0, 1)),
        ("temperature_value", lambda v: set_temperature_request(1, v, 1)),
        ("id", lambda v: set_temperature_request(1, 1.0, v)),
        ("id", lambda v: set_channel_request(1, cfg, v)),
        ("r_ain0", lambda v: ChannelConfig(variant, 1.0, 2.0, 3.0, v)),
        ("max_resistance", lambda v: setattr(cfg, "max_resistance", v)),
        ("idx", lambda v: variant[v]),
    ]


def test_exact_type_error_gets_prefix_and_keeps_cause(cfg_tc):
    for name, call in _sites(cfg_tc):
        root = ValueError("root")
        try:
            raise TypeError("boom") from root
        except TypeError as exc:
            inner = exc
        with pytest.raises(TypeError) as ei:
            call(Raising(inner))
        check_raises(ei, TypeError, f"argument '{name}': boom")
        assert ei.value is not inner
        assert ei.value.__cause__ is root
        with pytest.raises(TypeError) as ei:
            call(Raising(TypeError("plain")))
        check_raises(ei, TypeError, f"argument '{name}': plain")
        assert ei.value.__cause__ is None


@pytest.mark.parametrize("exc_type", [MyTypeError, ValueError, OverflowError, RuntimeError, KeyError, MemoryError])
def test_other_errors_pass_through_unchanged(exc_type, cfg_tc):
    for _name, call in _sites(cfg_tc):
        inner = exc_type("boom")
        with pytest.raises(exc_type) as ei:
            call(Raising(inner))
        assert ei.value is inner
        assert ei.value.args == ("boom",)


def test_int_float_subclasses_and_bool_read_directly(cfg_none):
    assert set_temperature_request(IntSub(5), 1.0, IntSub(9))[:10] == bytes.fromhex("15 00000009 F0 00000009")
    assert set_channel_request(IntSub(5), cfg_none, IntSub(9))[:10] == bytes.fromhex("15 00000016 00 00000009")
    assert int(ChannelType.RTD(RTDType.PT1000)[IntSub(0)]) == 2
    assert set_temperature_request(False, True, True) == bytes.fromhex("10 00000009 F0 00000001 3F800000")
    assert set_temperature_request(Index(2), Index(3), Index(4)) == bytes.fromhex("12 00000009 F0 00000004 40400000")


class Recorder:
    def __init__(self, log, tag, fail=None):
        self.log, self.tag, self.fail = log, tag, fail

    def __index__(self):
        self.log.append(self.tag)
        if self.fail:
            raise self.fail
        return 1

    def __float__(self):
        self.log.append(self.tag)
        if self.fail:
            raise self.fail
        return 1.0


def test_conversion_order_and_first_error():
    log = []
    set_temperature_request(Recorder(log, "c"), Recorder(log, "t"), Recorder(log, "i"))
    assert log == ["c", "t", "i"]

    log.clear()
    with pytest.raises(TypeError, match="^set_temperature_request"):
        set_temperature_request(Recorder(log, "c"), Recorder(log, "t"), Recorder(log, "i"), 4)
    assert log == []

    log.clear()
    with pytest.raises(ValueError, match="^t$"):
        set_temperature_request(
            Recorder(log, "c"), Recorder(log, "t", ValueError("t")), Recorder(log, "i", ValueError("i"))
        )
    assert log == ["c", "t"]

    log.clear()
    args = [Recorder(log, tag) for tag in "abcd"]
    args[2].fail = OverflowError("c")
    with pytest.raises(OverflowError, match="^c$"):
        ChannelConfig(ChannelType_None(), *args)
    assert log == ["a", "b", "c"]

    log.clear()
    with pytest.raises(TypeError, match="^argument 'channel_type': "):
        ChannelConfig("bad", *[Recorder(log, tag) for tag in "abcd"])
    assert log == []

    log.clear()
    with pytest.raises(TypeError, match="^argument 'c_config': "):
        set_channel_request(Recorder(log, "c"), "bad", Recorder(log, "i"))
    assert log == ["c"]


def test_first_error_wins(cfg_rtd):
    with pytest.raises(OverflowError):
        set_channel_request(-1, "bad", -1)
    with pytest.raises(TypeError, match="^argument 'c_config': 'int' object"):
        set_channel_request(1, 5, 2**32)
    with pytest.raises(TypeError, match="^argument 'temperature_value': "):
        set_temperature_request(1, "x", 2**32)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "value, qualname",
    [
        (5, "int"),
        (None, "NoneType"),
        ("s", "str"),
        (RTDType.PT100, "RTDType"),
        (ChannelType.RTD(RTDType.PT100), "ChannelType_RTD"),
        (ChannelType_None(), "ChannelType_None"),
        (ChannelConfig, "type"),
        (Outer.Inner(), "Outer.Inner"),
    ],
    ids=repr,
)
def test_c_config_type_test(value, qualname):
    message = f"argument 'c_config': '{qualname}' object cannot be converted to 'ChannelConfig'"
    with pytest.raises(TypeError) as ei:
        set_channel_request(0, value, 0)
    check_raises(ei, TypeError, message)
    assert ei.value.__cause__ is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ChannelType.RTD(TCType.K), "argument '_0': 'TCType' object cannot be converted to 'RTDType'"),
        (lambda: ChannelType.TC(RTDType.PT100), "argument '_0': 'RTDType' object cannot be converted to 'TCType'"),
        (lambda: ChannelType.RTD(0), "argument '_0': 'int' object cannot be converted to 'RTDType'"),
        (
            lambda: ChannelType.TC(_0=Outer.Inner()),
            "argument '_0': 'Outer.Inner' object cannot be converted to 'TCType'",
        ),
        (
            lambda: ChannelConfig("s", 1, 2, 3, 4),
            "argument 'channel_type': 'str' object cannot be converted to 'ChannelType'",
        ),
        (
            lambda: ChannelConfig(RTDType.PT100, 1, 2, 3, 4),
            "argument 'channel_type': 'RTDType' object cannot be converted to 'ChannelType'",
        ),
        (
            lambda: ChannelConfig(ChannelType, 1, 2, 3, 4),
            "argument 'channel_type': 'type' object cannot be converted to 'ChannelType'",
        ),
        (
            lambda: ChannelConfig(None, "x", 2, 3, 4),
            "argument 'channel_type': 'NoneType' object cannot be converted to 'ChannelType'",
        ),
    ],
)
def test_class_type_test_messages(call, message):
    with pytest.raises(TypeError) as ei:
        call()
    check_raises(ei, TypeError, message)


# --- arguments that Python code frees during the call ------------------------


class Float(float):
    """Freed for real (no free list), so reading it afterwards would show."""


class FreesCallerStorage:
    """Converts to `value`, after dropping the caller's storage of the
    arguments and churning the allocator over the freed memory."""

    def __init__(self, free=None, value=1):
        self.free = free
        self.value = value

    def __index__(self):
        self.free()
        self.litter = [range(i) for i in range(2000)]
        return self.value

    def __float__(self):
        return float(self.__index__())


RTD_PT100 = ChannelType.RTD(RTDType.PT100)


def _partial(fn, before, after, value=1):
    # functools.partial hands fast-call functions pointers into its own tuple,
    # which __setstate__ frees; with the lists emptied, that tuple holds the
    # only references to what they held (a setter's or subscript's object).
    hook = FreesCallerStorage(value=value)
    p = functools.partial(fn, *before, hook, *after)
    before.clear()
    after.clear()
    hook.free = lambda: p.__setstate__((print, (), {}, None))
    return p()


def _pickled_constructor():
    # NEWOBJ_EX passes the unpickled keyword dict straight to __new__; the
    # hook holds the same dict (from the memo) and clears it.
    def global_(module, name):
        return b"c" + module.encode() + b"\n" + name.encode() + b"\n"

    def text(s):
        return b"\x8c" + bytes([len(s)]) + s.encode()

    def call1(module, name, arg):
        return global_(module, name) + arg + b"\x85R"

    def floating(x):
        return call1(__name__, "Float", b"G" + struct.pack(">d", x))

    data = (
        b"\x80\x04" + global_("kelvane.channel.packets.set_channel", "ChannelConfig") + b")}\x94("
        + text("channel_type") + global_(__name__, "RTD_PT100")
        + text("max_resistance") + call1(__name__, "_clearing_hook", b"h\x00")
        + text("min_resistance") + floating(2.5)
        + text("shunt_resistance") + floating(3.5)
        + text("r_ain0") + floating(4.5)
        + b"u\x92."
    )  # fmt: skip
    return pickle.loads(data)


def _clearing_hook(kwargs):
    return FreesCallerStorage(kwargs.clear)


def _fields(cfg):
    return [cfg.max_resistance, cfg.min_resistance, cfg.shunt_resistance, cfg.r_ain0]


@pytest.mark.parametrize(
    "call, expected",
    [
        (
            lambda: _partial(set_channel_request, [], [ChannelConfig(RTD_PT100, 400.0, 18.0, 1000.0, 10.0), 7]),
            lambda: set_channel_request(1, ChannelConfig(RTD_PT100, 400.0, 18.0, 1000.0, 10.0), 7),
        ),
        (
            lambda: _fields(_partial(ChannelConfig, [RTD_PT100], [Float(2.5), Float(3.5), Float(4.5)])),
            lambda: [1.0, 2.5, 3.5, 4.5],
        ),
        (lambda: _fields(_pickled_constructor()), lambda: [1.0, 2.5, 3.5, 4.5]),
        (lambda: _partial(setattr, [ChannelConfig(RTD_PT100, 1.0, 2.0, 3.0, 4.0), "r_ain0"], []), lambda: None),
        (lambda: repr(_partial(operator.getitem, [ChannelType.RTD(RTDType.PT1000)], [], 0)), lambda: "RTDType.PT1000"),
    ],
    ids=["builder via partial", "constructor via partial", "constructor via pickle", "setter", "subscript"],
)
def test_arguments_outlive_the_callers_storage(call, expected):
    assert call() == expected()
