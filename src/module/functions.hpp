// The module functions, defined beside their packets and attached to the root
// module at start-up.
#pragma once

#include "module/binder.hpp"

namespace kelvane {

struct FunctionEntry {
    PyMethodDef* method;
    const py::ParamTable* params;  // the names start-up interns
};

extern const FunctionEntry set_channel_request_function;
extern const FunctionEntry sys_reset_function;
extern const FunctionEntry set_temperature_request_function;

}  // namespace kelvane
