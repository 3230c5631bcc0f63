r"""Configure a temperature board over a serial link.

Builds one set-channel packet per channel given on the command line, then the
optional set-temperature packets and a closing reset, writes them all to the
serial port, reads the stream that comes back and prints each frame found in
it, decoded field by field.

The default port is pyserial's loopback, ``loop://``, which hands back every
byte written to it, so the example runs without hardware and shows exactly
what a board would receive; there the stream read back must equal the one
sent (the echo check). For a real board give its device and speed (not run
by the doc tests: needs a board on /dev/ttyUSB0)::

    python examples/configure_board.py --port /dev/ttyUSB0 --baud 115200 \
        0=rtd:PT100:400:18:1000:10 1=tc:K:50:0.5:100:1 2=none

A real port is not expected to echo; ``--echo`` checks for an echo anyway
(a link wired back on itself). A failed echo check, or any error of the link
(a port that cannot be opened, a write that fails or times out, a read that
fails), ends the run with a one-line message and exit status 1.

A channel is written ``CHANNEL=KIND[:SENSOR][:MAX:MIN:SHUNT:R_AIN0]``: KIND is
``rtd``, ``tc`` or ``none``; SENSOR an RTDType or TCType member name (not
given for ``none``); the four resistances in ohms default to 0. Needs
kelvane and pyserial (``pip install 'kelvane[serial]'``).
"""

from __future__ import annotations

import argparse
import errno
import math
import os
import stat
import struct
import sys
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

import serial

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

# What a failing link can raise. On POSIX, pyserial's flush() lets termios.error
# through (EIO once the other end has hung up), which is no OSError.
LINK_ERRORS: tuple[type[Exception], ...] = (serial.SerialException, OSError)
if sys.platform != "win32":
    import grp
    import pwd
    import termios

    LINK_ERRORS += (termios.error,)

# Frame layout: address byte, body length (u32), then the body: command code
# (u8), id (u32), payload. All big-endian.
HEADER = struct.Struct(">BI")
COMMAND = struct.Struct(">BI")
FLOATS = struct.Struct(">4f")
ADDRESS_OFFSET = 0x10
# Channels from 240 on wrap round to the addresses of channels 0, 1, ...
MAX_CHANNEL = 0xFF - ADDRESS_OFFSET

MAX_ID = 0xFFFF_FFFF
# pyserial's URL of its loopback port, which echoes what is written.
LOOPBACK = "loop://"

SET_CHANNEL, SYS_RESET, SET_TEMPERATURE = 0x00, 0x01, 0xF0
COMMAND_NAMES = {SET_CHANNEL: "set_channel", SYS_RESET: "sys_reset", SET_TEMPERATURE: "set_temperature"}
# Body lengths each command can have: command and id (5 bytes), then the
# payload: 17 or 18 bytes of channel configuration, none, or a 4-byte float.
BODY_LENGTHS = {SET_CHANNEL: (22, 23), SYS_RESET: (5,), SET_TEMPERATURE: (9,)}
RESISTANCES = ("max_resistance", "min_resistance", "shunt_resistance", "r_ain0")


def members[Sensor: (RTDType, TCType)](cls: type[Sensor]) -> list[Sensor]:
    """The members of a sensor type class, in wire-code order."""
    found = [value for value in vars(cls).values() if isinstance(value, cls)]
    return sorted(found, key=int)


def member_name(member: RTDType | TCType) -> str:
    return repr(member).partition(".")[2]


RTD_BY_NAME = {member_name(m).lower(): m for m in members(RTDType)}
TC_BY_NAME = {member_name(m).lower(): m for m in members(TCType)}
RTD_BY_CODE = {int(m): member_name(m) for m in members(RTDType)}
TC_BY_CODE = {int(m): member_name(m) for m in members(TCType)}


@dataclass
class ChannelSetting:
    channel: int
    config: ChannelConfig


def parse_channel(text: str) -> ChannelSetting:
    """``CHANNEL=KIND[:SENSOR][:MAX:MIN:SHUNT:R_AIN0]`` as a channel and its configuration."""
    number, equals, rest = text.partition("=")
    if not equals:
        raise argparse.ArgumentTypeError(f"{text!r}: expected CHANNEL=KIND[:SENSOR][:MAX:MIN:SHUNT:R_AIN0]")
    try:
        channel = int(number, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: channel {number!r} is not a number") from None
    if not 0 <= channel <= MAX_CHANNEL:
        raise argparse.ArgumentTypeError(f"{text!r}: channel must lie in 0..{MAX_CHANNEL}")

    kind, *fields = rest.split(":")
    channel_type: ChannelType
    match kind.lower():
        case "rtd" | "tc" as family if fields:
            table = RTD_BY_NAME if family == "rtd" else TC_BY_NAME
            sensor_name = fields.pop(0)
            sensor = table.get(sensor_name.lower())
            if sensor is None:
                known = ", ".join(member_name(m) for m in table.values())
                raise argparse.ArgumentTypeError(f"{text!r}: unknown {family} sensor {sensor_name!r} (one of {known})")
            channel_type = ChannelType.RTD(sensor) if isinstance(sensor, RTDType) else ChannelType.TC(sensor)
        case "rtd" | "tc":
            example = "rtd:PT100" if kind.lower() == "rtd" else "tc:K"
            raise argparse.ArgumentTypeError(f"{text!r}: {kind} needs a sensor type, e.g. {example}")
        case "none":
            if fields and fields[0].lower() in RTD_BY_NAME.keys() | TC_BY_NAME.keys():
                raise argparse.ArgumentTypeError(f"{text!r}: a none channel has no sensor type: drop {fields[0]!r}")
            channel_type = getattr(ChannelType, "None")()
        case _:
            raise argparse.ArgumentTypeError(f"{text!r}: kind must be rtd, tc or none, not {kind!r}")

    if fields and len(fields) != len(RESISTANCES):
        raise argparse.ArgumentTypeError(f"{text!r}: give all four resistances (max:min:shunt:r_ain0) or none")
    try:
        values = [float(field) for field in fields] or [0.0] * len(RESISTANCES)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{text!r}: {error}") from None
    return ChannelSetting(channel, ChannelConfig(channel_type, *values))


def parse_temperature(text: str) -> tuple[int, float]:
    """``CHANNEL=VALUE`` as a set-temperature command."""
    number, equals, value = text.partition("=")
    try:
        if not equals:
            raise ValueError("expected CHANNEL=VALUE")
        channel = int(number, 0)
        if not 0 <= channel <= MAX_CHANNEL:
            raise ValueError(f"channel must lie in 0..{MAX_CHANNEL}")
        return channel, float(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{text!r}: {error}") from None


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text!r}: give a time above 0 seconds")
    return value


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r}: give a number above 0")
    return value


def build_packets(
    channels: Sequence[ChannelSetting], temperatures: Sequence[tuple[int, float]], reset: bool, first_id: int
) -> list[bytes]:
    """The packets in sending order, with ids counting up from `first_id`."""
    packets = []
    packet_id = first_id
    for setting in channels:
        packets.append(kelvane.set_channel_request(setting.channel, setting.config, packet_id))
        packet_id += 1
    for channel, value in temperatures:
        packets.append(kelvane.set_temperature_request(channel, value, packet_id))
        packet_id += 1
    if reset:
        packets.append(kelvane.sys_reset())
    return packets


def transfer_time(size: int, baud: int) -> float:
    """Seconds a port takes to send `size` bytes: 10 bits each (start, 8 data, stop)."""
    return 10 * size / baud


def read_back(port: serial.SerialBase, expected: int, idle: float) -> bytes:
    """Reads until `expected` bytes have come, or nothing has come for `idle` seconds."""
    received = bytearray()
    last = time.monotonic()
    while len(received) < expected and time.monotonic() - last < idle:
        chunk = port.read(expected - len(received))  # returns early on the port's read timeout
        if chunk:
            received += chunk
            last = time.monotonic()
    return bytes(received)


@dataclass
class Frame:
    offset: int
    raw: bytes

    @property
    def address(self) -> int:
        return self.raw[0]

    @property
    def body(self) -> bytes:
        return self.raw[HEADER.size :]


@dataclass
class Skipped:
    """Bytes that do not start a plausible frame."""

    offset: int
    raw: bytes


def split_frames(stream: bytes) -> Iterator[Frame | Skipped]:
    """Splits a byte stream into frames by their length field.

    Frames carry no start marker or checksum, so a frame is taken only where
    the command code after the header is a known one and the length field is
    one that command's body can have. Anywhere else the stream is out of step:
    that byte is reported as skipped and the search goes on from the next one,
    so a corrupt length can never swallow the frames after it. A frame cut
    short at the end of the stream is reported as skipped too.
    """
    pos = 0
    junk_start = None
    while pos < len(stream):
        frame_end = None
        if len(stream) - pos > HEADER.size:
            _, length = HEADER.unpack_from(stream, pos)
            command = stream[pos + HEADER.size]
            if length in BODY_LENGTHS.get(command, ()) and pos + HEADER.size + length <= len(stream):
                frame_end = pos + HEADER.size + length
        if frame_end is None:
            if junk_start is None:
                junk_start = pos
            pos += 1
            continue
        if junk_start is not None:
            yield Skipped(junk_start, stream[junk_start:pos])
            junk_start = None
        yield Frame(pos, stream[pos:frame_end])
        pos = frame_end
    if junk_start is not None:
        yield Skipped(junk_start, stream[junk_start:])


def describe_payload(command: int, payload: bytes) -> str:
    if command == SYS_RESET and not payload:
        return "(none)"
    if command == SET_TEMPERATURE and len(payload) == 4:
        (value,) = struct.unpack(">f", payload)
        return f"temperature {value!r}"
    if command == SET_CHANNEL and payload:
        kind = payload[0]
        if kind == 0 and len(payload) == 1 + FLOATS.size:
            head, floats = "none", payload[1:]
        elif kind in (1, 2) and len(payload) == 2 + FLOATS.size:
            codes = RTD_BY_CODE if kind == 1 else TC_BY_CODE
            family = "RTD" if kind == 1 else "TC"
            head, floats = f"{family} {codes.get(payload[1], f'unknown sensor 0x{payload[1]:02X}')}", payload[2:]
        else:
            return f"malformed channel payload: {payload.hex(' ').upper()}"
        fields = ", ".join(f"{name} {value!r}" for name, value in zip(RESISTANCES, FLOATS.unpack(floats), strict=True))
        return f"{head}, {fields}"
    return f"unexpected payload for this command: {payload.hex(' ').upper()}"


def dump(item: Frame | Skipped, number: int) -> list[str]:
    """An annotated dump of one frame (or of skipped bytes)."""
    if isinstance(item, Skipped):
        return [f"@{item.offset}: {len(item.raw)} byte(s) outside any frame: {item.raw.hex(' ').upper()}"]
    command, packet_id = COMMAND.unpack_from(item.body)
    name = COMMAND_NAMES.get(command, "unknown")
    return [
        f"frame {number} @{item.offset}: {len(item.raw)} bytes  {item.raw.hex(' ').upper()}",
        f"  address  0x{item.address:02X} (channel {(item.address - ADDRESS_OFFSET) % 256})",
        f"  length   {len(item.body)}",
        f"  command  0x{command:02X} ({name})",
        f"  id       {packet_id}",
        f"  payload  {describe_payload(command, item.body[COMMAND.size :])}",
    ]


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Send a board configuration over a serial link and dump what comes back.",
        epilog="Example: 0=rtd:PT100:400:18:1000:10 1=tc:K:50:0.5:100:1 2=none",
    )
    parser.add_argument(
        "channels",
        metavar="CHANNEL=KIND[:SENSOR][:MAX:MIN:SHUNT:R_AIN0]",
        nargs="+",
        type=parse_channel,
        help="one channel's configuration; KIND is rtd, tc or none",
    )
    parser.add_argument(
        "--temperature",
        metavar="CHANNEL=VALUE",
        action="append",
        default=[],
        type=parse_temperature,
        help="also send a set-temperature command (repeatable)",
    )
    parser.add_argument("--reset", action="store_true", help="finish with a board reset")
    parser.add_argument("--first-id", type=int, default=1, help="id of the first packet (default: 1)")
    parser.add_argument("--port", default="loop://", help="serial device or pyserial URL (default: loop://)")
    parser.add_argument("--baud", type=positive_int, default=115200, help="baud rate of a real port (default: 115200)")
    parser.add_argument(
        "--timeout",
        type=positive_seconds,
        default=1.0,
        help="seconds to wait for more bytes when reading, and for a write beyond the time it takes (default: 1.0)",
    )
    parser.add_argument(
        "--echo",
        action=argparse.BooleanOptionalAction,
        help=f"check that the stream read back is the one sent (default: only on {LOOPBACK})",
    )
    args = parser.parse_args(argv)
    if args.echo is None:
        args.echo = args.port.startswith(LOOPBACK)
    count = len(args.channels) + len(args.temperature)
    if not 0 <= args.first_id <= MAX_ID:
        parser.error(f"--first-id {args.first_id} is not a packet id (0..{MAX_ID})")
    if args.first_id + count - 1 > MAX_ID:
        parser.error(
            f"with --first-id {args.first_id}, packet {MAX_ID - args.first_id + 2} of {count} would get id "
            f"{MAX_ID + 1}, beyond {MAX_ID}: give a --first-id of at most {MAX_ID - count + 1}"
        )
    return args


def counted(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def system_error(error: BaseException) -> tuple[int | None, str]:
    """The errno and the system's own words for a link error.

    pyserial raises its own exception from the OSError and restates the port
    and the errno in its text, so the OSError it came from is preferred;
    termios errors carry (errno, text) as their arguments.
    """
    origin = error.__cause__ or error.__context__
    if isinstance(origin, OSError) and origin.strerror:
        return origin.errno, origin.strerror
    if len(error.args) == 2 and isinstance(error.args[0], int) and isinstance(error.args[1], str):
        return error.args[0], error.args[1]
    return None, str(error)


def access_hint(path: str) -> str:
    """What would let this user open the device at `path`."""
    try:
        info = os.stat(path)
        owner = pwd.getpwuid(info.st_uid).pw_name
        group = grp.getgrgid(info.st_gid).gr_name
    except (OSError, KeyError):
        return "your user needs read and write access to the device"
    device = f"the device ({stat.filemode(info.st_mode)} {owner}:{group})"
    if info.st_mode & 0o060 == 0o060:
        return f"{device} is open to group {group!r}: join it (sudo usermod -aG {group} $USER) and log in again"
    return f"your user needs read and write access to {device}"


def describe_link_error(error: BaseException, port: str) -> str:
    number, words = system_error(error)
    if number in (errno.EACCES, errno.EPERM):
        return f"{words}; {access_hint(port)}"
    if number == errno.EIO:
        return f"{words} (the device went away, or its other end hung up)"
    return words


def echo_difference(sent: bytes, received: bytes) -> str | None:
    """What is wrong with `received` as an echo of `sent`, or None."""
    if received == sent:
        return None
    if not received:
        return f"nothing came back of the {len(sent)} bytes sent"
    pairs = zip(sent, received, strict=False)
    at = next((i for i, (a, b) in enumerate(pairs) if a != b), min(len(sent), len(received)))
    return f"the stream read back differs from the {len(sent)} bytes sent from byte {at} on ({len(received)} read back)"


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    packets = build_packets(args.channels, args.temperature, args.reset, args.first_id)
    sent = b"".join(packets)

    # The write may take as long as sending the bytes does, and then the timeout.
    write_timeout = transfer_time(len(sent), args.baud) + args.timeout
    try:
        port = serial.serial_for_url(args.port, baudrate=args.baud, timeout=0.05, write_timeout=write_timeout)
    except LINK_ERRORS + (ValueError,) as error:  # ValueError: a bad URL or setting
        print(f"cannot open {args.port}: {describe_link_error(error, args.port)}", file=sys.stderr)
        return 1
    doing = "writing"
    try:
        with port:
            print(f"port {args.port} at {args.baud} baud: writing {counted(len(packets), 'packet')}, {len(sent)} bytes")
            port.write(sent)
            port.flush()
            doing = "reading back"
            received = read_back(port, len(sent), args.timeout)
    except serial.SerialTimeoutException:
        print(f"{args.port}: writing {len(sent)} bytes timed out after {write_timeout:.3g} s", file=sys.stderr)
        return 1
    except LINK_ERRORS as error:
        print(f"{args.port}: the link failed while {doing}: {describe_link_error(error, args.port)}", file=sys.stderr)
        return 1
    print(f"read back {counted(len(received), 'byte')}")
    print()

    frames = 0
    for item in split_frames(received):
        if isinstance(item, Frame):
            frames += 1
        print("\n".join(dump(item, frames)))
    if received:
        print()
    found = counted(frames, "frame")
    if not args.echo:
        print(f"{found} read back; no echo expected on {args.port}, so none checked (--echo checks)")
        return 0
    difference = echo_difference(sent, received)
    if difference:
        print(f"echo check failed: {difference}", file=sys.stderr)
        return 1
    print(f"{found}; the stream read back is byte for byte what was sent")
    return 0


if __name__ == "__main__":
    sys.exit(main())
