from . import packets as packets
from . import rtd as rtd

__all__ = ["packets", "rtd"]
