// Set-channel payload: kind byte, sensor byte (RTD and TC only), then the
// four resistances as big-endian binary32.
#pragma once

#include "channel/model.hpp"
#include "hal/common/src/packets/mod.hpp"

namespace kelvane::packets {

struct SetChannelPayload {
    static constexpr CommandCode kCode{0x00};
    static constexpr std::size_t kMaxSize = 1 + 1 + 4 * 4;

    channel::ChannelConfigRecord config;

    void encode(Body& out) const {
        using channel::ChannelKind;
        const auto kind = config.channel_type.kind;
        switch (kind) {
            case ChannelKind::None: out.put_u8(static_cast<std::uint8_t>(kind)); break;
            case ChannelKind::Rtd:
            case ChannelKind::Tc:
                out.put_u8(static_cast<std::uint8_t>(kind));
                out.put_u8(config.channel_type.sensor);
                break;
            default: throw EncodeError("unknown channel kind");
        }
        out.put_f32_be(config.max_resistance);
        out.put_f32_be(config.min_resistance);
        out.put_f32_be(config.shunt_resistance);
        out.put_f32_be(config.r_ain0);
    }
};

}  // namespace kelvane::packets
