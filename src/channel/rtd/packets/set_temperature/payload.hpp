// Set-temperature payload: the value as big-endian binary32.
#pragma once

#include "hal/common/src/packets/mod.hpp"

namespace kelvane::packets {

struct SetTemperaturePayload {
    static constexpr CommandCode kCode{0xF0};
    static constexpr std::size_t kMaxSize = 4;

    float temperature;

    void encode(Body& out) const { out.put_f32_be(temperature); }
};

}  // namespace kelvane::packets
