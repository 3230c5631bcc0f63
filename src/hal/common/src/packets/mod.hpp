// The command record, the packet frame and its encoder: everything the three
// builders share. Plain C++; the binding layer copies the frame straight into
// the bytes object it returns.
//
// Wire format (big-endian): address byte, body length (u32), then the body:
// command code (u8), id (u32), payload.
#pragma once

#include <cstdint>
#include <cstring>
#include <variant>

#include "channel/model.hpp"
#include "channel/packets/set_channel/payload.hpp"
#include "hal/common/src/packets/buffer.hpp"

namespace kelvane::packets {

enum class CommandCode : std::uint8_t { SetChannel = 0x00, SysReset = 0x01, SetTemperature = 0xF0 };

struct SysResetPayload {};
struct SetTemperaturePayload {
    float temperature;
};
using Payload = std::variant<channel::ChannelConfigRecord, SysResetPayload, SetTemperaturePayload>;

// The command code is not stored: it always follows from the payload kind.
struct CommandRecord {
    std::uint32_t id;
    Payload payload;

    [[nodiscard]] CommandCode code() const {
        switch (payload.index()) {
            case 0: return CommandCode::SetChannel;
            case 1: return CommandCode::SysReset;
            default: return CommandCode::SetTemperature;
        }
    }
};

// command code + id + the largest payload
inline constexpr std::size_t kBodyCapacity = 1 + 4 + kChannelConfigPayloadMax;
inline constexpr std::size_t kHeaderSize = 1 + 4;
inline constexpr std::size_t kPacketCapacity = kHeaderSize + kBodyCapacity;

using Body = ByteBuffer<kBodyCapacity>;

struct PacketFrame {
    std::uint8_t address;
    std::uint32_t body_length;
    Body body;

    [[nodiscard]] std::size_t packet_size() const { return kHeaderSize + body_length; }

    // Writes the whole packet; `out` must hold packet_size() bytes.
    void write_to(std::uint8_t* out) const {
        const std::size_t length = body_length;
        const std::uint8_t header[kHeaderSize] = {
            address, static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
        std::memcpy(out, header, kHeaderSize);
        copy_short(out + kHeaderSize, body.data(), length);
    }

  private:
    // A body is 5 to kBodyCapacity bytes. Two fixed-size moves that may
    // overlap copy it in a few instructions, where a copy of variable length
    // loops or calls.
    static void copy_short(std::uint8_t* out, const std::uint8_t* in, std::size_t n) {
        static_assert(kBodyCapacity <= 32);
        if (n >= 16) {
            std::memcpy(out, in, 16);
            std::memcpy(out + n - 16, in + n - 16, 16);
        } else if (n >= 8) {
            std::memcpy(out, in, 8);
            std::memcpy(out + n - 8, in + n - 8, 8);
        } else {
            std::memcpy(out, in, 4);
            std::memcpy(out + n - 4, in + n - 4, 4);
        }
    }
};

// Only the low 8 bits of channel + 0x10 reach the wire: the address wraps.
[[nodiscard]] constexpr std::uint8_t address_byte(std::uint64_t channel_number) {
    return static_cast<std::uint8_t>(channel_number + 0x10);
}

[[nodiscard]] inline PacketFrame encode_frame(const CommandRecord& record, std::uint64_t channel_number) {
    PacketFrame frame{address_byte(channel_number), 0, {}};
    Body& body = frame.body;
    body.put_u8(static_cast<std::uint8_t>(record.code()));
    body.put_u32_be(record.id);
    if (const auto* config = std::get_if<channel::ChannelConfigRecord>(&record.payload)) {
        encode_channel_config(body, *config);
    } else if (const auto* temperature = std::get_if<SetTemperaturePayload>(&record.payload)) {
        body.put_f32_be(temperature->temperature);
    }
    frame.body_length = static_cast<std::uint32_t>(body.size());
    return frame;
}

}  // namespace kelvane::packets
