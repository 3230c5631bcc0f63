// A payload kind must carry its command code and its encoder, or the command
// list that names it does not compile. scripts/core-test builds this file as
// it is, which must compile and encode the probe, and with either part left
// out (-DWITHOUT_CODE, -DWITHOUT_ENCODER), which must not compile.
#include "hal/common/src/packets/commands.hpp"

namespace {

using namespace kelvane::packets;

struct ProbePayload {
#ifndef WITHOUT_CODE
    static constexpr CommandCode kCode{0x7F};
#endif
    static constexpr std::size_t kMaxSize = 1;
#ifndef WITHOUT_ENCODER
    void encode(Body& out) const { out.put_u8(0xAB); }
#endif
};

using ProbeCommand = CommandRecord<SetChannelPayload, SysResetPayload, SetTemperaturePayload, ProbePayload>;

}  // namespace

int main() {
    const PacketFrame frame = encode_frame(ProbeCommand{2, ProbePayload{}}, 1);
    std::uint8_t out[kPacketCapacity];
    frame.write_to(out);
    const std::uint8_t expected[] = {0x11, 0, 0, 0, 6, 0x7F, 0, 0, 0, 2, 0xAB};
    return frame.packet_size() == sizeof expected && std::memcmp(out, expected, sizeof expected) == 0 ? 0 : 1;
}
