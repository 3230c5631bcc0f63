"""The serial-link example: its frame splitter, decoder and command line."""

import argparse
import pathlib
import sys

import pytest
from helpers import ChannelType_None

serial = pytest.importorskip("serial")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
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
    "text",
    [
        "rtd:PT100",
        "x=none",
        "240=none",
        "-1=none",
        "0=rtd",
        "0=rtd:K",
        "0=tc:PT100",
        "0=ptc:PT100",
        "0=none:1:2",
        "0=none:a:b:c:d",
    ],
)
def test_bad_channel_arguments_are_refused(text):
    with pytest.raises(argparse.ArgumentTypeError):
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
    """A port that answers with `reply`, or fails at `fail` ("write" or "read")."""

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
        pass

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
        (serial.SerialException("[Errno 13] Permission denied"), "cannot open /dev/ttyS9: [Errno 13]"),
        (FakePort(fail="write"), "/dev/ttyS9: writing 27 bytes timed out after"),
        (FakePort(fail="read"), "/dev/ttyS9: link failed: device disconnected"),
    ],
    ids=["open", "write", "read"],
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
        (["--echo"], b"", 1, "echo check failed: the stream read back differs from the 27 bytes sent from byte 0 on"),
        (["--echo"], SENT[:9] + b"\xff" + SENT[10:], 1, "from byte 9 on (27 read back)"),
    ],
    ids=["silent board", "no echo", "corrupt echo"],
)
def test_echo_is_checked_only_where_expected(monkeypatch, capsys, args, reply, status, verdict):
    got, out, err = run_on_fake_port(monkeypatch, capsys, FakePort(reply), *args)
    assert got == status
    assert verdict in out + err
