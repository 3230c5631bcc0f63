// Every command the board takes, one payload kind each.
#pragma once

#include "channel/packets/set_channel/payload.hpp"
#include "channel/rtd/packets/set_temperature/payload.hpp"
#include "hal/common/src/packets/mod.hpp"
#include "hal/common/src/packets/reset.hpp"

namespace kelvane::packets {

using Command = CommandRecord<SetChannelPayload, SysResetPayload, SetTemperaturePayload>;

[[nodiscard]] inline PacketFrame sys_reset_frame() {
    return encode_frame(Command{kSysResetId, SysResetPayload{}}, kSysResetChannel);
}

}  // namespace kelvane::packets
