"""kelvane's public surface as one flat table, read from the running module or
from the type stubs, and the surface the product must have.

A surface maps each public name, dotted from the root module, to what it is:

    "kelvane": "module, __all__ ['channel', ...]"
    "kelvane.sys_reset": "function ()"
    "kelvane.channel.packets.set_channel.RTDType.PT500": "member #1"
    "kelvane.channel.packets.set_channel.ChannelConfig.r_ain0": "field"

A class attribute whose name is a keyword (ChannelType's variant `None`) cannot
be written in a stub; it is listed under its class's own name in the module
(`...set_channel.ChannelType_None`), where the stubs declare it with
@type_check_only, since no such name exists at run time.

Nothing here imports kelvane: the module to read is passed in, so the first
import stays with the caller.
"""

from __future__ import annotations

import ast
import inspect
import keyword
import pathlib
import types

_SUBCLASSABLE = 1 << 10  # Py_TPFLAGS_BASETYPE

# Attributes every class has, or that are not part of what a caller uses
# (copyreg caches __slotnames__ on a class once copy or pickle has tried it).
_CLASS_BOOKKEEPING = {
    "__new__",
    "__init__",
    "__doc__",
    "__module__",
    "__qualname__",
    "__repr__",
    "__str__",
    "__slotnames__",
}


class _Default:
    """Stands for any default value, so that signatures compare by shape."""

    def __repr__(self):
        return "..."


_DEFAULT = _Default()


def _shape(signature: inspect.Signature) -> str:
    params = [
        p.replace(annotation=p.empty, default=_DEFAULT if p.default is not p.empty else p.empty)
        for p in signature.parameters.values()
    ]
    return str(inspect.Signature(params))


def _describe_all(all_) -> str:
    return "no __all__" if all_ is None else f"__all__ {list(all_)!r}"


def _describe_class(bases: list[str], signature: str | None, final: bool = True, type_check_only: bool = False) -> str:
    derived = f" derived from {', '.join(bases)}" if bases else ""
    called = f"called as {signature}" if signature else "not callable"
    return (
        ("final " if final else "")
        + f"class{derived}, {called}"
        + (", not a name of its module" if type_check_only else "")
    )


# ---------------------------------------------------------------------------
# The running module


def _runtime_signature(obj) -> str | None:
    if getattr(obj, "__text_signature__", None) is None:
        return None
    try:
        return _shape(inspect.signature(obj))
    except (TypeError, ValueError):
        return obj.__text_signature__


def _runtime_class(cls: type, key: str, module_key: str, out: dict, type_check_only: bool = False) -> None:
    bases = [b.__name__ for b in cls.__bases__ if b is not object]
    final = not cls.__flags__ & _SUBCLASSABLE
    out[key] = _describe_class(bases, _runtime_signature(cls), final, type_check_only)
    members = 0
    for name, value in vars(cls).items():
        if name in _CLASS_BOOKKEEPING:
            continue
        if isinstance(value, type) and issubclass(value, cls):
            if keyword.iskeyword(name):
                _runtime_class(value, f"{module_key}.{value.__name__}", module_key, out, type_check_only=True)
            else:
                _runtime_class(value, f"{key}.{name}", module_key, out)
        elif type(value) is cls:
            out[f"{key}.{name}"] = f"member #{members}"
            members += 1
        elif isinstance(value, (types.GetSetDescriptorType, types.MemberDescriptorType, property)):
            out[f"{key}.{name}"] = "field"
        elif callable(value):
            out[f"{key}.{name}"] = "method"
        else:
            out[f"{key}.{name}"] = f"value {value!r}"


def _runtime_module(module: types.ModuleType, key: str, out: dict, seen: set) -> None:
    out[key] = f"module, {_describe_all(getattr(module, '__all__', None))}"
    seen.add(id(module))
    for name, value in vars(module).items():
        if name.startswith("_"):
            continue
        if isinstance(value, types.ModuleType):
            if id(value) in seen:  # a module of the tree bound a second time
                out[f"{key}.{name}"] = f"module {value.__name__} again"
            else:
                _runtime_module(value, f"{key}.{name}", out, seen)
        elif isinstance(value, type):
            _runtime_class(value, f"{key}.{name}", key, out)
        elif callable(value):
            out[f"{key}.{name}"] = f"function {_runtime_signature(value)}"
        else:
            out[f"{key}.{name}"] = f"value of type {type(value).__name__}"


def running_surface(module: types.ModuleType) -> dict[str, str]:
    """The public surface of `module` (kelvane, or a build of it) as it runs."""
    out: dict[str, str] = {}
    _runtime_module(module, module.__name__, out, set())
    return out


# ---------------------------------------------------------------------------
# The stubs, parsed, never imported


def _stub_signature(fn: ast.FunctionDef, drop_first: bool) -> str:
    a = fn.args
    positional = [(p, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
    positional += [(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    params = [
        inspect.Parameter(p.arg, kind, default=_DEFAULT if d is not None else inspect.Parameter.empty)
        for (p, kind), d in zip(positional, defaults, strict=True)
    ]
    if drop_first:
        params = params[1:]
    if a.vararg:
        params.append(inspect.Parameter(a.vararg.arg, inspect.Parameter.VAR_POSITIONAL))
    for p, d in zip(a.kwonlyargs, a.kw_defaults, strict=True):
        params.append(
            inspect.Parameter(p.arg, inspect.Parameter.KEYWORD_ONLY, default=_DEFAULT if d else inspect.Parameter.empty)
        )
    if a.kwarg:
        params.append(inspect.Parameter(a.kwarg.arg, inspect.Parameter.VAR_KEYWORD))
    return str(inspect.Signature(params))


def _decorators(node) -> set[str]:
    names = set()
    for d in node.decorator_list:
        d = d.func if isinstance(d, ast.Call) else d
        names.add(ast.unparse(d).rsplit(".", 1)[-1])
    return names


def _stub_class(node: ast.ClassDef, key: str, out: dict) -> None:
    bases = [ast.unparse(b).rsplit(".", 1)[-1] for b in node.bases]
    signature = None
    members = 0
    attributes: dict[str, str] = {}
    for item in node.body:
        if isinstance(item, ast.ClassDef):
            _stub_class(item, f"{key}.{item.name}", attributes)
        elif isinstance(item, ast.FunctionDef):
            decorators = _decorators(item)
            if item.name in ("__new__", "__init__"):
                signature = _stub_signature(item, drop_first=True)
            elif "property" in decorators or "setter" in decorators or "deleter" in decorators:
                attributes[f"{key}.{item.name}"] = "field"
            elif item.name not in _CLASS_BOOKKEEPING:
                attributes[f"{key}.{item.name}"] = "method"
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            annotation = ast.unparse(item.annotation)
            if annotation in (node.name, f"Final[{node.name}]"):
                attributes[f"{key}.{item.target.id}"] = f"member #{members}"
                members += 1
            else:
                attributes[f"{key}.{item.target.id}"] = "field"
        elif isinstance(item, ast.Assign):
            for target in item.targets:
                if isinstance(target, ast.Name):
                    attributes[f"{key}.{target.id}"] = f"value {ast.literal_eval(item.value)!r}"
    decorators = _decorators(node)
    out[key] = _describe_class(bases, signature, "final" in decorators, "type_check_only" in decorators)
    out.update(attributes)


def _stub_module(path: pathlib.Path, key: str, out: dict, bound_in_parent: bool) -> None:
    tree = ast.parse(path.read_text(), str(path))
    all_ = None
    names: dict[str, str] = {}
    submodules = set()
    for node in tree.body:
        if isinstance(node, ast.Assign | ast.AnnAssign):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            for target in targets:
                if isinstance(target, ast.Name) and target.id == "__all__":
                    all_ = ast.literal_eval(node.value)
                elif isinstance(target, ast.Name) and not target.id.startswith("_"):
                    names[f"{key}.{target.id}"] = "value"
        elif isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            names[f"{key}.{node.name}"] = f"function {_stub_signature(node, drop_first=False)}"
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            _stub_class(node, f"{key}.{node.name}", names)
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                if alias.asname != alias.name:
                    continue  # a plain import is not a name of this module
                if node.module is None and node.level == 1:
                    submodules.add(alias.name)
                else:
                    names[f"{key}.{alias.name}"] = f"re-export from {'.' * node.level}{node.module}"
    description = f"module, {_describe_all(all_)}"
    out[key] = description if bound_in_parent else f"{description}, not imported by its parent"
    out.update(names)
    package = path.parent if path.name == "__init__.pyi" else None
    if package is None:
        return
    for child in sorted(package.iterdir()):
        name = child.stem if child.suffix == ".pyi" else child.name
        if child.name == "__init__.pyi" or name.startswith("_"):
            continue
        if child.is_dir() and (child / "__init__.pyi").exists():
            _stub_module(child / "__init__.pyi", f"{key}.{name}", out, name in submodules)
        elif child.suffix == ".pyi":
            _stub_module(child, f"{key}.{name}", out, name in submodules)


def stub_surface(stubs_dir: pathlib.Path, root: str = "kelvane") -> dict[str, str]:
    """The public surface that the stub package in `stubs_dir` declares."""
    out: dict[str, str] = {}
    _stub_module(pathlib.Path(stubs_dir) / "__init__.pyi", root, out, bound_in_parent=True)
    return out


def differences(first: dict, second: dict, first_name: str, second_name: str) -> list[str]:
    """One line per name that the two surfaces list differently."""
    lines = []
    for key, what in first.items():
        if key not in second:
            lines.append(f"{key}: in {first_name}, not in {second_name}")
        elif second[key] != what:
            lines.append(f"{key}: {what} in {first_name}; {second[key]} in {second_name}")
    lines += [f"{key}: in {second_name}, not in {first_name}" for key in second if key not in first]
    return lines


def surface_problems(module: types.ModuleType, stubs_dir: pathlib.Path) -> list[str]:
    """One line per disagreement between the running `module` and the stubs
    in `stubs_dir`; empty when they agree."""
    return differences(running_surface(module), stub_surface(stubs_dir, module.__name__), "the module", "the stubs")


# ---------------------------------------------------------------------------
# The surface the product must have. The other tests take their lists of
# names from here.

# The module tree in the order start-up registers it in sys.modules (the
# importer places the root, last): dotted key -> __all__, None where the
# module has no __all__.
TREE = {
    "kelvane.channel.packets.set_channel": ["ChannelConfig", "ChannelType", "RTDType", "TCType"],
    "kelvane.channel.packets": ["set_channel"],
    "kelvane.channel.rtd.packets.set_temperature": None,
    "kelvane.channel.rtd.packets": ["set_temperature"],
    "kelvane.channel.rtd": ["packets"],
    "kelvane.channel": ["packets", "rtd"],
    "kelvane": ["channel", "set_channel_request", "sys_reset", "set_temperature_request"],
}
# The root module's functions, in the order added, with their text signatures.
FUNCTIONS = {
    "set_channel_request": "(c_number, c_config, id)",
    "sys_reset": "()",
    "set_temperature_request": "(c_number, temperature_value, id)",
}
CLASSES_MODULE = "kelvane.channel.packets.set_channel"
# ChannelConfig's fields, in constructor order.
FIELDS = ("channel_type", "max_resistance", "min_resistance", "shunt_resistance", "r_ain0")
# The enumerations' members, in code order.
MEMBERS = {
    "RTDType": ("PT100", "PT500", "PT1000", "Cu10", "Cu50", "Cu100", "Ni100", "Ni120", "Ni1000"),
    "TCType": ("E", "J", "K", "N", "R", "S", "T", "B"),
}
# ChannelType's variants: attribute name -> (class name, payload fields, which
# are also the constructor's parameters).
VARIANTS = {
    "None": ("ChannelType_None", ()),
    "RTD": ("ChannelType_RTD", ("_0",)),
    "TC": ("ChannelType_TC", ("_0",)),
}


def class_names() -> list[str]:
    """The names of every class the module makes."""
    return [*TREE[CLASSES_MODULE], *(name for name, _ in VARIANTS.values())]


def expected_surface() -> dict[str, str]:
    """TREE, FUNCTIONS and the classes above as a surface."""
    out = {key: f"module, {_describe_all(all_)}" for key, all_ in TREE.items()}
    out.update({f"kelvane.{name}": f"function {signature}" for name, signature in FUNCTIONS.items()})
    classes = CLASSES_MODULE
    out[f"{classes}.ChannelConfig"] = _describe_class([], f"({', '.join(FIELDS)})")
    out.update({f"{classes}.ChannelConfig.{field}": "field" for field in FIELDS})
    for enum, members in MEMBERS.items():
        out[f"{classes}.{enum}"] = _describe_class([], None)
        out[f"{classes}.{enum}.__int__"] = "method"
        out.update({f"{classes}.{enum}.{m}": f"member #{i}" for i, m in enumerate(members)})
    out[f"{classes}.ChannelType"] = _describe_class([], None, final=False)
    for attribute, (name, fields) in VARIANTS.items():
        key = f"{classes}.{name}" if keyword.iskeyword(attribute) else f"{classes}.ChannelType.{attribute}"
        out[key] = _describe_class(
            ["ChannelType"], f"({', '.join(fields)})", type_check_only=keyword.iskeyword(attribute)
        )
        out[f"{key}.__len__"] = out[f"{key}.__getitem__"] = "method"
        out[f"{key}.__match_args__"] = f"value {fields!r}"
        out.update({f"{key}.{field}": "field" for field in fields})
    return out
