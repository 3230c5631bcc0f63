"""valgrind memcheck over a run of every entry point (memcheck_driver.py):
no invalid read or write and no use of uninitialised memory in the module,
and nothing definitely lost that the module allocated."""

import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

import kelvane

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "memcheck_driver.py")
MODULE = os.path.realpath(kelvane.__file__)

with open("/proc/self/maps") as _maps:
    SANITIZED = "libasan" in _maps.read()

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(SANITIZED, reason="valgrind cannot run a process built with AddressSanitizer"),
]


def involves_module(error):
    return any(os.path.realpath(obj.text or "") == MODULE for obj in error.iter("obj"))


def describe(error):
    lines = [error.findtext("kind", ""), error.findtext("what", "") or error.findtext("xwhat/text", "")]
    for frame in error.iter("frame"):
        lines.append(
            f"  {frame.findtext('fn', '?')} ({frame.findtext('obj', '')}"
            f" {frame.findtext('file', '')}:{frame.findtext('line', '')})"
        )
    return "\n".join(lines)


def test_memcheck(tmp_path):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        if os.environ.get("KELVANE_REQUIRE_TOOLS"):  # set by make test
            pytest.fail("valgrind is not installed")
        pytest.skip("valgrind is not installed")
    report = tmp_path / "memcheck.xml"
    env = dict(os.environ, PYTHONMALLOC="malloc", PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.run(
        [
            valgrind,
            "--tool=memcheck",
            "--xml=yes",
            f"--xml-file={report}",
            "--leak-check=full",
            "--show-leak-kinds=definite",
            "--errors-for-leak-kinds=definite",
            "--num-callers=40",
            sys.executable,
            DRIVER,
        ],
        env=env,
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert proc.returncode == 0, proc.stderr[-5000:]
    assert "memcheck driver: done" in proc.stdout
    errors = ET.parse(report).getroot().findall("error")
    ours = [describe(e) for e in errors if involves_module(e)]
    assert not ours, "\n\n".join(ours)
