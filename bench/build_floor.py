"""Compile bench/floor.cpp for the running interpreter into OUTDIR, twice:
as kelvane_floor, and with KELVANE_OLD_FLOOR as kelvane_old_floor.

The flags follow the module's own Release build (-O3, hidden visibility,
-fno-plt), so the builds differ only in what their code does.
"""

import os
import shlex
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))


def main() -> int:
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} OUTDIR", file=sys.stderr)
        return 2
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    source = os.path.join(HERE, "floor.cpp")
    for name, defines in (("kelvane_floor", []), ("kelvane_old_floor", ["-DKELVANE_OLD_FLOOR"])):
        target = os.path.join(outdir, name + sysconfig.get_config_var("EXT_SUFFIX"))
        if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(source):
            continue
        status = build(source, target, defines)
        if status:
            return status
    return 0


def build(source, target, defines):
    cxx = os.environ.get("CXX", "g++")
    command = [
        cxx,
        "-std=c++20",
        "-O3",
        "-DNDEBUG",
        "-fPIC",
        "-shared",
        "-fno-plt",
        "-fvisibility=hidden",
        "-Wall",
        "-Wextra",
        *defines,
        "-I" + sysconfig.get_paths()["include"],
        source,
        "-o",
        target,
    ]
    print("==> " + shlex.join(command))
    return subprocess.call(command)


if __name__ == "__main__":
    sys.exit(main())
