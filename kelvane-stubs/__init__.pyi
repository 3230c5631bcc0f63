"""Packet builders for the temperature board.

Each builder returns one complete packet as new bytes; nothing is sent and no
state is kept between calls.
"""

from typing import SupportsFloat, SupportsIndex

from . import channel as channel
from .channel.packets.set_channel import ChannelConfig

__all__ = ["channel", "set_channel_request", "sys_reset", "set_temperature_request"]

def set_channel_request(c_number: SupportsIndex, c_config: ChannelConfig, id: SupportsIndex) -> bytes:
    """Configure channel `c_number` from a snapshot of `c_config`: 27 or 28 bytes."""

def sys_reset() -> bytes:
    """The board reset packet, always the same 10 bytes."""

def set_temperature_request(
    c_number: SupportsIndex, temperature_value: SupportsFloat | SupportsIndex, id: SupportsIndex
) -> bytes:
    """Set the temperature of channel `c_number`, sent as a binary32 float: 14 bytes."""
