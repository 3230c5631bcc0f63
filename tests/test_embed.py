"""An application that embeds Python, finalizes it and starts it again in the
same process gets a working kelvane in the second interpreter too, and does
not pay for each restart in memory."""

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

EMBED = Path(__file__).parent / "embed"

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


def _build(source, kind, library, out_dir):
    """The embedding program `source`, linked against `library`."""
    cc = _compiler()
    if cc is None:
        pytest.skip("no C compiler to build the embedding program")
    var = sysconfig.get_config_var
    program = out_dir / f"{source.stem}_{kind}"
    include = {sysconfig.get_paths()["include"], sysconfig.get_paths()["platinclude"]}
    link = [str(library)] if kind == "static" else [f"-L{library.parent}", f"-Wl,-rpath,{library.parent}"]
    if kind == "shared":
        link.append("-l" + library.name.removeprefix("lib").removesuffix(".so"))
    else:
        # The extension module finds the interpreter's symbols in the program,
        # and the modules built into the archive want their libraries.
        link += shlex.split(var("LINKFORSHARED") or "") + ["-no-pie"]
        link += [flag for flag in shlex.split(var("MODLIBS") or "") if flag.startswith("-l")]
    command = [*cc, str(source), *(f"-I{d}" for d in include), "-o", str(program), *link]
    command += shlex.split(var("LIBS") or "") + shlex.split(var("SYSLIBS") or "")
    build = subprocess.run(command, capture_output=True, text=True)
    missing = set(re.findall(r"undefined reference to `([^']+)'", build.stderr))
    if kind == "static" and missing and all("Hacl" in name for name in missing):
        # Debian's static libpython3.13 and 3.14 lack the objects of their own
        # hash modules: no program links against them.
        pytest.skip(f"{library} lacks the interpreter's own HACL objects ({len(missing)} undefined)")
    assert build.returncode == 0, f"{shlex.join(command)}\n{build.stderr}"
    return program


def _run(command, **env):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **env)
    run = subprocess.run(command, capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout


LIBRARIES = _libpython() or [pytest.param(None, None, marks=pytest.mark.skip)]


@pytest.mark.parametrize("kind, library", LIBRARIES)
def test_second_interpreter_gets_a_working_module(tmp_path, kind, library, expected_line):
    program = _build(EMBED / "two_cycles.c", kind, library, tmp_path)
    assert _run([str(program), CYCLE]).splitlines() == [expected_line, expected_line]


RESTARTS = 50
# What a restart may leave behind beyond one that imports only struct.
HEAP_PER_RESTART = 8 * 1024

# Code that runs late in finalization, around the time kelvane releases what
# it holds: an exit callback of the interpreter's own, registered before
# kelvane's first import or after it (REGISTER), since interpreters differ in
# the order they run them. The builtins are gone by then, so it brings its own.
LATE_CALLS = """
import ctypes, os
held = {}

def late(_, held=held, write=os.write, RuntimeError=RuntimeError, str=str, type=type):
    cfg = held["cfg"]
    out = [held["build"](1, cfg, 7).hex(), held["temperature"](1, 2.0, id=3).hex()]
    for read in (lambda: cfg.channel_type, lambda: held["tc"](held["k"])[0]):
        try:
            out.append(type(read()).__name__)
        except RuntimeError as exc:
            out.append(str(exc))
    write(1, " | ".join(out).encode() + b"\\n")

callback = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(late)
ctypes.pythonapi.Py_IncRef(ctypes.py_object(callback))  # outlives the modules
get_interpreter = ctypes.pythonapi.PyInterpreterState_Get
get_interpreter.restype = ctypes.c_void_p
at_exit = getattr(ctypes.pythonapi, "PyUnstable_AtExit", None) or ctypes.pythonapi._Py_AtExit
at_exit.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
if REGISTER == "before":
    at_exit(get_interpreter(), callback, None)

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType
held.update(cfg=ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0),
            build=kelvane.set_channel_request, temperature=kelvane.set_temperature_request, tc=ChannelType.TC,
            k=TCType.K)
if REGISTER == "after":
    at_exit(get_interpreter(), callback, None)
"""

# One cycle of an application: every class made, a keyword call bound.
RESTART = """
import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType
cfg = ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)
cfg.channel_type[0], ChannelType.TC(TCType.K)
kelvane.set_channel_request(1, cfg, id=7)
"""


def test_calls_after_release(tmp_path):
    """The builders still work; what would make an instance of a released
    class raises a RuntimeError that says so."""
    if sys.version_info < (3, 13):
        # Even a callback that returns at once aborts 3.12.1 there ("free():
        # invalid pointer"), with or without kelvane.
        pytest.skip("3.12 cannot call back into ctypes from its exit callbacks")
    kind, library = _libpython()[0] if _libpython() else pytest.skip("no libpython")
    program = _build(EMBED / "two_cycles.c", kind, library, tmp_path)
    from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType

    cfg = ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)
    packets = [kelvane.set_channel_request(1, cfg, 7).hex(), kelvane.set_temperature_request(1, 2.0, 3).hex()]
    released = "objects can no longer be made: kelvane released its classes as the interpreter shut down"
    before = " | ".join([*packets, "ChannelType_RTD", "TCType"])
    after = " | ".join([*packets, f"ChannelType {released}", f"TCType {released}"])
    runs = [_run([str(program), f"REGISTER = {where!r}\n{LATE_CALLS}"]).splitlines() for where in ("before", "after")]
    assert all(len(lines) == 2 and set(lines) <= {before, after} for lines in runs), runs
    assert after in runs[0] + runs[1], "no call came after the release"


@pytest.mark.slow
@pytest.mark.parametrize("kind, library", LIBRARIES)
def test_restarts_keep_no_heap(tmp_path, kind, library):
    program = _build(EMBED / "restart_heap.c", kind, library, tmp_path)

    def growth_per_restart(code):
        first, last = map(int, _run([str(program), str(RESTARTS), code], PYTHONMALLOC="malloc").split())
        return (last - first) / (RESTARTS - 1)

    baseline = growth_per_restart("import struct")
    with_kelvane = growth_per_restart(RESTART)
    print(f"heap per restart: {with_kelvane:.0f} bytes with kelvane, {baseline:.0f} with struct alone")
    assert with_kelvane - baseline <= HEAP_PER_RESTART
