"""An application that embeds Python, finalizes it and starts it again in the
same process gets a working kelvane in the second interpreter too."""

import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import kelvane

SOURCE = Path(__file__).parent / "embed" / "two_cycles.c"

CYCLE = """
import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType
cfg = ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)
try:
    kelvane.set_temperature_request(1, "warm", 2)
except TypeError as exc:
    error = str(exc)
print(kelvane.sys_reset().hex(), kelvane.set_channel_request(1, cfg, 7).hex(), error, flush=True)
"""


def _libpython():
    """(kind, path) of each libpython this interpreter ships."""
    var = sysconfig.get_config_var
    found = []
    shared = Path(var("LIBDIR") or "", var("LDLIBRARY") or "")
    if shared.suffix == ".so" and shared.is_file():
        found.append(("shared", shared))
    for folder in (var("LIBPL"), var("LIBDIR")):
        static = Path(folder or "", var("LIBRARY") or "")
        if static.suffix == ".a" and static.is_file():
            found.append(("static", static))
            break
    return found


def _compiler():
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    if shutil.which(cc[0]) is None:
        cc = ["cc"]
    return cc if shutil.which(cc[0]) else None


@pytest.fixture(scope="module")
def expected_line():
    from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType

    cfg = ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)
    message = "argument 'temperature_value': must be real number, not str"
    return f"{kelvane.sys_reset().hex()} {kelvane.set_channel_request(1, cfg, 7).hex()} {message}"


@pytest.mark.parametrize("kind, library", _libpython() or [pytest.param(None, None, marks=pytest.mark.skip)])
def test_second_interpreter_gets_a_working_module(tmp_path, kind, library, expected_line):
    cc = _compiler()
    if cc is None:
        pytest.skip("no C compiler to build the embedding program")
    var = sysconfig.get_config_var
    program = tmp_path / f"two_cycles_{kind}"
    include = {sysconfig.get_paths()["include"], sysconfig.get_paths()["platinclude"]}
    link = [str(library)] if kind == "static" else [f"-L{library.parent}", f"-Wl,-rpath,{library.parent}"]
    if kind == "shared":
        link.append("-l" + library.name.removeprefix("lib").removesuffix(".so"))
    else:
        # The extension module finds the interpreter's symbols in the program,
        # and the modules built into the archive want their libraries.
        link += shlex.split(var("LINKFORSHARED") or "") + ["-no-pie"]
        link += [flag for flag in shlex.split(var("MODLIBS") or "") if flag.startswith("-l")]
    command = [*cc, str(SOURCE), *(f"-I{d}" for d in include), "-o", str(program), *link]
    command += shlex.split(var("LIBS") or "") + shlex.split(var("SYSLIBS") or "")
    build = subprocess.run(command, capture_output=True, text=True)
    missing = set(re.findall(r"undefined reference to `([^']+)'", build.stderr))
    if kind == "static" and missing and all("Hacl" in name for name in missing):
        # Debian's static libpython3.13 and 3.14 lack the objects of their own
        # hash modules: no program links against them.
        pytest.skip(f"{library} lacks the interpreter's own HACL objects ({len(missing)} undefined)")
    assert build.returncode == 0, f"{shlex.join(command)}\n{build.stderr}"

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run([str(program), CYCLE], capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [expected_line, expected_line]
