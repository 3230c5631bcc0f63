"""The serial-link example: its frame splitter, decoder and command line."""

import argparse
import errno
import grp
import os
import pathlib
import pwd
import re
import select
import struct
import subprocess
import sys
import termios
import threading

import model
import pytest
from helpers import TC_MEMBERS, ChannelType_None

serial = pytest.importorskip("serial")

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
import configure_board as cb  # noqa: E402

import kelvane  # noqa: E402
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType  # noqa: E402


def packets() -> list[bytes]:
    return [
        kelvane.set_channel_request(0, ChannelConfig(ChannelType.RTD(RTDType.Ni1000), 400.0, 18.0, 1000.0, 10.0), 1),
        kelvane.set_channel_request(239, ChannelConfig(ChannelType.TC(TCType.B), -1.5, 0.25, 2.0, 3.0), 2**32 - 1),
        kelvane.set_channel_request(7, ChannelConfig(ChannelType_None(), 1.0, -40.0, 0.5, 0.0), 3),
        kelvane.set_temperature_request(3, -12.25, 4),
        kelvane.sys_reset(),
    ]


def frames_of(stream: bytes) -> list[cb.Frame | cb.Skipped]:
    return list(cb.split_frames(stream))


def test_split_finds_every_packet_of_a_clean_stream():
    sent = packets()
    items = frames_of(b"".join(sent))
    assert [type(item) for item in items] == [cb.Frame] * len(sent)
    assert [item.raw for item in items] == sent


@pytest.mark.parametrize(
    ("prefix", "suffix"),
    [
        (b"\xff\xff", b""),  # noise before the first frame
        (b"\x10\xff\xff\xff\xff", b""),  # a length field no command has: must not swallow the stream
        (b"\x10\x00\x00\x00\x00", b""),  # a length too short for command and id
        (b"\x10\x00\x00\x00\x09\x01", b""),  # a known command with a length it cannot have
        (b"", b"\x11\x00\x00\x00\x09\xf0\x00"),  # a frame cut short at the end
    ],
)
def test_split_resynchronises_around_bad_bytes(prefix, suffix):
    sent = packets()
    items = frames_of(prefix + b"".join(sent) + suffix)
    assert [item.raw for item in items if isinstance(item, cb.Frame)] == sent
    skipped = b"".join(item.raw for item in items if isinstance(item, cb.Skipped))
    assert skipped == prefix + suffix


def test_dump_decodes_the_fields_that_were_encoded():
    lines = [cb.dump(item, n) for n, item in enumerate(frames_of(b"".join(packets())), 1)]
    assert lines[0][1:] == [
        "  address  0x10 (channel 0)",
        "  length   23",
        "  command  0x00 (set_channel)",
        "  id       1",
        "  payload  RTD Ni1000, max_resistance 400.0, min_resistance 18.0, shunt_resistance 1000.0, r_ain0 10.0",
    ]
    assert lines[1][1] == "  address  0xFF (channel 239)"
    assert lines[1][4] == "  id       4294967295"
    assert lines[1][5] == "  payload  TC B, max_resistance -1.5, min_resistance 0.25, shunt_resistance 2.0, r_ain0 3.0"
    assert lines[2][5] == "  payload  none, max_resistance 1.0, min_resistance -40.0, shunt_resistance 0.5, r_ain0 0.0"
    assert lines[3][3:] == ["  command  0xF0 (set_temperature)", "  id       4", "  payload  temperature -12.25"]
    assert lines[4][3:] == ["  command  0x01 (sys_reset)", "  id       1", "  payload  (none)"]


@pytest.mark.parametrize(
    ("command", "payload", "expected"),
    [
        (0x00, bytes([1, 9]) + bytes(16), "RTD unknown sensor 0x09"),
        (0x00, bytes([3]) + bytes(16), "malformed channel payload"),
        (0x00, bytes([1]) + bytes(16), "malformed channel payload"),
        (0xF0, b"\x00\x00", "unexpected payload"),
        (0x01, b"\x00", "unexpected payload"),
    ],
)
def test_dump_flags_payloads_it_cannot_decode(command, payload, expected):
    assert cb.describe_payload(command, payload).startswith(expected)


@pytest.mark.parametrize(
    ("text", "channel", "kind", "sensor", "values"),
    [
        ("0=rtd:PT100:400:18:1000:10", 0, ChannelType.RTD, "RTDType.PT100", [400.0, 18.0, 1000.0, 10.0]),
        ("0x10=TC:k", 16, ChannelType.TC, "TCType.K", [0.0] * 4),
        ("239=none:1:2:3:0.1", 239, ChannelType_None, None, [1.0, 2.0, 3.0, 0.10000000149011612]),
    ],
)
def test_channel_arguments(text, channel, kind, sensor, values):
    setting = cb.parse_channel(text)
    cfg = setting.config
    assert setting.channel == channel
    assert type(cfg.channel_type) is kind
    assert (repr(cfg.channel_type[0]) if sensor else None) == sensor
    assert [cfg.max_resistance, cfg.min_resistance, cfg.shunt_resistance, cfg.r_ain0] == values


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("rtd:PT100", "expected CHANNEL=KIND"),
        ("x=none", "channel 'x' is not a number"),
        ("240=none", "channel must lie in 0..239"),
        ("-1=none", "channel must lie in 0..239"),
        ("0=rtd", "rtd needs a sensor type, e.g. rtd:PT100"),
        ("0=rtd:K", "unknown rtd sensor 'K'"),
        ("0=tc:PT100", "unknown tc sensor 'PT100'"),
        ("0=ptc:PT100", "kind must be rtd, tc or none, not 'ptc'"),
        ("0=none:1:2", "give all four resistances"),
        ("0=none:a:b:c:d", "could not convert string to float: 'a'"),
        # The stray sensor is to blame, not the count of resistances.
        ("0=none:PT100", "a none channel has no sensor type: drop 'PT100'"),
        ("0=none:k:1:2:3:4", "a none channel has no sensor type: drop 'k'"),
    ],
)
def test_bad_channel_arguments_are_refused(text, message):
    with pytest.raises(argparse.ArgumentTypeError, match=re.escape(message)):
        cb.parse_channel(text)


def test_round_trip_over_the_loopback_port(capsys):
    assert cb.main(["0=rtd:PT100:400:18:1000:10", "3=none", "--temperature", "1=25.5", "--reset"]) == 0
    out = capsys.readouterr().out
    assert "writing 4 packets, 79 bytes" in out
    assert "read back 79 bytes" in out
    assert out.count("\nframe ") == 4
    assert "4 frames; the stream read back is byte for byte what was sent" in out


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--first-id", "-1"], "--first-id -1 is not a packet id"),
        # The first id fits, the second does not.
        (["1=none", "--first-id", str(2**32 - 1)], "packet 2 of 2 would get id 4294967296"),
        (["--timeout", "0"], "argument --timeout: '0': give a time above 0 seconds"),
        (["--baud", "0"], "argument --baud: '0': give a number above 0"),
    ],
    ids=["negative id", "last id overflows", "timeout", "baud"],
)
def test_bad_options_are_refused_before_anything_is_sent(capsys, args, message):
    with pytest.raises(SystemExit) as exit_info:
        cb.main(["0=none", *args])
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err


class FakePort:
    """A port that answers with `reply`, or fails at `fail` ("write", "flush" or "read")."""

    def __init__(self, reply=b"", fail=None):
        self.reply, self.fail = reply, fail

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False

    def write(self, data):
        if self.fail == "write":
            raise serial.SerialTimeoutException("Write timeout")
        return len(data)

    def flush(self):
        if self.fail == "flush":
            # What tcdrain() raises once the other end has hung up.
            raise termios.error(5, "Input/output error")

    def read(self, size):
        if self.fail == "read":
            raise serial.SerialException("device disconnected")
        chunk, self.reply = self.reply[:size], self.reply[size:]
        return chunk


def run_on_fake_port(monkeypatch, capsys, port, *args):
    """main() on a device port that `port` stands in for (or an exception to raise on opening)."""

    def serial_for_url(url, **kwargs):
        if isinstance(port, Exception):
            raise port
        return port

    monkeypatch.setattr(cb.serial, "serial_for_url", serial_for_url)
    status = cb.main(["0=none", "--port", "/dev/ttyS9", "--timeout", "0.05", *args])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize(
    ("port", "message"),
    [
        (FakePort(fail="write"), "/dev/ttyS9: writing 27 bytes timed out after"),
        (FakePort(fail="flush"), "/dev/ttyS9: the link failed while writing: Input/output error (the device went"),
        (FakePort(fail="read"), "/dev/ttyS9: the link failed while reading back: device disconnected"),
    ],
    ids=["write", "flush", "read"],
)
def test_link_errors_end_in_one_line_and_status_1(monkeypatch, capsys, port, message):
    status, _, err = run_on_fake_port(monkeypatch, capsys, port)
    assert status == 1
    assert err.startswith(message) and err.count("\n") == 1


SENT = kelvane.set_channel_request(0, ChannelConfig(ChannelType_None(), 0.0, 0.0, 0.0, 0.0), 1)


@pytest.mark.parametrize(
    ("args", "reply", "status", "verdict"),
    [
        ([], b"", 0, "0 frames read back; no echo expected on /dev/ttyS9, so none checked"),  # a silent board
        (["--echo"], b"", 1, "echo check failed: nothing came back of the 27 bytes sent"),
        (["--echo"], SENT[:9] + b"\xff" + SENT[10:], 1, "from byte 9 on (27 read back)"),
    ],
    ids=["silent board", "no echo", "corrupt echo"],
)
def test_echo_is_checked_only_where_expected(monkeypatch, capsys, args, reply, status, verdict):
    got, out, err = run_on_fake_port(monkeypatch, capsys, FakePort(reply), *args)
    assert got == status
    assert verdict in out + err
    assert "writing 1 packet, 27 bytes" in out


# ---------------------------------------------------------------------------
# The example run as a user runs it, against the device of a pseudo-terminal
# whose other end plays the board.


class Board(threading.Thread):
    """The board's end of a pseudo-terminal. It splits what arrives into frames
    by their header (address byte, body length) and, with `echo`, sends each
    frame straight back; with `hang_up_after`, it closes its end as soon as
    that many frames have come."""

    def __init__(self, echo=False, hang_up_after=None):
        super().__init__(daemon=True)
        self.controller, self.follower = os.openpty()
        # The test keeps the follower open too, so that reading the controller
        # waits for the example instead of failing while no one has it open.
        try:
            self.path = os.ttyname(self.follower)
        except OSError as error:
            # qemu-user cannot emulate what glibc's ttyname asks of the kernel.
            os.close(self.controller)
            os.close(self.follower)
            if error.errno != errno.ENOSYS:
                raise
            pytest.skip("this system cannot name a pseudo-terminal's device (ttyname: ENOSYS)")
        self.echo, self.hang_up_after = echo, hang_up_after
        self.frames, self.pending = [], bytearray()
        self.stopping = threading.Event()

    def run(self):
        try:
            while True:
                if not select.select([self.controller], [], [], 0.02)[0]:
                    if self.stopping.is_set():
                        return
                    continue
                self.pending += os.read(self.controller, 4096)
                while len(self.pending) >= 5:
                    _, length = struct.unpack_from(">BI", self.pending)
                    if len(self.pending) < 5 + length:
                        break
                    frame = bytes(self.pending[: 5 + length])
                    del self.pending[: 5 + length]
                    self.frames.append(frame)
                    if self.echo:
                        os.write(self.controller, frame)
                    if len(self.frames) == self.hang_up_after:
                        return
        finally:
            os.close(self.controller)

    def stop(self):
        """Waits until the board has taken in everything sent to it."""
        self.stopping.set()
        self.join()


@pytest.fixture
def start_board():
    boards = []

    def start(**kwargs):
        boards.append(Board(**kwargs))
        boards[-1].start()
        return boards[-1]

    yield start
    for board in boards:
        board.stop()
        os.close(board.follower)


def run_example(port, *args, prefix=()):
    done = subprocess.run(
        [*prefix, sys.executable, str(EXAMPLES / "configure_board.py"), "--port", port, "--timeout", "0.2", *args],
        capture_output=True,
        text=True,
        timeout=60,
    )
    return done.returncode, done.stdout, done.stderr


BOARD_ARGS = ["0=rtd:PT100:400:18:1000:10", "1=tc:K:50:0.5:100:1", "239=none", "--temperature", "0=21.0", "--reset"]


def board_frames():
    """BOARD_ARGS's packets as the model builds them."""

    def config(kind, sensor, *values):
        record = model.ConfigRecord(model.ChannelTypeValue(kind, sensor), [model.f32_bits(v) for v in values])
        return model.config_payload(record)

    return [
        model.frame(0, model.CODE_SET_CHANNEL, 1, config(model.KIND_RTD, 0, 400.0, 18.0, 1000.0, 10.0)),
        model.frame(1, model.CODE_SET_CHANNEL, 2, config(model.KIND_TC, TC_MEMBERS.index("K"), 50.0, 0.5, 100.0, 1.0)),
        model.frame(239, model.CODE_SET_CHANNEL, 3, config(model.KIND_NONE, 0, 0.0, 0.0, 0.0, 0.0)),
        model.frame(0, model.CODE_SET_TEMPERATURE, 4, model.f32_bits(21.0).to_bytes(4, "big")),
        model.sys_reset(),
    ]


@pytest.mark.parametrize(
    ("echo", "args", "status", "last_line"),
    [
        (False, [], 0, "0 frames read back; no echo expected on {port}, so none checked (--echo checks)"),
        # The read ends once all 107 bytes are back: the long timeout only allows for a busy machine.
        (True, ["--echo", "--timeout", "5"], 0, "5 frames; the stream read back is byte for byte what was sent"),
        (False, ["--echo"], 1, "echo check failed: nothing came back of the 107 bytes sent"),
    ],
    ids=["clean run", "echoing board", "silent board"],
)
def test_board_on_a_pseudo_terminal(start_board, echo, args, status, last_line):
    board = start_board(echo=echo)
    got, out, err = run_example(board.path, *BOARD_ARGS, *args)
    board.stop()
    assert board.frames == board_frames()
    assert not board.pending
    assert got == status
    assert (err or out).splitlines()[-1] == last_line.format(port=board.path)
    assert err.count("\n") == status


def test_board_hanging_up_during_the_write(start_board):
    # Far more than the pseudo-terminal holds, so the example is still
    # writing when the board hangs up after the first frame.
    board = start_board(hang_up_after=1)
    got, _, err = run_example(board.path, *BOARD_ARGS, *["--temperature=5=20.5"] * 6000)
    assert board.frames == board_frames()[:1]
    assert (got, err) == (
        1,
        f"{board.path}: the link failed while writing: Input/output error (the device went away, or its other end "
        "hung up)\n",
    )


def test_missing_port(tmp_path):
    port = str(tmp_path / "ttyUSB0")
    assert run_example(port, "0=none") == (1, "", f"cannot open {port}: No such file or directory\n")


# Started as root, this drops the capabilities that let root open any file and
# runs the example, which then meets the device's permissions as a user would.
WITHOUT_FILE_OVERRIDE = """
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
    if libc.prctl(24, capability, 0, 0, 0):  # PR_CAPBSET_DROP
        sys.exit(77)
os.execv(sys.argv[1], sys.argv[1:])
"""


def test_port_without_permission(start_board):
    if os.geteuid() != 0:
        pytest.skip("needs root, to give the device to another user")
    board = start_board()
    nobody = pwd.getpwnam("nobody")
    os.fchown(board.follower, nobody.pw_uid, nobody.pw_gid)
    os.fchmod(board.follower, 0o660)
    got, out, err = run_example(board.path, "0=none", prefix=[sys.executable, "-c", WITHOUT_FILE_OVERRIDE])
    if got == 77:
        pytest.skip("root's file-access capabilities cannot be dropped here")
    group = grp.getgrgid(nobody.pw_gid).gr_name
    assert (got, out) == (1, "")
    assert err == (
        f"cannot open {board.path}: Permission denied; the device (crw-rw---- nobody:{group}) is open to group "
        f"'{group}': join it (sudo usermod -aG {group} $USER) and log in again\n"
    )
