#include "channel/channel_config.hpp"
#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/functions.hpp"
#include "module/kelvane.hpp"

namespace kelvane {
namespace {

constexpr py::ParamTable params = py::make_params(
    "set_channel_request", nullptr, py::detail::module_state.names.set_channel_request, {"c_number", "c_config", "id"});

// Flattened: the guard, the binder and the conversions form one body.
[[gnu::flatten]] PyObject* set_channel_request(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::guard([&] {
        py::BoundArgs bound(params, nullptr, args, static_cast<std::size_t>(nargsf), kwnames);
        const std::uint64_t c_number = py::convert_param(params, 0, bound, py::to_u64);
        // A snapshot: later changes to the object do not reach this packet.
        const channel::ChannelConfigRecord config = py::convert_param(params, 1, bound, channel::snapshot_config);
        const std::uint32_t id = py::convert_param(params, 2, bound, py::to_u32);
        return py::packet_to_bytes(
            packets::encode_frame(packets::Command{id, packets::SetChannelPayload{config}}, c_number));
    });
}

PyMethodDef method = {"set_channel_request", as_method(&set_channel_request), METH_FASTCALL | METH_KEYWORDS,
                      "set_channel_request(c_number, c_config, id)\n--\n\n"};

}  // namespace

const FunctionEntry set_channel_request_function{&method, &params};

}  // namespace kelvane
