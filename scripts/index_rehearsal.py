"""The Python half of scripts/index-rehearsal.

    index_rehearsal.py readme README OUTDIR
        From README's Install section, the first two lines of its first ```sh
        block, into OUTDIR/install.txt; from its Quick start section, the first
        ```python block into OUTDIR/quickstart.py and the ```text block after
        it, the output it shows, into OUTDIR/expected.txt.
    index_rehearsal.py installed
        Run by the interpreter under test, in its venv: prints as JSON what
        that interpreter is and which kelvane wheel files it holds.
    index_rehearsal.py match DIST_DIR FACTS_JSON
        Names the file of DIST_DIR whose extension module is the one installed,
        and checks it is the wheel made for that interpreter and machine.
        Prints the file's name, or a reason on stderr and exits 1.

Standard library only: `installed` runs in a bare venv of every interpreter.
"""

from __future__ import annotations

import csv
import io
import json
import re
import shlex
import sys
import zipfile
from pathlib import Path

FENCE = re.compile(r"^```(\w*)\s*$")
ELSEWHERE = {"-f", "--find-links", "-i", "--index-url", "--extra-index-url", "--no-index"}


class ReadmeError(Exception):
    pass


def section(text: str, title: str) -> list[str]:
    """The lines under the `## title` heading, up to the next ## heading."""
    lines = text.splitlines()
    try:
        start = lines.index(f"## {title}") + 1
    except ValueError:
        raise ReadmeError(f"no '## {title}' section") from None
    end = next((i for i in range(start, len(lines)) if lines[i].startswith("## ")), len(lines))
    return lines[start:end]


def fenced_blocks(lines: list[str]) -> list[tuple[str, list[str]]]:
    """Every ``` block of the lines, as (language, body), in order."""
    blocks, lang, body = [], None, []
    for line in lines:
        m = FENCE.match(line)
        if lang is None:
            if m:
                lang, body = m.group(1), []
        elif line.strip() == "```":
            blocks.append((lang, body))
            lang = None
        else:
            body.append(line)
    if lang is not None:
        raise ReadmeError("a ``` block is not closed")
    return blocks


def install_lines(text: str) -> list[str]:
    sh = [body for lang, body in fenced_blocks(section(text, "Install")) if lang == "sh"]
    if not sh or len(sh[0]) < 2:
        raise ReadmeError("the Install section's first ```sh block has not two lines")
    lines = sh[0][:2]
    for line in lines:
        words = shlex.split(line, comments=True)
        if words[:2] != ["pip", "install"] or not any(w.startswith("kelvane") for w in words[2:]):
            raise ReadmeError(f"not a line that installs kelvane: {line!r}")
        # Such a line would not take kelvane from the index it is given.
        if any(w.split("=")[0] in ELSEWHERE for w in words):
            raise ReadmeError(f"a line that names where to install from: {line!r}")
    return lines


def quick_start(text: str) -> tuple[str, list[str]]:
    """The quick start's code and the lines the README says it prints, the
    first ```text block after the code."""
    blocks = fenced_blocks(section(text, "Quick start"))
    first = next((i for i, (lang, _) in enumerate(blocks) if lang == "python"), None)
    if first is None:
        raise ReadmeError("the Quick start section has no ```python block")
    code = "\n".join(blocks[first][1]) + "\n"
    shown = next((body for lang, body in blocks[first + 1 :] if lang == "text"), None)
    if not shown:
        raise ReadmeError("the Quick start section shows no output (a ```text block after the code)")
    return code, shown


def readme(path: str, outdir: str) -> None:
    text = Path(path).read_text(encoding="utf-8")
    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    code, shown = quick_start(text)
    (out / "install.txt").write_text("\n".join(install_lines(text)) + "\n")
    (out / "quickstart.py").write_text(code)
    (out / "expected.txt").write_text("\n".join(shown) + "\n")


def installed() -> None:
    import platform
    import sysconfig
    from importlib import metadata

    dist = metadata.distribution("kelvane")
    record = list(csv.reader(io.StringIO(dist.read_text("RECORD") or "")))
    ext = sysconfig.get_config_var("EXT_SUFFIX")
    modules = {name: digest for name, digest, *_ in record if name.endswith(ext)}
    wheel = dist.read_text("WHEEL") or ""
    facts = {
        "python": sys.version_info[:2],
        "abiflags": sys.abiflags,
        "machine": platform.machine(),
        "version": dist.version,
        "tags": [line.split(":", 1)[1].strip() for line in wheel.splitlines() if line.startswith("Tag:")],
        "modules": modules,
        "direct_url": dist.read_text("direct_url.json") is not None,
    }
    json.dump(facts, sys.stdout)
    print()


def record_of(wheel: Path) -> dict[str, str]:
    with zipfile.ZipFile(wheel) as z:
        name = next(n for n in z.namelist() if n.endswith(".dist-info/RECORD"))
        rows = csv.reader(io.StringIO(z.read(name).decode()))
        return {row[0]: row[1] for row in rows if row and row[1]}


def match(dist_dir: str, facts_path: str) -> str:
    """The wheel of dist_dir that was installed, checked against what the
    interpreter is; raises ValueError with the reason if it is not that."""
    facts = json.loads(Path(facts_path).read_text())
    if facts["direct_url"]:
        raise ValueError("kelvane was installed from a URL or path, not from the index")
    if not facts["modules"]:
        raise ValueError("the installed kelvane holds no extension module")
    wheels = sorted(Path(dist_dir).glob("kelvane-*.whl"))
    taken = [w for w in wheels if facts["modules"].items() <= record_of(w).items()]
    if not taken:
        raise ValueError(f"the installed module is in none of {dist_dir}'s wheels: pip built it (tags {facts['tags']})")
    if len(taken) > 1:
        raise ValueError(f"the installed module is in {len(taken)} of {dist_dir}'s wheels")
    cp = "cp{}{}".format(*facts["python"])
    arch = facts["machine"]
    name = taken[0].name
    if not re.fullmatch(rf"kelvane-[^-]+-{cp}-{cp}-(\w+\.)*manylinux\w*_{arch}\.whl", name):
        raise ValueError(f"{name} is not the wheel for {cp} on {arch}")
    return name


def main(argv: list[str]) -> int:
    try:
        if argv[:1] == ["readme"] and len(argv) == 3:
            readme(argv[1], argv[2])
        elif argv == ["installed"]:
            installed()
        elif argv[:1] == ["match"] and len(argv) == 3:
            print(match(argv[1], argv[2]))
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except (ReadmeError, ValueError, OSError) as e:
        print(e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
