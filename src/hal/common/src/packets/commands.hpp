// Every command the board takes, one payload kind each: the command list.
#pragma once

#include "channel/packets/set_channel/payload.hpp"
#include "channel/rtd/packets/set_temperature/payload.hpp"
#include "hal/common/src/packets/mod.hpp"
#include "hal/common/src/packets/reset.hpp"
#ifdef KELVANE_TEST_COMMAND
#include "hal/common/src/packets/status/payload.hpp"
#endif

namespace kelvane::packets {

// The command list, followed by `More`: a test program's own kinds join the
// list this way, checked with the rest.
template <class... More>
using CommandWith = CommandRecord<SetChannelPayload, SysResetPayload, SetTemperaturePayload,
#ifdef KELVANE_TEST_COMMAND
                                  GetStatusPayload,
#endif
                                  More...>;

using Command = CommandWith<>;

[[nodiscard]] inline PacketFrame sys_reset_frame() {
    return encode_frame(Command{kSysResetId, SysResetPayload{}}, kSysResetChannel);
}

}  // namespace kelvane::packets
