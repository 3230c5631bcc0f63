"""Holds `set_temperature`, an empty module kept for its place in the module tree."""

from . import set_temperature as set_temperature

__all__ = ["set_temperature"]
