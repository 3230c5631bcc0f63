// get_status_request(c_number, id): the get-status packet (test-only command,
// KELVANE_TEST_COMMAND).
#pragma once

#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/declaration.hpp"

namespace kelvane::callables {

struct GetStatusRequest : py::FunctionDeclaration {
    static constexpr const char* module = "kelvane";
    static constexpr auto signature =
        py::function("get_status_request", py::Param{"c_number", py::to_u64}, py::Param{"id", py::to_u32});

    static PyObject* build(std::uint64_t c_number, std::uint32_t id) {
        return py::packet_to_bytes(packets::encode_frame(packets::Command{id, packets::GetStatusPayload{}}, c_number));
    }
};

}  // namespace kelvane::callables
