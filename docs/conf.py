"""Sphinx configuration of the docs site; scripts/docs-site builds it."""

import pathlib
import re

import autoapi._astroid_utils

project = "kelvane"
author = "the kelvane developers"
copyright = "the kelvane developers"

extensions = ["myst_parser", "autoapi.extension", "sphinx.ext.napoleon"]

# README.md is the start page (staged as index.md); docs/*.md are the others.
root_doc = "index"
# .rst only because autoapi's summaries ask for it; the pages are Markdown.
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
# GitHub's anchors, which the pages link to, for every heading level.
myst_heading_anchors = 6
# make bench writes its tables under level-4 headings straight after a
# level-1 one; that skip is a matter of style, not a broken page.
suppress_warnings = ["myst.header"]

# The API page (docs/api.md on the site, written by scripts/docs_site.py)
# documents the stubs, staged beside the sources as the package kelvane,
# with autoapi's directives; autoapi makes no pages of its own.
autoapi_dirs = [str(pathlib.Path(__file__).resolve().parent.parent / "build" / "docs" / "stubs" / "kelvane")]
autoapi_file_patterns = ["*.pyi"]
autoapi_generate_api_docs = False
autoapi_add_toctree_entry = False
autoapi_python_class_content = "class"
autoapi_member_order = "bysource"
autodoc_member_order = "bysource"
# `name` in a doc string links to that name where the site documents it.
default_role = "py:obj"
napoleon_google_docstring = True
napoleon_numpy_docstring = False

add_module_names = False
python_use_unqualified_type_names = True

html_theme = "furo"
html_title = "kelvane"
html_favicon = "_static/favicon.svg"
html_permalinks_icon = "#"
html_copy_source = False
html_show_sourcelink = False


_resolve_qualname = autoapi._astroid_utils.resolve_qualname


def _resolve_dotted_qualname(node, basename):
    # autoapi resolves `ChannelType.RTD` in an annotation to `ChannelType`,
    # dropping what follows a class's name; resolve the head alone and keep
    # the rest.
    head, dot, rest = basename.partition(".")
    return _resolve_qualname(node, head) + dot + rest


autoapi._astroid_utils.resolve_qualname = _resolve_dotted_qualname


def _show_variant_payload(app, what, name, obj, skip, options):
    # `_0` is the variants' payload field, public despite its underscore.
    return False if name == "_0" else None


def _signature_from_new(app, what, name, obj, options, signature, return_annotation):
    # The classes are built by __new__ (they have no __init__), which autoapi
    # does not read for a class's signature.
    if what != "apiclass" or signature not in (None, "", "()"):
        return None
    new = next((child for child in obj.children if child.short_name == "__new__"), None)
    if new is None:
        return None
    return "(" + re.sub(r"^cls\b,?\s*", "", new.args) + ")", return_annotation


def setup(app):
    app.connect("autodoc-skip-member", _show_variant_payload)
    app.connect("autodoc-process-signature", _signature_from_new)
