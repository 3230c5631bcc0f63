"""Threads building packets from shared configurations while other threads
assign to them: no crash, and every packet encodes one complete state of its
configuration, a state that the configuration really had at some instant.

Each configuration has one writer, which goes through versions v = 1, 2, ...
and for each assigns all five fields in declaration order, every field
encoding v. At any instant the fields therefore read v for a prefix of the
declaration order and v - 1 for the rest; a packet holding anything else
mixes states or is corrupt.
"""

import sys
import threading
import time

import model
import pytest
from helpers import RTD_MEMBERS, TC_MEMBERS, ChannelType_None

import kelvane
from kelvane.channel.packets.set_channel import ChannelConfig, ChannelType, RTDType, TCType

pytestmark = pytest.mark.slow

DURATION = 2.0
CONFIGS = 3
READERS = 4

# Channel types by version, cycling: None, the RTD members, the TC members.
CYCLE = [(0, 0)] + [(1, i) for i in range(len(RTD_MEMBERS))] + [(2, i) for i in range(len(TC_MEMBERS))]


def channel_type_for(v):
    kind, sensor = CYCLE[v % len(CYCLE)]
    if kind == 0:
        return ChannelType_None()
    if kind == 1:
        return ChannelType.RTD(getattr(RTDType, RTD_MEMBERS[sensor]))
    return ChannelType.TC(getattr(TCType, TC_MEMBERS[sensor]))


class SlowIndex:
    """A channel number whose conversion lets other threads run in the middle
    of a call, before the configuration is read."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def decode(packet, c_number, id_):
    """(channel type code, [four float versions]) from a set-channel packet,
    which must be the model's encoding of them."""
    kind = packet[10]
    sensor = packet[11] if kind else 0
    bits = [int.from_bytes(packet[at : at + 4], "big") for at in range(len(packet) - 16, len(packet), 4)]
    record = model.ConfigRecord(model.ChannelTypeValue(kind, sensor), bits)
    assert packet == model.frame(c_number, model.CODE_SET_CHANNEL, id_, model.config_payload(record))
    values = [model.bits_double(model.f32_widened_bits(b)) for b in bits]
    assert all(v == int(v) for v in values), values
    return CYCLE.index((kind, sensor)), [int(v) for v in values]


def consistent(code, versions):
    """True if (code, versions) is a state the writer went through."""
    n = len(CYCLE)
    for v in {versions[0], versions[0] + 1}:
        for j in range(6):  # fields [0, j) at v, the rest at v - 1
            want = [v if i < j else v - 1 for i in range(5)]
            if code == want[0] % n and versions == want[1:]:
                return True
    return False


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_packets_encode_whole_states(fast_switching):
    configs = [ChannelConfig(channel_type_for(0), 0.0, 0.0, 0.0, 0.0) for _ in range(CONFIGS)]
    stop = threading.Event()
    errors = []
    counts = {"packets": 0, "assignments": 0}
    lock = threading.Lock()

    def writer(cfg):
        v = 0
        try:
            while not stop.is_set():
                v += 1
                value = float(v)
                cfg.channel_type = channel_type_for(v)
                cfg.max_resistance = value
                cfg.min_resistance = value
                cfg.shunt_resistance = value
                cfg.r_ain0 = v  # an int, converted like any other value
            with lock:
                counts["assignments"] += 5 * v
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    def reader(seed):
        n = 0
        try:
            while not stop.is_set():
                n += 1
                cfg = configs[(seed + n) % CONFIGS]
                c_number, id_ = (seed * 7 + n) % 300, n % 2**32
                arg = SlowIndex(c_number) if n % 3 == 0 else c_number
                if n % 2:
                    packet = kelvane.set_channel_request(arg, cfg, id_)
                else:
                    packet = kelvane.set_channel_request(id=id_, c_config=cfg, c_number=arg)
                code, versions = decode(packet, c_number, id_)
                assert consistent(code, versions), (code, versions)
                # A field read on its own is one of the values written.
                assert float(cfg.r_ain0).is_integer()
            with lock:
                counts["packets"] += n
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=writer, args=(cfg,)) for cfg in configs]
    threads += [threading.Thread(target=reader, args=(i,)) for i in range(READERS)]
    for thread in threads:
        thread.start()
    time.sleep(DURATION)
    stop.set()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []
    assert counts["packets"] > 1000 and counts["assignments"] > 1000, counts


def test_objects_shared_between_threads(fast_switching):
    """Variants, members and configurations made in one thread and used in
    many: constructors, getters, subscripts and packets all agree."""
    rtd = ChannelType.RTD(RTDType.Ni120)
    cfg = ChannelConfig(rtd, 1.0, 2.0, 3.0, 4.0)
    expected = kelvane.set_channel_request(5, cfg, 9)
    errors = []

    def work():
        try:
            for _ in range(3000):
                assert kelvane.set_channel_request(5, cfg, 9) == expected
                assert int(rtd[0]) == 7 and repr(rtd._0) == "RTDType.Ni120"
                assert type(cfg.channel_type) is ChannelType.RTD
                assert ChannelConfig(cfg.channel_type, cfg.max_resistance, 2, 3, 4.0).min_resistance == 2.0
                assert kelvane.set_temperature_request(SlowIndex(1), 25.5, 2)[-4:] == b"\x41\xcc\x00\x00"
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert errors == []
