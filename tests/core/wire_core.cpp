// The packet core on its own, without Python: prints one line per packet, the
// worked examples (each checked against its known bytes) and records drawn
// from a fixed-seed generator. scripts/cross-core builds it for other
// architectures, one of them big-endian, and compares their lines with the
// native build's. Exits 1 if a worked example comes out wrong.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "hal/common/src/packets/commands.hpp"

namespace {

using kelvane::channel::ChannelKind;
using namespace kelvane::packets;

constexpr int kGenerated = 400;

std::string hex(const PacketFrame& frame) {
    std::uint8_t out[kPacketCapacity];
    frame.write_to(out);
    std::string text;
    char byte[3];
    for (std::size_t i = 0; i < frame.packet_size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02X", out[i]);
        text += byte;
    }
    return text;
}

PacketFrame temperature(std::uint64_t channel, float value, std::uint32_t id) {
    return encode_frame(Command{id, SetTemperaturePayload{value}}, channel);
}

PacketFrame config(std::uint64_t channel, ChannelKind kind, std::uint8_t sensor, float max, float min, float shunt,
                   float r_ain0, std::uint32_t id) {
    return encode_frame(Command{id, SetChannelPayload{{{kind, sensor}, max, min, shunt, r_ain0}}}, channel);
}

// The doubles go through the same narrowing as the binding layer's.
float narrow(double value) { return static_cast<float>(value); }

struct Example {
    const char* name;
    PacketFrame frame;
    const char* expected;
};

// splitmix64: the same sequence on every host.
struct Generator {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    // Any binary32 but a signalling NaN, whose quiet bit a host may set on a move.
    float any_float() {
        auto bits = static_cast<std::uint32_t>(next());
        if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu)) bits |= 0x00400000u;
        return std::bit_cast<float>(bits);
    }
    // A finite double, narrowed: rounding, underflow to subnormals and zero,
    // overflow to infinity.
    float narrowed() {
        std::uint64_t bits = next();
        if ((bits & 0x7FF0000000000000u) == 0x7FF0000000000000u) bits ^= 0x0010000000000000u;
        return narrow(std::bit_cast<double>(bits));
    }
    float resistance() { return next() % 2 ? any_float() : narrowed(); }
};

}  // namespace

int main() {
    const Example examples[] = {
        {"reset", sys_reset_frame(), "10000000050100000001"},
        {"temp-25.0", temperature(1, 25.0f, 7), "1100000009F00000000741C80000"},
        {"temp-25.5", temperature(3, 25.5f, 2), "1300000009F00000000241CC0000"},
        {"temp-int-25", temperature(3, narrow(25), 2), "1300000009F00000000241C80000"},
        {"temp-minus-40", temperature(3, narrow(-40.0), 2), "1300000009F000000002C2200000"},
        {"temp-0.1", temperature(3, narrow(0.1), 2), "1300000009F0000000023DCCCCCD"},
        {"temp-minus-zero", temperature(3, narrow(-0.0), 2), "1300000009F00000000280000000"},
        {"temp-nan", temperature(3, narrow(std::bit_cast<double>(0x7FF8000000000000u)), 2),
         "1300000009F0000000027FC00000"},
        {"temp-1e39", temperature(3, narrow(1e39), 2), "1300000009F0000000027F800000"},
        {"rtd", config(1, ChannelKind::Rtd, 0, 400.0f, 18.0f, 1000.0f, 10.0f, 7),
         "11000000170000000007010043C8000041900000447A000041200000"},
        {"tc", config(2, ChannelKind::Tc, 2, 50.0f, 0.5f, 100.0f, 1.0f, 258),
         "120000001700000001020202424800003F00000042C800003F800000"},
        {"none", config(0, ChannelKind::None, 0, 1.0f, narrow(-40.0), narrow(0.1), 0.0f, 1),
         "10000000160000000001003F800000C22000003DCCCCCD00000000"},
        {"floats-from-bits",
         config(0, ChannelKind::None, 0, std::bit_cast<float>(0x7FC00000u), std::bit_cast<float>(0x7F800000u), -0.0f,
                std::bit_cast<float>(0xFF800000u), 0),
         "10000000160000000000007FC000007F80000080000000FF800000"},
        {"address-wraps", temperature(0xF0, 1.0f, 1), "0000000009F0000000013F800000"},
        {"address-of-2**64-1", temperature(UINT64_MAX, 1.0f, 1), "0F00000009F0000000013F800000"},
        {"id-max", temperature(0, 0.0f, UINT32_MAX), "1000000009F0FFFFFFFF00000000"},
    };

    int failures = 0;
    for (const Example& example : examples) {
        const std::string got = hex(example.frame);
        std::printf("%s %s\n", example.name, got.c_str());
        if (got != example.expected) {
            std::fprintf(stderr, "wire_core: %s: got %s, expected %s\n", example.name, got.c_str(), example.expected);
            ++failures;
        }
    }

    // An unknown channel kind is refused by the encoder, on every host.
    try {
        config(0, static_cast<ChannelKind>(3), 0, 0, 0, 0, 0, 0);
        std::printf("unknown-kind encoded\n");
        ++failures;
    } catch (const EncodeError& error) {
        std::printf("unknown-kind %s\n", error.what());
    }

    Generator random{20261208};
    for (int i = 0; i < kGenerated; ++i) {
        const std::uint64_t channel = random.next();
        const auto id = static_cast<std::uint32_t>(random.next());
        PacketFrame frame;
        switch (random.next() % 5) {
            case 0: frame = sys_reset_frame(); break;
            case 1: frame = temperature(channel, random.next() % 2 ? random.any_float() : random.narrowed(), id); break;
            default: {
                const auto kind = static_cast<ChannelKind>(random.next() % 3);
                const std::uint8_t count =
                    kind == ChannelKind::Rtd ? kelvane::channel::kRtdTypeCount : kelvane::channel::kTcTypeCount;
                const auto sensor = kind == ChannelKind::None ? 0 : static_cast<std::uint8_t>(random.next() % count);
                // One at a time: the order in which arguments are evaluated varies.
                float r[4];
                for (float& value : r) value = random.resistance();
                frame = config(channel, kind, sensor, r[0], r[1], r[2], r[3], id);
            }
        }
        std::printf("generated-%d %s\n", i, hex(frame).c_str());
    }

    std::fprintf(stderr, "wire_core: %zu worked examples, %d generated records; host %s-endian, %zu-bit pointers\n",
                 std::size(examples), kGenerated, std::endian::native == std::endian::big ? "big" : "little",
                 sizeof(void*) * 8);
    return failures ? 1 : 0;
}
