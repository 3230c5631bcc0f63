// The module functions, defined beside their packets and attached to the root
// module at start-up.
#pragma once

#include "module/binder.hpp"

namespace kelvane {

struct FunctionEntry {
    PyMethodDef* method;
    const py::ParamTable* params;  // null for a function without arguments
};

// Fast-call functions are stored in PyMethodDef's generic slot; the detour
// through void(*)() tells the compiler the cast is deliberate.
template <class Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

extern const FunctionEntry set_channel_request_function;
extern const FunctionEntry sys_reset_function;
extern const FunctionEntry set_temperature_request_function;

}  // namespace kelvane
