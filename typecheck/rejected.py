"""Calls that kelvane refuses at run time, so its stubs must refuse them too.

Each line carries `# type: ignore[code]` for the error it must raise. mypy runs
with warn_unused_ignores and pyright with reportUnnecessaryTypeIgnoreComment,
so a stub that grows wider than the call accepts (an `id: float`, say) leaves
an ignore with nothing to ignore, and the check fails. Never run.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

if TYPE_CHECKING:
    from kelvane.channel.packets.set_channel import ChannelType_None


def builders(cfg: ChannelConfig) -> None:
    kelvane.sys_reset(0)  # type: ignore[call-arg]
    kelvane.set_channel_request(1.0, cfg, 7)  # type: ignore[arg-type]
    kelvane.set_channel_request("1", cfg, 7)  # type: ignore[arg-type]
    kelvane.set_channel_request(1, cfg, 7.0)  # type: ignore[arg-type]
    kelvane.set_channel_request(1, cfg, "7")  # type: ignore[arg-type]
    kelvane.set_channel_request(1, 3, 7)  # type: ignore[arg-type]
    kelvane.set_channel_request(1, ChannelType.RTD(RTDType.PT100), 7)  # type: ignore[arg-type]
    kelvane.set_channel_request(1, cfg)  # type: ignore[call-arg]
    kelvane.set_channel_request(1, cfg, 7, channel=2)  # type: ignore[call-arg]
    kelvane.set_channel_request(1, cfg, 7, 8)  # type: ignore[call-arg]
    kelvane.set_temperature_request(1.0, 25.0, 2)  # type: ignore[arg-type]
    kelvane.set_temperature_request(1, 25.0, 2.0)  # type: ignore[arg-type]
    kelvane.set_temperature_request(1, "25", 2)  # type: ignore[arg-type]
    kelvane.set_temperature_request(1, None, 2)  # type: ignore[arg-type]
    kelvane.set_temperature_request(1, 25.0)  # type: ignore[call-arg]
    kelvane.set_temperature_request(1, 25.0, 2, temperature=3)  # type: ignore[call-arg]


def placement() -> None:
    kelvane.ChannelConfig  # type: ignore[attr-defined]  # noqa: B018
    kelvane.channel.rtd.packets.set_temperature.set_temperature_request  # type: ignore[attr-defined]  # noqa: B018
    kelvane.channel.packets.sys_reset  # type: ignore[attr-defined]  # noqa: B018


def channel_model(cfg: ChannelConfig, unused: type[ChannelType_None]) -> None:
    ChannelType.RTD(TCType.K)  # type: ignore[arg-type]
    ChannelType.TC(RTDType.PT100)  # type: ignore[arg-type]
    ChannelType.RTD(0)  # type: ignore[arg-type]
    ChannelType.TC()  # type: ignore[call-arg]
    ChannelType.RTD(RTDType.PT100, RTDType.PT500)  # type: ignore[call-arg]
    unused(RTDType.PT100)  # type: ignore[call-arg]
    ChannelType.RTD(RTDType.PT100)[1.0]  # type: ignore[index]
    ChannelType.RTD(RTDType.PT100)._0 = RTDType.PT500  # type: ignore[misc]
    RTDType.PT100 < RTDType.PT500  # type: ignore[operator]  # noqa: B015
    [0, 1][TCType.J]  # type: ignore[call-overload]  # noqa: B018
    ChannelConfig(RTDType.PT100, 1.0, 2.0, 3.0, 4.0)  # type: ignore[arg-type]
    ChannelConfig(ChannelType.RTD(RTDType.PT100), 1.0, 2.0)  # type: ignore[call-arg]
    ChannelConfig(ChannelType.RTD(RTDType.PT100), "1", 2, 3, 4)  # type: ignore[arg-type]
    ChannelConfig(ChannelType.RTD(RTDType.PT100), 1, 2, 3, 4, gain=2)  # type: ignore[call-arg]
    cfg.shunt_resistance = "1.0"  # type: ignore[assignment]
    cfg.channel_type = TCType.K  # type: ignore[assignment]
    cfg.gain = 2.0  # type: ignore[attr-defined]

    class Sub(ChannelType.RTD):  # type: ignore[misc]
        pass
