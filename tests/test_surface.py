"""kelvane's public surface: the running module against the surface pinned in
surface.py, and the stubs, the reference and the test model against the
running module. A name added, dropped, renamed or moved in one of them and not
in the others fails here."""

import inspect
import pathlib
import re
import shutil

import entry_points
import helpers
import model
import pytest
import surface

import kelvane

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "kelvane-stubs"
set_channel = kelvane.channel.packets.set_channel


def test_running_module_has_the_pinned_surface():
    assert (
        surface.differences(surface.running_surface(kelvane), surface.expected_surface(), "the module", "the pin") == []
    )


def test_stubs_agree_with_the_running_module():
    assert surface.surface_problems(kelvane, STUBS) == []


def _stub_edit(path, old, new):
    def edit(stubs):
        file = stubs / path
        text = file.read_text()
        assert old in text, f"{path} no longer holds {old!r}"
        file.write_text(text.replace(old, new, 1))

    return edit


@pytest.mark.parametrize(
    "edit, problem",
    [
        (
            _stub_edit(
                "__init__.pyi",
                "def sys_reset",
                "def get_status_request(c_number: int, id: int) -> bytes: ...\ndef sys_reset",
            ),
            "kelvane.get_status_request: in the stubs, not in the module",
        ),
        (
            _stub_edit("channel/packets/set_channel.pyi", "    Ni1000: Final[RTDType]\n", ""),
            "kelvane.channel.packets.set_channel.RTDType.Ni1000: in the module, not in the stubs",
        ),
        (
            _stub_edit("__init__.pyi", "c_config: ChannelConfig,", "c_config: ChannelConfig, /,"),
            "kelvane.set_channel_request: function (c_number, c_config, id) in the module; "
            "function (c_number, c_config, /, id) in the stubs",
        ),
        (
            _stub_edit("channel/__init__.pyi", '["packets", "rtd"]', '["rtd", "packets"]'),
            "kelvane.channel: module, __all__ ['packets', 'rtd'] in the module; "
            "module, __all__ ['rtd', 'packets'] in the stubs",
        ),
        (
            _stub_edit("channel/packets/set_channel.pyi", "@type_check_only\n", ""),
            "kelvane.channel.packets.set_channel.ChannelType_None: class derived from ChannelType, called as (), "
            "not a name of its module in the module; class derived from ChannelType, called as () in the stubs",
        ),
    ],
    ids=["extra function", "missing member", "parameter kind", "__all__ order", "None variant importable"],
)
def test_stub_drift_is_reported(tmp_path, edit, problem):
    stubs = shutil.copytree(STUBS, tmp_path / "stubs")
    edit(stubs)
    assert surface.surface_problems(kelvane, stubs) == [problem]


def _public_names():
    """(dotted modules, {other public name: what it is}) of the running module."""
    keys = surface.running_surface(kelvane)
    modules = [key for key, what in keys.items() if what.startswith("module")]
    names = {key.rsplit(".", 1)[1]: what for key, what in keys.items() if key not in modules}
    return modules, {name: what for name, what in names.items() if not name.startswith("__")}


def test_reference_names_every_public_name():
    text = (ROOT / "docs" / "reference.md").read_text()
    code = " ".join(re.findall(r"```.*?```", text, re.S) + re.findall(r"`([^`\n]+)`", text))
    tokens = set(re.findall(r"[\w.]+", code))
    tokens |= {part for token in tokens for part in token.split(".")}
    modules, names = _public_names()
    assert [name for name in [*modules, *names] if name not in tokens] == []


def _members(cls):
    return tuple(name for name, value in vars(cls).items() if type(value) is cls)


def _parameters(obj):
    return tuple(inspect.signature(obj).parameters)


def test_model_follows_the_running_module():
    functions = {name: fn for name, fn in vars(kelvane).items() if callable(fn) and not isinstance(fn, type)}
    variants = {cls.__name__: cls for cls in vars(set_channel.ChannelType).values() if isinstance(cls, type)}
    params = {
        p.full_name: p.names
        for p in [*vars(model).values(), *model.VARIANT_PARAMS.values()]
        if isinstance(p, model.Params)
    }
    expected = {f"{name}()": _parameters(fn) for name, fn in functions.items() if _parameters(fn)}
    expected |= {
        f"{cls.__name__}.__new__()": _parameters(cls) for cls in [set_channel.ChannelConfig, *variants.values()]
    }
    assert params == expected
    assert [name for name in functions if not callable(getattr(model, name, None))] == []
    assert {cls.__name__ for cls in model.VARIANT_CLASSES.values()} == set(variants)
    assert (helpers.RTD_MEMBERS, helpers.TC_MEMBERS) == (_members(set_channel.RTDType), _members(set_channel.TCType))
    assert helpers.CONFIG_FIELDS == _parameters(set_channel.ChannelConfig)


def test_entry_points_reach_every_function_class_and_field():
    source = " ".join(f"{name} {expr}" for name, expr, _ in entry_points.ENTRIES)
    _, names = _public_names()
    # The sensor members are arguments, not entry points.
    unreached = [n for n, what in names.items() if not what.startswith("member") and not re.search(rf"\b{n}\b", source)]
    assert unreached == []
