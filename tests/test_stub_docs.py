"""The stubs are the help that editors and the docs site show (the extension
has no doc strings at run time): every public name needs one, and the
examples in them must hold against the module."""

import ast
import doctest
import pathlib

import pytest

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

STUBS = pathlib.Path(__file__).resolve().parent.parent / "kelvane-stubs"


def _module_name(path):
    parts = ["kelvane", *path.relative_to(STUBS).with_suffix("").parts]
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _is_public(name):
    # `_0` is the variants' payload field; other underscored names are private
    # aliases or protocol methods, documented by their class.
    return name == "_0" or not name.startswith("_")


def _documented_names():
    """(qualified name, doc string or None) of each module and each public
    class, function, method, property and class attribute in the stubs."""
    for path in sorted(STUBS.rglob("*.pyi")):
        tree = ast.parse(path.read_text(), str(path))
        yield from _walk(_module_name(path), tree)


def _walk(qualname, node):
    yield qualname, ast.get_docstring(node, clean=False)
    body = node.body
    for index, child in enumerate(body):
        if isinstance(child, ast.ClassDef | ast.FunctionDef) and _is_public(child.name):
            if isinstance(child, ast.FunctionDef) and any(
                isinstance(d, ast.Attribute) and d.attr == "setter" for d in child.decorator_list
            ):
                continue  # a property's setter shares its getter's doc string
            yield from _walk(f"{qualname}.{child.name}", child)
        elif isinstance(child, ast.AnnAssign) and isinstance(node, ast.ClassDef) and _is_public(child.target.id):
            following = body[index + 1] if index + 1 < len(body) else None
            doc = None
            if isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant):
                doc = following.value.value
            yield f"{qualname}.{child.target.id}", doc


DOCS = dict(_documented_names())


def test_every_public_name_has_a_doc_string():
    missing = [name for name, doc in DOCS.items() if not (doc and doc.strip())]
    assert not missing, f"no doc string: {', '.join(missing)}"


def test_the_walk_sees_the_whole_surface():
    # Guards the test above against a walk that quietly finds nothing.
    names = set(DOCS)
    for name in ("sys_reset", "set_channel_request", "set_temperature_request"):
        assert f"kelvane.{name}" in names
    model = "kelvane.channel.packets.set_channel"
    for name in ("RTDType.Ni1000", "TCType.B", "ChannelType.RTD._0", "ChannelType.TC._0", "ChannelConfig.r_ain0"):
        assert f"{model}.{name}" in names


EXAMPLES = {name: doc for name, doc in DOCS.items() if doc and ">>>" in doc}


@pytest.mark.parametrize("name", sorted(EXAMPLES))
def test_examples_hold(name):
    globs = {
        "kelvane": kelvane,
        "ChannelConfig": ChannelConfig,
        "ChannelType": ChannelType,
        "RTDType": RTDType,
        "TCType": TCType,
    }
    test = doctest.DocTestParser().get_doctest(EXAMPLES[name], globs, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append)
    assert runner.failures == 0, "".join(failures)
