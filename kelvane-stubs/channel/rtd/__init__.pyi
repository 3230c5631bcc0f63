"""Holds `packets.set_temperature`, an empty module kept for its place in the module tree."""

from . import packets as packets

__all__ = ["packets"]
