from . import set_channel as set_channel

__all__ = ["set_channel"]
