#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/functions.hpp"
#include "module/signature.hpp"

namespace kelvane {
namespace {

constexpr auto kSignature = py::function(
    "set_temperature_request", &py::detail::module_state.names.set_temperature_request,
    py::Param{"c_number", py::to_u64}, py::Param{"temperature_value", py::to_f32}, py::Param{"id", py::to_u32});

PyObject* set_temperature_request(std::uint64_t c_number, float temperature, std::uint32_t id) {
    return py::packet_to_bytes(
        packets::encode_frame(packets::Command{id, packets::SetTemperaturePayload{temperature}}, c_number));
}

PyMethodDef method = py::fastcall_method<kSignature, &set_temperature_request>();

}  // namespace

const FunctionEntry set_temperature_request_function{&method, &kSignature.table};

}  // namespace kelvane
