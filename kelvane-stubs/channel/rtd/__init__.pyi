from . import packets as packets

__all__ = ["packets"]
