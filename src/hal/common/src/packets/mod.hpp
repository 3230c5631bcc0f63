// The packet frame and its encoder, shared by every command. Plain C++; the
// binding layer copies the frame straight into the bytes object it returns.
//
// Wire format (big-endian): address byte, body length (u32), then the body:
// command code (u8), id (u32), payload.
//
// Each command is a payload kind that carries its own command code and its
// own encoder (PayloadKind below); the frame encoder asks the kind for both,
// so a kind that lacks either does not compile. commands.hpp lists the kinds.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include <variant>

#include "hal/common/src/packets/buffer.hpp"

namespace kelvane::packets {

// The byte after the body length that tells the board which command follows.
struct CommandCode {
    std::uint8_t value;
};

inline constexpr std::size_t kHeaderSize = 1 + 4;      // address, body length
inline constexpr std::size_t kBodyHeaderSize = 1 + 4;  // command code, id
// The frame copies a body with two fixed-size moves of at most 16 bytes each
// (PacketFrame::copy_short), so no body may be longer; each payload kind's
// kMaxSize must fit in it after the command code and id.
inline constexpr std::size_t kBodyCapacity = 32;
inline constexpr std::size_t kPacketCapacity = kHeaderSize + kBodyCapacity;

using Body = ByteBuffer<kBodyCapacity>;

// A command's payload: its command code, the most bytes it encodes to, and
// its encoder.
template <class Kind>
concept PayloadKind = requires(const Kind& payload, Body& body) {
    { Kind::kCode } -> std::same_as<const CommandCode&>;
    { Kind::kMaxSize } -> std::convertible_to<std::size_t>;
    { payload.encode(body) } -> std::same_as<void>;
};

// Asserted one kind at a time, so that the compiler names the kind and what
// it lacks.
template <class Kind>
consteval bool assert_payload_kind() {
    static_assert(PayloadKind<Kind>, "a payload kind needs kCode, kMaxSize and encode(Body&)");
    if constexpr (PayloadKind<Kind>) {
        static_assert(Kind::kMaxSize <= kBodyCapacity - kBodyHeaderSize,
                      "a payload kind's kMaxSize is more than kBodyCapacity leaves after the command code and id");
    }
    return true;
}

template <class... Kinds>
consteval bool codes_are_unique() {
    const std::uint8_t codes[] = {Kinds::kCode.value...};
    for (std::size_t i = 0; i < sizeof...(Kinds); ++i) {
        for (std::size_t j = i + 1; j < sizeof...(Kinds); ++j) {
            if (codes[i] == codes[j]) return false;
        }
    }
    return true;
}

// One command: its packet id and its payload, of one of the kinds listed. The
// command code is not stored: it always follows from the payload's kind.
template <class... Kinds>
    requires(assert_payload_kind<Kinds>() && ...)
struct CommandRecord {
    static_assert(codes_are_unique<Kinds...>(), "two payload kinds of the command list share a command code");

    std::uint32_t id;
    std::variant<Kinds...> payload;
};

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
        static_assert(kBodyCapacity <= 32, "kBodyCapacity is at most 32: copy_short moves a body in two halves of 16");
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

template <class... Kinds>
[[nodiscard]] inline PacketFrame encode_frame(const CommandRecord<Kinds...>& record, std::uint64_t channel_number) {
    PacketFrame frame{address_byte(channel_number), 0, {}};
    Body& body = frame.body;
    std::visit(
        [&]<class Kind>(const Kind& payload) {
            body.put_u8(Kind::kCode.value);
            body.put_u32_be(record.id);
            payload.encode(body);
        },
        record.payload);
    frame.body_length = static_cast<std::uint32_t>(body.size());
    return frame;
}

}  // namespace kelvane::packets
