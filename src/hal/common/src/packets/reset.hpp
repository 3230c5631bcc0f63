#pragma once

#include "hal/common/src/packets/mod.hpp"

namespace kelvane::packets {

// The reset packet never varies: id 1, no channel (address byte 0x10).
inline constexpr std::uint32_t kSysResetId = 1;
inline constexpr std::uint64_t kSysResetChannel = 0;

[[nodiscard]] inline PacketFrame sys_reset_frame() {
    return encode_frame(CommandRecord{kSysResetId, SysResetPayload{}}, kSysResetChannel);
}

}  // namespace kelvane::packets
