#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/functions.hpp"
#include "module/kelvane.hpp"

namespace kelvane {
namespace {

constexpr py::ParamTable params =
    py::make_params("set_temperature_request", nullptr, py::detail::module_state.names.set_temperature_request,
                    {"c_number", "temperature_value", "id"});

// Flattened: the guard, the binder and the conversions form one body.
[[gnu::flatten]] PyObject* set_temperature_request(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                                   PyObject* kwnames) {
    return py::guard([&] {
        py::BoundArgs bound(params, nullptr, args, static_cast<std::size_t>(nargsf), kwnames);
        const std::uint64_t c_number = py::convert_param(params, 0, bound, py::to_u64);
        const float temperature = py::convert_param(params, 1, bound, py::to_f32);
        const std::uint32_t id = py::convert_param(params, 2, bound, py::to_u32);
        const packets::Command record{id, packets::SetTemperaturePayload{temperature}};
        return py::packet_to_bytes(packets::encode_frame(record, c_number));
    });
}

PyMethodDef method = {"set_temperature_request", as_method(&set_temperature_request), METH_FASTCALL | METH_KEYWORDS,
                      "set_temperature_request(c_number, temperature_value, id)\n--\n\n"};

}  // namespace

const FunctionEntry set_temperature_request_function{&method, &params};

}  // namespace kelvane
