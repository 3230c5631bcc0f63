"""Typed use of the whole kelvane surface, checked with mypy --strict.

assert_type pins what the stubs promise; the calls they must refuse are in
rejected.py. The module also runs: `python usage.py` exercises the same calls
against the installed extension.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_never, assert_type

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

if TYPE_CHECKING:
    from kelvane.channel.packets.set_channel import ChannelType_None

UnusedChannel: type[ChannelType_None] = getattr(ChannelType, "None")


def sensor_code(channel_type: ChannelType.RTD | ChannelType.TC | ChannelType_None) -> int | None:
    """Structural matching over every variant, checked for exhaustiveness."""
    match channel_type:
        case ChannelType.RTD(rtd):
            assert_type(rtd, RTDType)
            return int(rtd)
        case ChannelType.TC(tc):
            assert_type(tc, TCType)
            return int(tc)
        case ChannelType():  # only ChannelType_None is left
            assert_type(channel_type, "ChannelType_None")
            return None
        case _:
            assert_never(channel_type)


def builders() -> list[bytes]:
    cfg = ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0)
    packets = [
        kelvane.sys_reset(),
        kelvane.set_temperature_request(3, 25.5, 2),
        kelvane.set_temperature_request(c_number=3, temperature_value=25, id=True),
        kelvane.set_channel_request(1, cfg, 7),
        kelvane.set_channel_request(id=7, c_config=cfg, c_number=1),
    ]
    for packet in packets:
        assert_type(packet, bytes)
    return packets


def model() -> None:
    rtd = ChannelType.RTD(RTDType.PT1000)
    tc = ChannelType.TC(_0=TCType.K)
    unused = UnusedChannel()
    assert_type(rtd, ChannelType.RTD)
    assert_type(rtd._0, RTDType)
    assert_type(rtd[0], RTDType)
    assert_type(tc[0], TCType)
    assert_type(len(unused), int)
    assert_type(int(TCType.B), int)
    assert isinstance(rtd, ChannelType) and isinstance(unused, ChannelType)

    # Fields accept anything the float conversion takes; reads are float.
    cfg = ChannelConfig(tc, 50, 0.5, True, 1.0)
    assert_type(cfg.r_ain0, float)
    assert_type(cfg.channel_type, "ChannelType.RTD | ChannelType.TC | ChannelType_None")
    cfg.max_resistance = 100
    cfg.min_resistance = False
    cfg.channel_type = rtd
    assert sensor_code(cfg.channel_type) == 2
    assert sensor_code(unused) is None


if __name__ == "__main__":
    model()
    packets = builders()
    assert packets[1] == bytes.fromhex("13 00000009 f0 00000002 41cc0000")
    assert packets[3] == packets[4]
    print(f"usage.py: {len(packets)} packets built")
