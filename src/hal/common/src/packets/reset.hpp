// Sys-reset payload: none. The reset packet never varies: id 1, no channel
// (address byte 0x10).
#pragma once

#include "hal/common/src/packets/mod.hpp"

namespace kelvane::packets {

struct SysResetPayload {
    static constexpr CommandCode kCode{0x01};
    static constexpr std::size_t kMaxSize = 0;

    void encode(Body&) const {}
};

inline constexpr std::uint32_t kSysResetId = 1;
inline constexpr std::uint64_t kSysResetChannel = 0;

}  // namespace kelvane::packets
