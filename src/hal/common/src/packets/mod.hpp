// The command record, the packet frame and its encoder: everything the three
// builders share. Plain C++; the binding layer copies the frame straight into
// the bytes object it returns.
//
// Wire format (big-endian): address byte, body length (u32), then the body:
// command code (u8), id (u32), payload.
#pragma once

#include <cstdint>
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
        out[0] = address;
        out[1] = static_cast<std::uint8_t>(body_length >> 24);
        out[2] = static_cast<std::uint8_t>(body_length >> 16);
        out[3] = static_cast<std::uint8_t>(body_length >> 8);
        out[4] = static_cast<std::uint8_t>(body_length);
        const std::uint8_t* body_bytes = body.data();
        for (std::size_t i = 0; i < body_length; ++i) out[kHeaderSize + i] = body_bytes[i];
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
