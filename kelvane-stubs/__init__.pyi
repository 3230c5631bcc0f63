"""Packet builders for the temperature board.

Each builder returns one complete packet as new `bytes`; nothing is sent and
no state is kept between calls. The channel model (`ChannelConfig`,
`ChannelType`, `RTDType`, `TCType`) lives in
`kelvane.channel.packets.set_channel`.

Every packet is framed the same way, big-endian: an address byte, a 4-byte
body length, a command code, the 4-byte packet `id`, then the payload.

Example:
    >>> import kelvane
    >>> from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType
    >>> cfg = ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)
    >>> len(kelvane.set_channel_request(1, cfg, 7))
    28
"""

from typing import SupportsFloat, SupportsIndex

from . import channel as channel
from .channel.packets.set_channel import ChannelConfig

__all__ = ["channel", "set_channel_request", "sys_reset", "set_temperature_request"]

def set_channel_request(c_number: SupportsIndex, c_config: ChannelConfig, id: SupportsIndex) -> bytes:
    """Build the packet that configures channel `c_number` from `c_config`.

    The packet is 28 bytes for an RTD or thermocouple channel and 27 for an
    unused one (no sensor byte). `c_config` is copied when the function is
    called: changing it afterwards does not change the packet.

    Args:
        c_number: the channel, 0 to `2**64 - 1` (an `int` or any object with
            `__index__`; not a `float`). The address byte is
            `(c_number + 0x10) % 256`, so channels 240 and up wrap round to
            the addresses of channels 0, 1, ...
        c_config: the channel's configuration, a `ChannelConfig`.
        id: the packet id, 0 to `2**32 - 1`, sent as a big-endian u32.

    Returns:
        The packet, made of the address byte, body length, command code
        0x00, `id`, then the channel kind (0x00 unused, 0x01 RTD, 0x02
        thermocouple), the sensor code (`int()` of the member; absent for an
        unused channel) and the four resistances as big-endian binary32.

    Raises:
        TypeError: an argument of the wrong type; the message begins with
            ``argument 'c_number':``, ``argument 'c_config':`` or
            ``argument 'id':``.
        OverflowError: `c_number` or `id` out of its range.

    Example:
        >>> cfg = ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)
        >>> kelvane.set_channel_request(1, cfg, 7).hex(" ")
        '11 00 00 00 17 00 00 00 00 07 01 00 43 c8 00 00 41 90 00 00 44 7a 00 00 41 20 00 00'
        >>> kelvane.set_channel_request(id=7, c_config=cfg, c_number=241)[0]  # (241 + 0x10) % 256
        1
    """

def sys_reset() -> bytes:
    """Build the packet that tells the board to reset itself.

    Always the same 10 bytes: address 0x10 (channel 0), body length 5,
    command code 0x01, packet id 1, no payload. Takes no arguments (any
    argument raises `TypeError`); each call returns a new `bytes` object.

    Example:
        >>> kelvane.sys_reset()
        b'\\x10\\x00\\x00\\x00\\x05\\x01\\x00\\x00\\x00\\x01'
    """

def set_temperature_request(
    c_number: SupportsIndex, temperature_value: SupportsFloat | SupportsIndex, id: SupportsIndex
) -> bytes:
    """Build the packet that sets the temperature of channel `c_number`: 14 bytes.

    Args:
        c_number: the channel, 0 to `2**64 - 1`; the address byte is
            `(c_number + 0x10) % 256`, as for `set_channel_request`.
        temperature_value: a real number (`float`, `int`, `bool`, or an
            object with `__float__` or `__index__`), sent as an IEEE 754
            binary32, big-endian, narrowed with round-to-nearest-even. No
            unit, range or clamping is applied: a magnitude beyond binary32
            goes out as an infinity, NaN as NaN.
        id: the packet id, 0 to `2**32 - 1`, sent as a big-endian u32.

    Returns:
        The packet, made of the address byte, body length 9, command code
        0xF0, `id`, then the four bytes of the temperature.

    Raises:
        TypeError: an argument of the wrong type; the message begins with
            ``argument '<name>':``.
        OverflowError: `c_number` or `id` out of its range, or an `int`
            temperature too large for a double.

    Example:
        >>> kelvane.set_temperature_request(3, 25.5, 2).hex(" ")
        '13 00 00 00 09 f0 00 00 00 02 41 cc 00 00'
        >>> kelvane.set_temperature_request(3, 0.1, 2)[-4:].hex(" ")  # nearest binary32
        '3d cc cc cd'
    """
