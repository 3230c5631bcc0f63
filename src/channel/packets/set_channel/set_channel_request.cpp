#include "channel/channel_config.hpp"
#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/functions.hpp"
#include "module/signature.hpp"

namespace kelvane {
namespace {

// The configuration is a snapshot: later changes to the object do not reach
// this packet.
constexpr auto kSignature = py::function("set_channel_request", &py::detail::module_state.names.set_channel_request,
                                         py::Param{"c_number", py::to_u64},
                                         py::Param{"c_config", channel::snapshot_config}, py::Param{"id", py::to_u32});

PyObject* set_channel_request(std::uint64_t c_number, const channel::ChannelConfigRecord& config, std::uint32_t id) {
    return py::packet_to_bytes(
        packets::encode_frame(packets::Command{id, packets::SetChannelPayload{config}}, c_number));
}

PyMethodDef method = py::fastcall_method<kSignature, &set_channel_request>();

}  // namespace

const FunctionEntry set_channel_request_function{&method, &kSignature.table};

}  // namespace kelvane
