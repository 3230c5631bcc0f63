"""A command added the way docs/development.md says, by its declaration alone:
the test-only command get_status_request (code 0x02, payload the one byte
0x01 that asks for every status field), which the CMake option
KELVANE_TEST_COMMAND builds in. It is registered, binds its keywords, encodes,
and the surface check refuses it until its stub exists."""

import fcntl
import hashlib
import json
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TESTS = Path(__file__).resolve().parent


def _build_dir():
    # Its own build tree, kept, so that a second run only relinks what changed:
    # one per interpreter and compiler. Debian's 3.13 and a pyenv 3.13 share a
    # SOABI and run at once in make test, and a module built by the newer g++
    # of one does not load beside the older libstdc++ of the other.
    compiler = shutil.which(os.environ.get("CXX", "c++")) or ""
    key = f"{sys.base_prefix}\0{os.path.realpath(compiler)}".encode()
    return ROOT / "build" / f"test-command-{sysconfig.get_config_var('SOABI')}-{hashlib.sha256(key).hexdigest()[:8]}"


BUILD = _build_dir()

PROBE = """
import json, pathlib, sys
import kelvane
from surface import surface_problems

calls = {}
for name, call in [
    ("positional", lambda: kelvane.get_status_request(1, 7)),
    ("keyword", lambda: kelvane.get_status_request(1, id=7)),
    ("keywords", lambda: kelvane.get_status_request(id=7, c_number=1)),
    ("another's keyword", lambda: kelvane.get_status_request(1, temperature_value=7)),
    ("missing", lambda: kelvane.get_status_request(1)),
]:
    try:
        calls[name] = call().hex()
    except TypeError as exc:
        calls[name] = str(exc)
print(json.dumps({
    "file": kelvane.__file__,
    "all": kelvane.__all__,
    "doc": kelvane.get_status_request.__text_signature__,
    "calls": calls,
    "others": [kelvane.sys_reset().hex(), kelvane.set_temperature_request(1, 25.0, 7).hex()],
    "problems": {stubs: surface_problems(kelvane, pathlib.Path(stubs)) for stubs in sys.argv[1:]},
}))
"""


def _cmake():
    found = shutil.which("cmake", path=f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")
    return found if found and shutil.which(os.environ.get("CXX", "c++")) else None


@pytest.fixture(scope="module")
def module_dir():
    cmake = _cmake()
    if cmake is None:
        pytest.skip("no CMake and C++ compiler to build the module with its test command")
    configure = [cmake, "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release", "-DKELVANE_WERROR=ON"]
    configure += ["-DKELVANE_TEST_COMMAND=ON", f"-DPython_EXECUTABLE={sys.executable}"]
    BUILD.parent.mkdir(parents=True, exist_ok=True)
    # Two runs with one interpreter (a lane and the sanitizer lane) build it one at a time.
    with open(BUILD.with_name(BUILD.name + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for command in (configure, [cmake, "--build", str(BUILD)]):
            run = subprocess.run(command, capture_output=True, text=True)
            assert run.returncode == 0, f"{' '.join(command)}\n{run.stdout[-3000:]}\n{run.stderr[-3000:]}"
    return BUILD


@pytest.fixture(scope="module")
def probe(module_dir, tmp_path_factory):
    stubs = tmp_path_factory.mktemp("stubs") / "kelvane-stubs"
    shutil.copytree(ROOT / "kelvane-stubs", stubs)
    root_stub = stubs / "__init__.pyi"
    text = root_stub.read_text().replace(
        '"set_temperature_request"]', '"set_temperature_request", "get_status_request"]'
    )
    root_stub.write_text(text + "\ndef get_status_request(c_number: int, id: int) -> bytes: ...\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(module_dir), str(TESTS)]))
    run = subprocess.run(
        [sys.executable, "-c", PROBE, str(ROOT / "kelvane-stubs"), str(stubs)], capture_output=True, text=True, env=env
    )
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert Path(result["file"]).parent == module_dir
    result["stubs"] = {"shipped": str(ROOT / "kelvane-stubs"), "with its stub": str(stubs)}
    return result


def test_registered_after_the_others(probe):
    assert probe["all"] == [
        "channel",
        "set_channel_request",
        "sys_reset",
        "set_temperature_request",
        "get_status_request",
    ]
    assert probe["doc"] == "(c_number, id)"


@pytest.mark.parametrize(
    "call, expected",
    [
        ("positional", "11000000060200000007" + "01"),
        ("keyword", "1100000006020000000701"),
        ("keywords", "1100000006020000000701"),
        ("another's keyword", "get_status_request() got an unexpected keyword argument 'temperature_value'"),
        ("missing", "get_status_request() missing 1 required positional argument: 'id'"),
    ],
)
def test_binds_and_encodes(probe, call, expected):
    assert probe["calls"][call] == expected


def test_other_commands_unchanged(probe):
    assert probe["others"] == ["10000000050100000001", "1100000009f00000000741c80000"]


def test_surface_check_wants_its_stub(probe):
    problems = probe["problems"]
    shipped = problems[probe["stubs"]["shipped"]]
    assert shipped and all("get_status_request" in line for line in shipped), shipped
    assert problems[probe["stubs"]["with its stub"]] == []
