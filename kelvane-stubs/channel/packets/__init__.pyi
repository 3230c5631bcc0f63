"""Holds `set_channel`, the channel model that `kelvane.set_channel_request` encodes."""

from . import set_channel as set_channel

__all__ = ["set_channel"]
