// Get-status payload: one byte, the status selector. Built only with the
// test-only command (KELVANE_TEST_COMMAND), which shows a command added by
// its declaration alone.
#pragma once

#include "hal/common/src/packets/mod.hpp"

namespace kelvane::packets {

struct GetStatusPayload {
    static constexpr CommandCode kCode{0x02};
    static constexpr std::size_t kMaxSize = 1;
    // The board answers with every status field.
    static constexpr std::uint8_t kAllFields = 0x01;

    void encode(Body& out) const { out.put_u8(kAllFields); }
};

}  // namespace kelvane::packets
