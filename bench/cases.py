"""What is measured: one statement per case, run against three implementations.

Each implementation provides the same names (see `namespace`), so a case's
statement and setup are the same text for kelvane, the floor, the old floor
and the reference; only the objects behind the names differ.
"""

import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

IMPLEMENTATIONS = ("kelvane", "floor", "old_floor", "reference")
FLOOR_MODULES = {"floor": "kelvane_floor", "old_floor": "kelvane_old_floor"}

# name, statement, kind ("builder", "constructor", "getter", "setter", "other")
CASES = [
    ("sys_reset()", "sys_reset()", "builder"),
    ("set_temperature_request, positional", "set_temperature_request(1, 25.5, 7)", "builder"),
    (
        "set_temperature_request, keywords",
        "set_temperature_request(c_number=1, temperature_value=25.5, id=7)",
        "builder",
    ),
    ("set_channel_request, RTD", "set_channel_request(1, cfg_rtd, 7)", "builder"),
    ("set_channel_request, unused channel", "set_channel_request(1, cfg_none, 7)", "builder"),
    ("ChannelConfig(...)", "ChannelConfig(rtd, 400.0, 18.0, 1000.0, 10.0)", "constructor"),
    ("cfg.max_resistance", "cfg_rtd.max_resistance", "getter"),
    ("cfg.max_resistance = x", "cfg_rtd.max_resistance = 18.5", "setter"),
    ("cfg.channel_type", "cfg_rtd.channel_type", "getter"),
    ("ChannelType.RTD(m)", "RTD(m)", "constructor"),
    ("variant[0]", "rtd[0]", "getter"),
]

BUILDERS = [name for name, _, kind in CASES if kind == "builder"]

# Binds every name a statement uses to a local of the timing function.
SETUP = """\
from cases import namespace as _namespace
_ns = _namespace({impl!r})
sys_reset = _ns["sys_reset"]
set_temperature_request = _ns["set_temperature_request"]
set_channel_request = _ns["set_channel_request"]
ChannelConfig = _ns["ChannelConfig"]
ChannelType = _ns["ChannelType"]
RTDType = _ns["RTDType"]
RTD = _ns["RTD"]
m = _ns["m"]
rtd = _ns["rtd"]
cfg_rtd = _ns["cfg_rtd"]
cfg_none = _ns["cfg_none"]
"""


def setup_for(impl):
    return SETUP.format(impl=impl)


def load(impl):
    """The module object of one implementation. The floors are looked for in
    $KELVANE_FLOOR_DIR, where `make bench` builds them."""
    if impl == "kelvane":
        import kelvane

        return kelvane
    if impl in FLOOR_MODULES:
        floor_dir = os.environ.get("KELVANE_FLOOR_DIR")
        if floor_dir and floor_dir not in sys.path:
            sys.path.insert(0, floor_dir)
        return importlib.import_module(FLOOR_MODULES[impl])
    if impl == "reference":
        return importlib.import_module("reference")
    raise ValueError(impl)


def namespace(impl):
    module = load(impl)
    if impl == "kelvane":
        from kelvane.channel.packets import set_channel as classes
    else:
        classes = module
    ns = {
        "sys_reset": module.sys_reset,
        "set_temperature_request": module.set_temperature_request,
        "set_channel_request": module.set_channel_request,
        "ChannelConfig": classes.ChannelConfig,
        "ChannelType": classes.ChannelType,
        "RTDType": classes.RTDType,
    }
    channel_type = classes.ChannelType
    # The constructors' class and argument are locals of the timing loop, so
    # that their cases count the call alone, not the attribute reads.
    ns["RTD"] = channel_type.RTD
    ns["m"] = classes.RTDType.PT100
    ns["rtd"] = channel_type.RTD(classes.RTDType.PT100)
    ns["cfg_rtd"] = classes.ChannelConfig(ns["rtd"], 400.0, 18.0, 1000.0, 10.0)
    ns["cfg_none"] = classes.ChannelConfig(getattr(channel_type, "None")(), 400.0, 18.0, 1000.0, 10.0)
    return ns
