"""The docs site's two halves, run by scripts/docs-site in the docs venv.

stage SRC: lays out README.md (as the start page, index.md), docs/*.md,
    CHANGELOG.md and the API page under SRC for Sphinx, and the stubs (as the
    package kelvane) beside it for the API page.
check HTML SHOTS: opens every page of the built site in headless Chromium.
"""

import argparse
import ast
import functools
import http.server
import os
import pathlib
import re
import shutil
import sys
import threading

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Debian's package; Playwright drives it and downloads no browser of its own.
CHROMIUM = "/usr/bin/chromium"

# A Markdown link's local target (inline or reference style; no scheme, no
# bare anchor), without its anchor.
LOCAL_LINK = re.compile(r"(\]\(\s*<?|^\s*\[[^\]]+\]:\s*<?)(?![a-z][a-z0-9+.-]*:|#)([^)\s>#]+)", re.MULTILINE)
SITE = ROOT / "build" / "docs" / "html"


# The pages of docs/ that lead the navigation, in this order; the others follow
# by name.
LEADING = ["reference.md", "api.md", "wire-format.md"]

# The API page, docs/api.md on the site only: its directives would show as
# raw text where docs/ is read as plain Markdown.
API_PAGE = """# API

Every function and class of kelvane, from its type stubs: the same text an
editor shows on hover. The [reference](reference.md) covers the same ground
with more corner cases.

## Packet builders

```{eval-rst}
.. autoapimodule:: kelvane
   :members: set_channel_request, sys_reset, set_temperature_request
```

## Channel model

```{eval-rst}
.. autoapimodule:: kelvane.channel.packets.set_channel
   :members:
   :undoc-members:
```
"""


def pages():
    """(path in the tree, path in the site's sources) of every page, in the
    navigation's order."""
    yield ROOT / "README.md", pathlib.Path("index.md")
    docs = [*(ROOT / "docs").glob("*.md"), ROOT / "docs" / "api.md"]
    for path in sorted(docs, key=lambda p: ((LEADING + [p.name]).index(p.name), p.name)):
        yield path, path.relative_to(ROOT)
    if (ROOT / "CHANGELOG.md").exists():
        yield ROOT / "CHANGELOG.md", pathlib.Path("CHANGELOG.md")


def stage(src):
    stubs = src.parent / "stubs"
    for old in (src, stubs):
        if old.exists():
            shutil.rmtree(old)
    staged = dict(pages())
    for tree_path, site_path in staged.items():
        text = API_PAGE if site_path.as_posix() == "docs/api.md" else tree_path.read_text()
        text = LOCAL_LINK.sub(lambda m, tree=tree_path, site=site_path: m[1] + site_target(src, tree, site, m[2]), text)
        (src / site_path).parent.mkdir(parents=True, exist_ok=True)
        (src / site_path).write_text(text)
    # Every page in the navigation, in the order of pages().
    entries = [site.with_suffix("").as_posix() for site in staged.values() if site.name != "index.md"]
    with open(src / "index.md", "a") as index:
        index.write("\n```{toctree}\n:hidden:\n\n" + "\n".join(entries) + "\n```\n")
    # The stubs as the package they describe, so that the API page names it
    # kelvane, with their private type aliases spelt out: a reader of the
    # site cannot look `_Real` up.
    for path in sorted((ROOT / "kelvane-stubs").rglob("*.pyi")):
        copy = stubs / "kelvane" / path.relative_to(ROOT / "kelvane-stubs")
        copy.parent.mkdir(parents=True, exist_ok=True)
        copy.write_text(expand_private_aliases(path.read_text()))


def site_target(src, tree_path, site_path, target):
    """A page's local link target as the site's sources need it."""
    linked = (tree_path.parent / target).resolve()
    if linked == ROOT / "README.md":
        linked = ROOT / "index.md"  # the start page
    elif SITE in linked.parents or linked == SITE:
        # The built site itself (the README says where it lands): that page
        # of the site.
        page = linked / "index.html" if linked.suffix != ".html" else linked
        linked = ROOT / page.relative_to(SITE).with_suffix(".md")
    elif linked.is_file() and linked.suffix != ".md" and ROOT in linked.parents and "build" not in linked.parts:
        # Another file of the tree (an example, a test) comes along, and the
        # site offers it for download.
        copy = src / linked.relative_to(ROOT)
        copy.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(linked, copy)
    return os.path.relpath(linked, ROOT / site_path.parent) if ROOT in linked.parents else target


def expand_private_aliases(text):
    aliases = {}
    for node in ast.parse(text).body:
        if isinstance(node, ast.TypeAlias) and node.name.id.startswith("_"):
            aliases[node.name.id] = ast.get_source_segment(text, node.value)
    for name, value in aliases.items():
        text = re.sub(rf"(?<!type )\b{name}\b", value, text)
    return text


def public_names():
    """Qualified names of the stubs' public functions, classes, enum members
    and fields: what the API page must name."""
    stubs = ROOT / "kelvane-stubs"
    for path in sorted(stubs.rglob("*.pyi")):
        parts = ["kelvane", *path.relative_to(stubs).with_suffix("").parts]
        module = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        yield from _public_in(module, ast.parse(path.read_text()).body)


def _public_in(prefix, body):
    for node in body:
        if isinstance(node, ast.ClassDef | ast.FunctionDef):
            name = node.name
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            name = node.target.id
        else:
            continue
        # `_0` is the variants' payload field; other underscored names are
        # private or protocol methods, which the classes' text covers.
        if name.startswith("_") and name != "_0":
            continue
        if isinstance(node, ast.FunctionDef) and any(
            isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list
        ):
            continue
        yield f"{prefix}.{name}"
        if isinstance(node, ast.ClassDef):
            yield from _public_in(f"{prefix}.{name}", node.body)


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


# Every page's local links, as (href, target file, anchor or "").
LINKS_JS = """() => [...document.querySelectorAll('a[href]')]
    .map(a => [a.getAttribute('href'), a.href])
    .filter(([raw, abs]) => abs.startsWith(location.origin))
    .map(([raw, abs]) => { const u = new URL(abs); return [raw, u.pathname, u.hash.slice(1)]; })"""


def check(html, shots):
    """Open every page headless; return the list of problems found."""
    from playwright.sync_api import sync_playwright

    pages = sorted(p.relative_to(html).as_posix() for p in html.rglob("*.html"))
    if "index.html" not in pages or "docs/api.html" not in pages:
        return [f"{html} lacks index.html or docs/api.html: build the site first"]
    handler = functools.partial(_QuietHandler, directory=str(html))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}/"
    problems, ids = [], {}
    links = []
    shots.mkdir(parents=True, exist_ok=True)
    try:
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=CHROMIUM, headless=True)
            page = browser.new_page(viewport={"width": 1280, "height": 900})
            current = [""]
            page.on(
                "console",
                lambda m: (
                    m.type == "error"
                    and problems.append(f"{current[0]}: console error: {m.text} {m.location.get('url', '')}")
                ),
            )
            page.on("pageerror", lambda e: problems.append(f"{current[0]}: script error: {e}"))
            page.on(
                "requestfailed",
                lambda r: problems.append(f"{current[0]}: request failed: {r.url} ({r.failure})"),
            )
            page.on(
                "response",
                lambda r: r.status >= 400 and problems.append(f"{current[0]}: HTTP {r.status} for {r.url}"),
            )
            for name in pages:
                current[0] = name
                page.goto(base + name, wait_until="networkidle")
                ids[name] = set(page.eval_on_selector_all("[id]", "els => els.map(e => e.id)"))
                links += [(name, *link) for link in page.evaluate(LINKS_JS)]
                if name == "index.html":
                    page.screenshot(path=shots / "start.png")
                elif name == "docs/api.html":
                    page.screenshot(path=shots / "api.png")
                    page.screenshot(path=shots / "api-full.png", full_page=True)
            browser.close()
    finally:
        server.shutdown()
    for name, href, path, anchor in links:
        target = path.lstrip("/") or "index.html"
        if target.endswith("/"):
            target += "index.html"
        if target not in ids and not (html / target).is_file():
            problems.append(f"{name}: link to a missing page: {href}")
        elif anchor and target in ids and anchor not in ids[target]:
            problems.append(f"{name}: link to a missing anchor: {href}")
    api = ids["docs/api.html"]
    problems += [f"docs/api.html does not name {name}" for name in public_names() if name not in api]
    problems = list(dict.fromkeys(problems))  # a link repeated on a page, a resource on every page
    print(f"==> {len(pages)} pages, {len(links)} local links; screenshots in {shots}", flush=True)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("stage").add_argument("src", type=pathlib.Path)
    check_args = commands.add_parser("check")
    check_args.add_argument("html", type=pathlib.Path)
    check_args.add_argument("shots", type=pathlib.Path)
    args = parser.parse_args()
    if args.command == "stage":
        stage(args.src)
        return 0
    problems = check(args.html, args.shots)
    for problem in problems:
        print(f"==> {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
