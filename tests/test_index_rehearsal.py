"""scripts/index_rehearsal.py: what the release rehearsal reads from the README
and how it tells which file pip installed."""

import importlib.util
import json
import zipfile
from pathlib import Path

import pytest

_path = Path(__file__).resolve().parents[1] / "scripts" / "index_rehearsal.py"
_spec = importlib.util.spec_from_file_location("index_rehearsal", _path)
rehearsal = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(rehearsal)

CODE = 'print(1)\nprint("#")  # prints 1, then #\n'
SHOWN = "It prints:\n\n```text\n1\n#\n```\n"


def readme(install, quick_start):
    return f"# t\n\n## Install\n\n```sh\n{install}\n```\n\n## Quick start\n\n{quick_start}\n## Reference\n"


@pytest.mark.parametrize(
    "quick_start, result",
    [
        (f"```python\n{CODE}```\n\n{SHOWN}", (CODE, ["1", "#"])),
        (f"```sh\nls\n```\n\n```python\n{CODE}```\n\n```python\nx\n```\n\n{SHOWN}", (CODE, ["1", "#"])),
        (f"```python\n{CODE}```\n", None),  # nothing to compare with
        (f"{SHOWN}\n```python\n{CODE}```\n", None),  # output before the code
    ],
)
def test_quick_start(quick_start, result):
    text = readme("pip install kelvane", quick_start)
    if result is None:
        with pytest.raises(rehearsal.ReadmeError):
            rehearsal.quick_start(text)
    else:
        assert rehearsal.quick_start(text) == result


@pytest.mark.parametrize(
    "install, lines",
    [
        (
            "pip install kelvane  # it\npip install 'kelvane[serial]'\npip x",
            ["pip install kelvane  # it", "pip install 'kelvane[serial]'"],
        ),
        ("pip install kelvane", None),
        ("pip install --find-links dist/ kelvane\npip install 'kelvane[serial]'", None),
        ("pip install kelvane\npip install --index-url=http://elsewhere/ 'kelvane[serial]'", None),
        ("pip install kelvane\npip install pyserial  # kelvane", None),
    ],
)
def test_install_lines(install, lines):
    text = readme(install, "")
    if lines is None:
        with pytest.raises(rehearsal.ReadmeError):
            rehearsal.install_lines(text)
    else:
        assert rehearsal.install_lines(text) == lines


def wheel(directory, name, digest):
    path = directory / name
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("kelvane-0.1.0.dist-info/RECORD", f"kelvane.so,sha256={digest},9\nkelvane-stubs/x.pyi,sha256=s,1\n")
    return path


@pytest.mark.parametrize(
    "installed, direct_url, error",
    [
        ("a", False, None),
        ("b", False, "not the wheel for cp314 on aarch64"),
        ("built", False, "pip built it"),  # from the sdist
        ("a", True, "not from the index"),
    ],
)
def test_match(tmp_path, installed, direct_url, error):
    good = "kelvane-0.1.0-cp314-cp314-manylinux2014_aarch64.manylinux_2_17_aarch64.whl"
    wheel(tmp_path, good, "a")
    wheel(tmp_path, "kelvane-0.1.0-cp314-cp314-manylinux2014_x86_64.manylinux_2_17_x86_64.whl", "b")
    facts = {
        "python": [3, 14],
        "machine": "aarch64",
        "tags": [],
        "modules": {"kelvane.so": f"sha256={installed}"},
        "direct_url": direct_url,
    }
    (tmp_path / "facts.json").write_text(json.dumps(facts))
    if error is None:
        assert rehearsal.match(str(tmp_path), str(tmp_path / "facts.json")) == good
    else:
        with pytest.raises(ValueError, match=error):
            rehearsal.match(str(tmp_path), str(tmp_path / "facts.json"))
