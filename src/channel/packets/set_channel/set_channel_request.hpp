// set_channel_request(c_number, c_config, id): the set-channel packet.
#pragma once

#include "channel/channel_config.hpp"
#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/declaration.hpp"

namespace kelvane::callables {

struct SetChannelRequest : py::FunctionDeclaration {
    static constexpr const char* module = "kelvane";
    // The configuration is a snapshot: later changes to the object do not
    // reach this packet.
    static constexpr auto signature =
        py::function("set_channel_request", py::Param{"c_number", py::to_u64},
                     py::Param{"c_config", channel::snapshot_config}, py::Param{"id", py::to_u32});

    static PyObject* build(std::uint64_t c_number, const channel::ChannelConfigRecord& config, std::uint32_t id) {
        return py::packet_to_bytes(
            packets::encode_frame(packets::Command{id, packets::SetChannelPayload{config}}, c_number));
    }
};

}  // namespace kelvane::callables
