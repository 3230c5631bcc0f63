"""Every example in the README, docs/ and the examples' docstrings runs as
written and shows what it prints, so a stale example fails the check.

Fenced blocks are read by their language:
- ``pycon``: doctest, each file's examples in order in one namespace;
- ``python``: run alone in a fresh interpreter; its output is the ``text``
  block right after it, or nothing;
- ``sh``: run in a copy of examples/ when `runnable` allows it (its output,
  likewise, is a ``text`` block right after it), else it carries a
  ``*Not run by the doc tests: why.*`` line right before it, which
  readers see too;
- ``console``: a ``$ command`` transcript, run like ``sh`` but compared with
  the output below the command, whatever the exit status;
- ``text``: shown, not run.
"""

import ast
import doctest
import json
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest
from helpers import run_python

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
LANGUAGES = {"pycon", "python", "sh", "console", "text"}

FENCE = re.compile(r"^```(\S*)\n(.*?)^```\n", re.M | re.S)
NOT_RUN = re.compile(r"\*Not run by the doc tests: \S[^*\n]*\*\n\s*$")


class Block:
    def __init__(self, path, match, text):
        self.path, self.lang, self.body = path, match[1], match[2]
        self.line = text.count("\n", 0, match.start()) + 1
        self.before = text[: match.start()]
        self.end = match.end()
        self.output = None

    def __repr__(self):
        return f"{self.path.relative_to(ROOT)}:{self.line}"


def blocks_of(path):
    text = path.read_text()
    found = []
    for match in FENCE.finditer(text):
        block = Block(path, match, text)
        # A text block right after a block that runs is that block's output.
        if found and block.lang == "text" and not text[found[-1].end : match.start()].strip():
            found[-1].output = block.body
        found.append(block)
    return found


BLOCKS = [block for path in DOCS for block in blocks_of(path)]


def of(lang):
    return pytest.mark.parametrize("block", [b for b in BLOCKS if b.lang == lang], ids=repr)


def runnable(command):
    """Whether a shell command is safe to run here: the serial example on a
    port that is the loopback or does not exist."""
    argv = shlex.split(command)
    if argv[:2] != ["python", "examples/configure_board.py"]:
        return False
    port = argv[argv.index("--port") + 1] if "--port" in argv else "loop://"
    return port.startswith("loop://") or not os.path.exists(port)


def run_shell(command, tmp_path):
    """Run `command` in a copy of examples/, with this interpreter as python."""
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    wrapper = bin_dir / "python"
    wrapper.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} "$@"\n')
    wrapper.chmod(0o755)
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
    return subprocess.run(["sh", "-ec", command], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)


def assert_shows(shown, got, where):
    # The docs shorten long output with "..." lines.
    checker = doctest.OutputChecker()
    assert checker.check_output(shown, got, doctest.ELLIPSIS), f"{where} shows\n{shown}\nbut prints\n{got}"


def test_every_block_names_a_known_language():
    assert [b for b in BLOCKS if b.lang not in LANGUAGES] == []


@pytest.mark.parametrize("path", [p for p in DOCS if any(b.lang == "pycon" for b in blocks_of(p))], ids=str)
def test_pycon_examples(path):
    source = "\n".join(b.body for b in blocks_of(path) if b.lang == "pycon")
    test = doctest.DocTestParser().get_doctest(source, {}, path.name, str(path), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_example_docstrings(path, tmp_path):
    docstring = ast.get_docstring(ast.parse(path.read_text())) or ""
    test = doctest.DocTestParser().get_doctest(docstring, {}, path.name, str(path), 0)
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
    # A command in a literal block runs on the loopback, or the text says why not.
    for match in re.finditer(r"::\n\n((?:    .*\n?)+)", docstring):
        command = " ".join(line.strip().rstrip("\\") for line in match[1].splitlines())
        paragraph = " ".join(docstring[: match.start()].split("\n\n")[-1].split())
        if "not run by the doc tests" not in paragraph:
            assert runnable(command) and "loop://" in command, f"{path.name}: {command}: use loop:// or say why not"
            assert run_shell(command, tmp_path).returncode == 0, f"{path.name}: {command}"


@of("python")
def test_python_blocks(block):
    proc = subprocess.run([sys.executable, "-c", block.body], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == (block.output or ""), block


@of("sh")
def test_sh_blocks(block, tmp_path):
    command = block.body.replace("\\\n", "")
    if mark := NOT_RUN.search(block.before):
        pytest.skip(mark[0].strip())
    assert runnable(command), f"{block}: mark it *Not run by the doc tests: why.* or make it safe to run"
    proc = run_shell(command, tmp_path)
    assert proc.returncode == 0, proc.stderr
    if block.output is not None:
        assert_shows(block.output, proc.stdout, block)


@of("console")
def test_console_blocks(block, tmp_path):
    command, _, shown = block.body.partition("\n")
    if mark := NOT_RUN.search(block.before):
        pytest.skip(mark[0].strip())
    assert command.startswith("$ ") and runnable(command[2:]), f"{block}: mark it *Not run by the doc tests: why.*"
    proc = run_shell(command[2:], tmp_path)
    assert_shows(shown, proc.stdout + proc.stderr, block)


# Runs each row's code after the setup, in a fresh interpreter: some rows
# leave marks on the classes (copy caches __slotnames__ on ChannelConfig).
ROWS_RUNNER = """
import json, sys
setup, codes = json.loads(sys.argv[1])
results = []
for code in codes:
    namespace = {}
    exec(setup, namespace)
    try:
        exec(code, namespace)
        results.append(None)
    except Exception as exc:
        results.append([type(exc).__name__, str(exc)])
print(json.dumps(results))
"""


def test_errors_table():
    """Each row of the README's errors table raises what it says."""
    errors = (ROOT / "README.md").read_text().partition("\n## Errors\n")[2].partition("\n## ")[0]
    setup = FENCE.search(errors)[2]
    rows = re.findall(r"^\| [^|]+ \| `([^`]+)` \| `(\w+)` \| `([^`]+)` \|$", errors, re.M)
    table = [line for line in errors.splitlines() if line.startswith("|")]
    assert len(rows) == len(table) - 2, "a row of the table was not understood"
    proc = run_python(ROWS_RUNNER, json.dumps([setup, [code for code, _, _ in rows]]))
    assert proc.returncode == 0, proc.stderr
    got = dict(zip([code for code, _, _ in rows], json.loads(proc.stdout), strict=True))
    assert got == {code: [etype, message] for code, etype, message in rows}
