from . import set_temperature as set_temperature

__all__ = ["set_temperature"]
