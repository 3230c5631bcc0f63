// A fixed-capacity byte buffer that the encoders append to. Packets are tiny
// and bounded, so nothing here touches the heap.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace kelvane::packets {

static_assert(std::numeric_limits<float>::is_iec559, "floats travel as IEEE 754 binary32");

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

    void put_u8(std::uint8_t byte) {
        if (size_ >= Capacity) throw EncodeError("packet body exceeds its capacity");
        data_[size_++] = byte;
    }

    void put_u32_be(std::uint32_t value) {
        if (Capacity - size_ < 4) throw EncodeError("packet body exceeds its capacity");
        data_[size_] = static_cast<std::uint8_t>(value >> 24);
        data_[size_ + 1] = static_cast<std::uint8_t>(value >> 16);
        data_[size_ + 2] = static_cast<std::uint8_t>(value >> 8);
        data_[size_ + 3] = static_cast<std::uint8_t>(value);
        size_ += 4;
    }

    // Floats go out as their binary32 bits, most significant byte first.
    void put_f32_be(float value) { put_u32_be(std::bit_cast<std::uint32_t>(value)); }

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] const std::uint8_t* data() const { return data_.data(); }

  private:
    std::array<std::uint8_t, Capacity> data_{};
    std::size_t size_ = 0;
};

}  // namespace kelvane::packets
