"""Every entry point of kelvane, on its success path and its error paths, as a
source expression over a shared set of objects. The leak runs, the
allocation-failure sweeps and the memcheck run all drive these.

An entry is (name, expression, expectation). The expectation is None for a
call that succeeds, or (exception type name, message) for one that fails; the
value of a successful call is compared through describe().
"""

import struct

import surface

SETUP = r"""
from functools import partial

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

NoneType_ = getattr(ChannelType, "None")
RTD = ChannelType.RTD
TC = ChannelType.TC
pt1000 = RTDType.PT1000
k_type = TCType.K
rtd = RTD(pt1000)
tc = TC(k_type)
none = NoneType_()
cfg = ChannelConfig(rtd, 400.0, 18.0, 1000.0, 10.0)
cfg_tc = ChannelConfig(tc, 50.0, 0.5, 100.0, 1.0)
cfg_none = ChannelConfig(none, 1.0, -40.0, 0.1, 0.0)
cfg_set = ChannelConfig(tc, 50.0, 0.5, 100.0, 1.0)  # the one the setters change
# Objects the interpreter does not keep immortal, so that a lost or extra
# reference shows in their counts.
c_number = int("300")
id_ = int("70000")
temperature = float("25.5")
resistance = float("123.25")
too_big = int("18446744073709551616")
u32_over = int("4294967296")
huge = too_big ** 20
negative = int("-5")
text = str("not a number") + "!"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# Hooks that fail in C, without a Python frame: the interpreter itself can
# lose an exception when the frame object of a failing Python function cannot
# be allocated, and the allocation-failure sweeps must not trip over that.
class Failing:
    __index__ = staticmethod(partial(int, "no index here"))
    __float__ = staticmethod(partial(float, "no float here"))


class Typed:
    __float__ = staticmethod(partial(float, None))


index_obj = Index(int("301"))
zero_index = Index(0)
failing = Failing()
typed = Typed()
kw = {"id": id_, "c_config": cfg, "c_number": c_number}
"""

NO_CTOR = "TypeError"

ENTRIES = [
    # --- sys_reset
    ("sys_reset", "kelvane.sys_reset()", None),
    (
        "sys_reset with an argument",
        "kelvane.sys_reset(c_number)",
        ("TypeError", "kelvane.sys_reset() takes no arguments (1 given)"),
    ),
    # --- set_temperature_request
    ("set_temperature_request", "kelvane.set_temperature_request(c_number, temperature, id_)", None),
    (
        "set_temperature_request by keyword",
        "kelvane.set_temperature_request(id=id_, temperature_value=temperature, c_number=c_number)",
        None,
    ),
    ("set_temperature_request with __index__", "kelvane.set_temperature_request(index_obj, c_number, index_obj)", None),
    (
        "set_temperature_request missing",
        "kelvane.set_temperature_request(c_number)",
        (
            "TypeError",
            "set_temperature_request() missing 2 required positional arguments: 'temperature_value' and 'id'",
        ),
    ),
    (
        "set_temperature_request too many",
        "kelvane.set_temperature_request(c_number, temperature, id_, id_)",
        ("TypeError", "set_temperature_request() takes 3 positional arguments but 4 were given"),
    ),
    (
        "set_temperature_request unknown keyword",
        "kelvane.set_temperature_request(c_number, temperature, id_, foo=id_)",
        ("TypeError", "set_temperature_request() got an unexpected keyword argument 'foo'"),
    ),
    (
        "set_temperature_request duplicate",
        "kelvane.set_temperature_request(c_number, temperature, id_, c_number=id_)",
        ("TypeError", "set_temperature_request() got multiple values for argument 'c_number'"),
    ),
    (
        "set_temperature_request c_number type",
        "kelvane.set_temperature_request(temperature, temperature, id_)",
        ("TypeError", "argument 'c_number': 'float' object cannot be interpreted as an integer"),
    ),
    (
        "set_temperature_request c_number negative",
        "kelvane.set_temperature_request(negative, temperature, id_)",
        ("OverflowError", "can't convert negative int to unsigned"),
    ),
    (
        "set_temperature_request c_number too big",
        "kelvane.set_temperature_request(too_big, temperature, id_)",
        ("OverflowError", "int too big to convert"),
    ),
    (
        "set_temperature_request temperature type",
        "kelvane.set_temperature_request(c_number, text, id_)",
        ("TypeError", "argument 'temperature_value': must be real number, not str"),
    ),
    (
        "set_temperature_request __float__ raises",
        "kelvane.set_temperature_request(c_number, failing, id_)",
        ("ValueError", "could not convert string to float: 'no float here'"),
    ),
    (
        "set_temperature_request __float__ TypeError",
        "kelvane.set_temperature_request(c_number, typed, id_)",
        (
            "TypeError",
            "argument 'temperature_value': float() argument must be a string or a real number, not 'NoneType'",
        ),
    ),
    (
        "set_temperature_request id range",
        "kelvane.set_temperature_request(c_number, temperature, u32_over)",
        ("OverflowError", "out of range integral type conversion attempted"),
    ),
    (
        "set_temperature_request id beyond long",
        "kelvane.set_temperature_request(c_number, temperature, too_big)",
        ("OverflowError", "Python int too large to convert to C long"),
    ),
    # --- set_channel_request
    ("set_channel_request rtd", "kelvane.set_channel_request(c_number, cfg, id_)", None),
    ("set_channel_request tc", "kelvane.set_channel_request(c_number, cfg_tc, id_)", None),
    ("set_channel_request none", "kelvane.set_channel_request(c_number, cfg_none, id_)", None),
    ("set_channel_request by keyword", "kelvane.set_channel_request(**kw)", None),
    (
        "set_channel_request missing",
        "kelvane.set_channel_request()",
        (
            "TypeError",
            "set_channel_request() missing 3 required positional arguments: 'c_number', 'c_config', and 'id'",
        ),
    ),
    (
        "set_channel_request config type",
        "kelvane.set_channel_request(c_number, rtd, id_)",
        ("TypeError", "argument 'c_config': 'ChannelType_RTD' object cannot be converted to 'ChannelConfig'"),
    ),
    (
        "set_channel_request c_number hook raises",
        "kelvane.set_channel_request(failing, cfg, id_)",
        ("ValueError", "invalid literal for int() with base 10: 'no index here'"),
    ),
    (
        "set_channel_request id negative",
        "kelvane.set_channel_request(c_number, cfg, negative)",
        ("OverflowError", "out of range integral type conversion attempted"),
    ),
    # --- ChannelConfig
    ("ChannelConfig()", "ChannelConfig(rtd, resistance, temperature, c_number, id_)", None),
    (
        "ChannelConfig() by keyword",
        "ChannelConfig(r_ain0=resistance, shunt_resistance=temperature, min_resistance=c_number, "
        "max_resistance=resistance, channel_type=tc)",
        None,
    ),
    (
        "ChannelConfig() missing",
        "ChannelConfig(rtd, resistance, resistance)",
        (
            "TypeError",
            "ChannelConfig.__new__() missing 2 required positional arguments: 'shunt_resistance' and 'r_ain0'",
        ),
    ),
    (
        "ChannelConfig() channel_type",
        "ChannelConfig(pt1000, resistance, resistance, resistance, resistance)",
        ("TypeError", "argument 'channel_type': 'RTDType' object cannot be converted to 'ChannelType'"),
    ),
    (
        "ChannelConfig() float type",
        "ChannelConfig(rtd, resistance, text, resistance, resistance)",
        ("TypeError", "argument 'min_resistance': must be real number, not str"),
    ),
    (
        "ChannelConfig() float overflow",
        "ChannelConfig(rtd, resistance, resistance, resistance, huge)",
        ("OverflowError", "int too large to convert to float"),
    ),
    (
        "ChannelConfig() __float__ raises",
        "ChannelConfig(rtd, failing, resistance, resistance, resistance)",
        ("ValueError", "could not convert string to float: 'no float here'"),
    ),
    ("channel_type getter", "cfg.channel_type", None),
    ("max_resistance getter", "cfg.max_resistance", None),
    ("min_resistance getter", "cfg.min_resistance", None),
    ("shunt_resistance getter", "cfg.shunt_resistance", None),
    ("r_ain0 getter", "cfg_none.r_ain0", None),
    ("channel_type setter", "setattr(cfg_set, 'channel_type', tc)", None),
    ("max_resistance setter", "setattr(cfg_set, 'max_resistance', resistance)", None),
    ("r_ain0 setter from int", "setattr(cfg_set, 'r_ain0', c_number)", None),
    (
        "channel_type setter type",
        "setattr(cfg_set, 'channel_type', k_type)",
        ("TypeError", "argument 'channel_type': 'TCType' object cannot be converted to 'ChannelType'"),
    ),
    (
        "shunt_resistance setter type",
        "setattr(cfg_set, 'shunt_resistance', text)",
        ("TypeError", "argument 'shunt_resistance': must be real number, not str"),
    ),
    (
        "min_resistance setter raises",
        "setattr(cfg_set, 'min_resistance', failing)",
        ("ValueError", "could not convert string to float: 'no float here'"),
    ),
    ("attribute delete", "delattr(cfg_set, 'r_ain0')", ("AttributeError", "can't delete attribute")),
    # --- ChannelType and its variants
    ("ChannelType_None()", "NoneType_()", None),
    ("ChannelType_RTD()", "RTD(pt1000)", None),
    ("ChannelType_TC() by keyword", "TC(_0=k_type)", None),
    (
        "ChannelType_None() with an argument",
        "NoneType_(c_number)",
        ("TypeError", "ChannelType_None.__new__() takes 0 positional arguments but 1 was given"),
    ),
    (
        "ChannelType_RTD() wrong member",
        "RTD(k_type)",
        ("TypeError", "argument '_0': 'TCType' object cannot be converted to 'RTDType'"),
    ),
    (
        "ChannelType_TC() missing",
        "TC()",
        ("TypeError", "ChannelType_TC.__new__() missing 1 required positional argument: '_0'"),
    ),
    (
        "ChannelType_TC() unknown keyword",
        "TC(k_type, x=k_type)",
        ("TypeError", "ChannelType_TC.__new__() got an unexpected keyword argument 'x'"),
    ),
    ("ChannelType()", "ChannelType(c_number)", ("TypeError", "No constructor defined for ChannelType")),
    ("_0 getter", "rtd._0", None),
    ("len()", "len(tc)", None),
    ("subscript", "tc[0]", None),
    ("subscript with __index__", "rtd[zero_index]", None),
    ("subscript out of range", "rtd[c_number]", ("IndexError", "tuple index out of range")),
    ("subscript on None", "none[0]", ("IndexError", "tuple index out of range")),
    ("subscript negative", "tc[negative]", ("OverflowError", "can't convert negative int to unsigned")),
    (
        "subscript type",
        "tc[temperature]",
        ("TypeError", "argument 'idx': 'float' object cannot be interpreted as an integer"),
    ),
    ("subscript hook raises", "tc[failing]", ("ValueError", "invalid literal for int() with base 10: 'no index here'")),
    # --- RTDType, TCType
    ("RTDType()", "RTDType()", ("TypeError", "No constructor defined for RTDType")),
    ("TCType()", "TCType(c_number, x=id_)", ("TypeError", "No constructor defined for TCType")),
    ("repr(member)", "repr(pt1000)", None),
    ("int(member)", "int(k_type)", None),
]


def namespace():
    ns = {}
    exec(SETUP, ns)
    return ns


def describe(value):
    """A comparable picture of a call's value."""
    from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType

    if isinstance(value, float):
        return ("float", struct.pack("<d", value).hex())
    if isinstance(value, ChannelConfig):
        return ("ChannelConfig",) + tuple(describe(getattr(value, f)) for f in surface.FIELDS)
    if isinstance(value, ChannelType):
        return (type(value).__name__, len(value)) + ((repr(value._0),) if len(value) else ())
    if isinstance(value, (bytes, int, str, type(None))):
        return (type(value).__name__, value if not isinstance(value, bytes) else value.hex())
    return (type(value).__name__, repr(value))


def watched(ns):
    """The objects whose reference counts no call may change: everything
    the setup made, classes and members included."""
    return {name: obj for name, obj in ns.items() if not name.startswith("__") and type(obj).__name__ != "module"}
