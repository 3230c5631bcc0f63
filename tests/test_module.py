"""Module tree, start-up and sub-interpreter refusal."""

import inspect
import json
import sys

import pytest
import surface
from helpers import run_python

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

# The submodules in registration order, with their short names; the names and
# signatures themselves are pinned in surface.py and held there by test_surface.py.
SUBMODULES = [(key, key.rsplit(".", 1)[1], all_) for key, all_ in surface.TREE.items() if key != "kelvane"]
ROOT_ALL = surface.TREE["kelvane"]


def _by_attribute(dotted):
    obj = kelvane
    for part in dotted.split(".")[1:]:
        obj = getattr(obj, part)
    return obj


def test_root_module():
    assert kelvane.__name__ == "kelvane"
    assert kelvane.__doc__ == ""
    assert kelvane.__all__ == ROOT_ALL
    assert sys.modules["kelvane"] is kelvane
    ns = {}
    exec("from kelvane import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(kelvane.__all__)
    with pytest.raises(AttributeError):
        kelvane.ChannelConfig  # noqa: B018


@pytest.mark.parametrize("key, name, all_", SUBMODULES, ids=[s[0] for s in SUBMODULES])
def test_submodule(key, name, all_):
    module = sys.modules[key]
    assert module is _by_attribute(key)
    assert type(module) is type(kelvane)
    assert module.__name__ == name
    assert module.__doc__ is None
    if all_ is None:
        assert not hasattr(module, "__all__")
        assert sorted(vars(module)) == ["__doc__", "__loader__", "__name__", "__package__", "__spec__"]
    else:
        assert module.__all__ == all_
        assert [k for k in vars(module) if not k.startswith("__")] == all_


def test_placement():
    set_channel = kelvane.channel.packets.set_channel
    assert kelvane.channel.packets is not kelvane.channel.rtd.packets
    assert (set_channel.ChannelConfig, set_channel.ChannelType, set_channel.RTDType, set_channel.TCType) == (
        ChannelConfig,
        ChannelType,
        RTDType,
        TCType,
    )


@pytest.mark.parametrize("name, signature", surface.FUNCTIONS.items())
def test_function_objects(name, signature):
    fn = getattr(kelvane, name)
    assert type(fn) is type(len)
    assert fn.__name__ == name
    assert fn.__module__ == "kelvane"
    assert fn.__self__ is kelvane
    assert fn.__doc__ is None
    assert fn.__text_signature__ == signature
    assert str(inspect.signature(fn)) == signature


def test_import_order_and_reimport():
    proc = run_python(
        """
        import importlib, json, sys
        before = set(sys.modules)
        import kelvane
        order = [k for k in sys.modules if k not in before and k.startswith("kelvane")]
        channel = sys.modules["kelvane.channel"]
        sentinel = type(sys)("sentinel")
        sys.modules["kelvane.channel"] = sentinel
        del sys.modules["kelvane"]
        again = importlib.import_module("kelvane")
        print(json.dumps({
            "order": order,
            "same": again is kelvane,
            "all": again.__all__,
            "untouched": sys.modules["kelvane.channel"] is sentinel,
            "channel": again.channel is channel,
            "works": again.sys_reset().hex(),
        }))
        """
    )
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert result["order"] == [key for key, _, _ in SUBMODULES] + ["kelvane"]
    assert result["same"] and result["channel"] and result["untouched"]
    assert result["all"] == ROOT_ALL
    assert result["works"] == "10000000050100000001"


@pytest.mark.parametrize(
    "statement, expected",
    [
        ("import kelvane.channel.rtd.packets.set_temperature as m; print(m.__name__)", "set_temperature"),
        ("from kelvane.channel.packets.set_channel import ChannelConfig as m; print(m.__name__)", "ChannelConfig"),
        ("from kelvane.channel.rtd import packets as m; print(m.__all__)", "['set_temperature']"),
        ("import kelvane.channel.packets as m; import kelvane; print(m is kelvane.channel.packets)", "True"),
    ],
)
def test_first_import_of_submodule_path(statement, expected):
    proc = run_python(statement)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == expected
    assert proc.stderr == ""


SUBINTERPRETER_SCRIPT = r"""
import sys
main_first = sys.argv[1] == "main first"
if main_first:
    import kelvane
code = '''
import sys
sys.path[:] = %r
try:
    import kelvane
except ImportError as exc:
    print("refused", type(exc).__name__, bool(str(exc)), flush=True)
else:
    print("imported", flush=True)
''' % (sys.path,)
try:
    import _interpreters as interpreters  # 3.13
    configs = ["isolated", "legacy"] if main_first else ["isolated"]
    def run(config):
        iid = interpreters.create(config)
        try:
            err = interpreters.exec(iid, code)
            if err is not None:
                print("error", err.formatted, flush=True)
        finally:
            interpreters.destroy(iid)
except ImportError:
    import _xxsubinterpreters as interpreters  # 3.12
    configs = [True, False] if main_first else [True]
    def run(isolated):
        iid = interpreters.create(isolated=isolated)
        try:
            interpreters.run_string(iid, code)
        except interpreters.RunFailedError as exc:
            print("error", exc, flush=True)
        finally:
            interpreters.destroy(iid)
for config in configs:
    run(config)
import kelvane
print("main", kelvane.sys_reset().hex(), sys.modules["kelvane"] is kelvane, flush=True)
"""


# An isolated sub-interpreter refuses the module itself; importing there
# first must not keep the main interpreter from importing it afterwards.
@pytest.mark.parametrize("order, refusals", [("main first", 2), ("sub-interpreter first", 1)])
def test_sub_interpreter_import_refused(order, refusals):
    proc = run_python(SUBINTERPRETER_SCRIPT, order)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["refused ImportError True"] * refusals + ["main 10000000050100000001 True"]


def test_import_reached_from_inside_the_first_import():
    # The module body imports sys through the import machinery, so a hook
    # there can ask for kelvane again before the first import has finished.
    proc = run_python(
        """
        import builtins, importlib, sys
        real_import = builtins.__import__
        inner = []
        def hook(name, *args, **kwargs):
            if name == "sys" and not inner:
                try:
                    inner.append(importlib.import_module("kelvane"))
                except ImportError as exc:
                    inner.append(exc)
            return real_import(name, *args, **kwargs)
        builtins.__import__ = hook
        import kelvane
        builtins.__import__ = real_import
        del sys.modules["kelvane"]
        again = importlib.import_module("kelvane")
        print(type(inner[0]).__name__, inner[0] is kelvane, again is kelvane, kelvane.sys_reset().hex())
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["ImportError", "False", "True", "10000000050100000001"]
