"""Build the command packets for a small temperature board and print them.

kelvane only builds packets: each call returns the complete bytes for one
command, and sending them over the board's link is up to the caller.
Run this with kelvane installed (``make demo`` builds it and runs this file).
"""

from __future__ import annotations

from itertools import count

import kelvane
from kelvane.channel.packets.set_channel import (
    ChannelConfig,
    ChannelType,
    RTDType,
    TCType,
)

# The variant for an unused channel is named ``None``, which is a Python
# keyword, so it has to be looked up with getattr.
UnusedChannel = getattr(ChannelType, "None")

LABEL_WIDTH = 40


def show(label: str, packet: bytes) -> None:
    """Print what a packet is, then its bytes in hex."""
    print(f"{label:<{LABEL_WIDTH}} {packet.hex(' ').upper()}")


def describe(channel_type: ChannelType) -> str:
    """Say in words how a channel is driven."""
    match channel_type:
        case ChannelType.RTD(sensor):
            return f"RTD, sensor {sensor!r}"
        case ChannelType.TC(sensor):
            return f"thermocouple, sensor {sensor!r}"
        case _:
            return "unused"


def single_packets() -> None:
    print("Single packets")
    show("sys_reset()", kelvane.sys_reset())
    for channel, celsius, packet_id in [(3, 25.5, 2), (0, -12.25, 3), (1, 100.0, 4)]:
        show(
            f"set_temperature_request({channel}, {celsius}, {packet_id})",
            kelvane.set_temperature_request(channel, celsius, packet_id),
        )


def board() -> list[ChannelConfig]:
    """Channel configurations, in channel order.

    The fields are channel type, max_resistance, min_resistance,
    shunt_resistance and r_ain0, in ohms. They are stored as single-precision
    floats, so a value such as 0.1 reads back as 0.10000000149011612.
    """
    return [
        ChannelConfig(ChannelType.RTD(RTDType.PT100), 400.0, 18.0, 1000.0, 10.0),
        ChannelConfig(ChannelType.RTD(RTDType.PT1000), 4000.0, 180.0, 10000.0, 100.0),
        ChannelConfig(ChannelType.TC(TCType.K), 50.0, 0.5, 100.0, 1.0),
        ChannelConfig(UnusedChannel(), 0.0, 0.0, 0.0, 0.0),
    ]


def configure_board(packet_ids: count[int]) -> None:
    print("Configuring a four-channel board")
    for channel, cfg in enumerate(board()):
        print(f"channel {channel}: {describe(cfg.channel_type)}")
        print(
            f"  max_resistance={cfg.max_resistance} min_resistance={cfg.min_resistance}"
            f" shunt_resistance={cfg.shunt_resistance} r_ain0={cfg.r_ain0}"
        )
        packet_id = next(packet_ids)
        show(
            f"  set_channel_request({channel}, cfg, {packet_id})",
            kelvane.set_channel_request(channel, cfg, packet_id),
        )

    print()
    print("Setting a temperature, then resetting the board")
    packet_id = next(packet_ids)
    show(
        f"set_temperature_request(0, 21.0, {packet_id})",
        kelvane.set_temperature_request(0, 21.0, packet_id),
    )
    show("sys_reset()", kelvane.sys_reset())


def main() -> None:
    single_packets()
    print()
    configure_board(count(10))


if __name__ == "__main__":
    main()
