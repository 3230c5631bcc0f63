// A fixed-capacity byte buffer that the encoders append to. Packets are tiny
// and bounded, so nothing here touches the heap.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace kelvane::packets {

static_assert(std::numeric_limits<float>::is_iec559, "floats travel as IEEE 754 binary32");
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "the encoders write big-endian words from a little- or big-endian machine");

// Raised by the core when an encoder breaks one of its own invariants; valid
// input never reaches it.
class EncodeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

template <std::size_t Capacity>
class ByteBuffer {
  public:
    static constexpr std::size_t capacity = Capacity;

    // User-provided, so that even value-initialisation (`Body{}`) leaves the
    // bytes alone instead of zero-filling them first.
    ByteBuffer() {}

    // Each write reads the position once and stores it once: the data bytes
    // may alias it, so a write through `data_[size_ + k]` would reload it.
    void put_u8(std::uint8_t byte) {
        const std::size_t at = size_;
        if (at >= Capacity) overflow();
        data_[at] = byte;
        size_ = at + 1;
    }

    // One byte swap and one 4-byte store: Clang does not merge four byte
    // stores at a variable position the way GCC does.
    void put_u32_be(std::uint32_t value) {
        const std::size_t at = size_;
        if (Capacity - at < 4) overflow();
        const std::uint32_t wire = std::endian::native == std::endian::big ? value : byte_swap(value);
        std::memcpy(data_.data() + at, &wire, sizeof wire);
        size_ = at + 4;
    }

    // Floats go out as their binary32 bits, most significant byte first.
    void put_f32_be(float value) { put_u32_be(std::bit_cast<std::uint32_t>(value)); }

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] const std::uint8_t* data() const { return data_.data(); }

  private:
    // Compiles to one bswap (rev on ARM) with GCC and Clang alike.
    static constexpr std::uint32_t byte_swap(std::uint32_t v) {
        return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
    }

    // Out of line, so that the writes stay small enough to inline; once
    // inlined into an encoder, the checks fold away where the position is known.
    [[noreturn, gnu::noinline, gnu::cold]] static void overflow() {
        throw EncodeError("packet body exceeds its capacity");
    }

    // Left uninitialised: only the first size_ bytes are ever read.
    std::array<std::uint8_t, Capacity> data_;
    std::size_t size_ = 0;
};

}  // namespace kelvane::packets
