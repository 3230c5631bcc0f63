// sys_reset(): the reset packet, always the same.
#pragma once

#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/declaration.hpp"

namespace kelvane::callables {

struct SysReset : py::FunctionDeclaration {
    static constexpr const char* module = "kelvane";
    static constexpr auto signature = py::function("sys_reset");

    static PyObject* build() { return py::packet_to_bytes(packets::sys_reset_frame()); }
};

}  // namespace kelvane::callables
