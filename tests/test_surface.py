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
    problems = surface.differences(
        surface.running_surface(kelvane), surface.expected_surface(), "the module", "the pin"
    )
    assert not problems, "\n".join(["", *problems])


def test_stubs_agree_with_the_running_module():
    problems = surface.surface_problems(kelvane, STUBS)
    assert not problems, "\n".join(["", *problems])


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
            "kelvane.channel.packets.set_channel.ChannelType_None: final class derived from ChannelType, called as (), "
            "not a name of its module in the module; final class derived from ChannelType, called as () in the stubs",
        ),
        (
            _stub_edit("channel/packets/set_channel.pyi", "@final\nclass ChannelConfig", "class ChannelConfig"),
            "kelvane.channel.packets.set_channel.ChannelConfig: final class, called as (channel_type, max_resistance, "
            "min_resistance, shunt_resistance, r_ain0) in the module; class, called as (channel_type, "
            "max_resistance, min_resistance, shunt_resistance, r_ain0) in the stubs",
        ),
    ],
    ids=["extra function", "missing member", "parameter kind", "__all__ order", "None variant importable", "not final"],
)
def test_stub_drift_is_reported(tmp_path, edit, problem):
    stubs = shutil.copytree(STUBS, tmp_path / "stubs")
    before = surface.surface_problems(kelvane, stubs)
    edit(stubs)
    assert [line for line in surface.surface_problems(kelvane, stubs) if line not in before] == [problem]


def _code_tokens_by_line(text):
    """The identifiers in each line's code (code spans, and fenced blocks),
    dotted names also split into their parts."""
    lines, fenced = [], False
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = not fenced
            continue
        code = line if fenced else " ".join(re.findall(r"`([^`]+)`", line))
        tokens = set(re.findall(r"[\w.]+", code))
        lines.append(tokens | {part for token in tokens for part in token.split(".")})
    return lines


def test_reference_names_every_public_name():
    """Every module, function, class, member and field is named in the
    reference; a class's members and fields on a line that names the class."""
    lines = _code_tokens_by_line((ROOT / "docs" / "reference.md").read_text())
    running = surface.running_surface(kelvane)
    unnamed = []
    for key, what in running.items():
        parent, name = key.rsplit(".", 1) if "." in key else ("", key)
        if name.startswith("__"):
            continue
        if what.startswith("module"):
            name, parent = key, ""
        elif running[parent].startswith("module"):
            parent = ""
        together = {name, parent.rsplit(".", 1)[-1]} - {""}
        if not any(together <= tokens for tokens in lines):
            unnamed.append(key)
    assert not unnamed, "not named in docs/reference.md: " + ", ".join(unnamed)


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
    names = {key.rsplit(".", 1)[-1]: what for key, what in surface.running_surface(kelvane).items()}
    # The sensor members are arguments, not entry points.
    unreached = [
        name
        for name, what in names.items()
        if not name.startswith("__")
        and what.split()[0] in ("function", "class", "field")
        and not re.search(rf"\b{name}\b", source)
    ]
    assert unreached == []
