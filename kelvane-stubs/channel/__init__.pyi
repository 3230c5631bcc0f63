"""Channel commands and the channel model; see `kelvane.channel.packets.set_channel`."""

from . import packets as packets
from . import rtd as rtd

__all__ = ["packets", "rtd"]
