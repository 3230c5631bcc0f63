"""Checks the release wheels that scripts/dist made; exits 1 if any fails.

    python scripts/check_wheels.py WHEEL...

For each wheel: every platform tag in its name is manylinux with glibc 2.17
or older; `auditwheel show` finds it consistent with one of those tags and
names no external library that a repair would have to graft into it; it holds
one extension module for the tag's machine, exporting nothing but
PyInit_kelvane, the stubs and the licence, and no grafted libraries.
"""

import io
import json
import re
import subprocess
import sys
import zipfile

from elftools.elf.elffile import ELFFile  # installed with auditwheel

MAX_GLIBC = (2, 17)
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
LEGACY = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


def glibc_of(platform_tag):
    """(major, minor) of a manylinux platform tag, or None for any other tag."""
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", platform_tag)
    if match:
        return int(match.group(1)), int(match.group(2))
    return LEGACY.get(platform_tag.split("_", 1)[0])


def normalised(platform_tag):
    """A legacy tag as its manylinux_X_Y_arch equivalent (manylinux2014_x86_64
    is manylinux_2_17_x86_64)."""
    legacy, _, arch = platform_tag.partition("_")
    if legacy in LEGACY:
        return "manylinux_{}_{}_{}".format(*LEGACY[legacy], arch)
    return platform_tag


def exports(shared_object):
    """The names that a shared object defines in its dynamic symbol table."""
    symbols = ELFFile(io.BytesIO(shared_object)).get_section_by_name(".dynsym")
    return sorted(sym.name for sym in symbols.iter_symbols() if sym.name and sym["st_shndx"] != "SHN_UNDEF")


def check(path):
    name = path.rsplit("/", 1)[-1]
    platform_tags = name.removesuffix(".whl").split("-")[-1].split(".")
    problems = []
    for tag in platform_tags:
        glibc = glibc_of(tag)
        if glibc is None or glibc > MAX_GLIBC:
            problems.append(f"tag {tag} is not manylinux_2_17 or older")

    show = subprocess.run(["auditwheel", "show", "--json", path], capture_output=True, text=True)
    if show.returncode != 0:
        return name, None, [f"auditwheel show failed: {show.stderr.strip()}"]
    report = json.loads(show.stdout)
    verdict = report["overall_tag"]
    if verdict not in {normalised(tag) for tag in platform_tags}:
        problems.append(f"auditwheel finds it {verdict}, not {' or '.join(platform_tags)}")
    if report["external_libs"]:
        problems.append(f"needs external libraries: {', '.join(report['external_libs'])}")

    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        extensions = [n for n in names if n.endswith(".so")]
        if len(extensions) != 1 or "/" in extensions[0]:
            problems.append(f"expected one extension module at top level, found {extensions}")
        else:
            shared_object = wheel.read(extensions[0])
            exported = exports(shared_object)
            if exported != ["PyInit_kelvane"]:
                problems.append(f"the module exports {exported}, not just PyInit_kelvane")
            # A cross-built module must be for the wheel's machine, under that
            # machine's file name.
            arch = platform_tags[0].split("_", 3)[-1] if platform_tags[0].startswith("manylinux_") else ""
            arch = arch or platform_tags[0].split("_", 1)[1]
            machine = ELFFile(io.BytesIO(shared_object))["e_machine"]
            if MACHINES.get(arch) != machine or f"-{arch}-linux-gnu.so" not in extensions[0]:
                problems.append(f"{extensions[0]} is for {machine}, not {arch}")
    if any(".libs/" in n for n in names):
        problems.append("holds grafted libraries")
    if not any(re.fullmatch(r"kelvane-[^/]+\.dist-info/licenses/LICENSE", n) for n in names):
        problems.append("has no LICENSE")
    if not any(n.startswith("kelvane-stubs/") and n.endswith(".pyi") for n in names):
        problems.append("has no type stubs")
    return name, verdict, problems


def main():
    failed = False
    for path in sys.argv[1:]:
        name, verdict, problems = check(path)
        if problems:
            failed = True
            print(f"==> {name}: " + "; ".join(problems), file=sys.stderr)
        else:
            print(f"==> {name}: auditwheel show: {verdict}, no external library to graft")
    sys.exit(1 if failed or len(sys.argv) < 2 else 0)


if __name__ == "__main__":
    main()
