// set_temperature_request(c_number, temperature_value, id): the
// set-temperature packet.
#pragma once

#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/declaration.hpp"

namespace kelvane::callables {

struct SetTemperatureRequest : py::FunctionDeclaration {
    static constexpr const char* module = "kelvane";
    static constexpr auto signature =
        py::function("set_temperature_request", py::Param{"c_number", py::to_u64},
                     py::Param{"temperature_value", py::to_f32}, py::Param{"id", py::to_u32});

    static PyObject* build(std::uint64_t c_number, float temperature, std::uint32_t id) {
        return py::packet_to_bytes(
            packets::encode_frame(packets::Command{id, packets::SetTemperaturePayload{temperature}}, c_number));
    }
};

}  // namespace kelvane::callables
