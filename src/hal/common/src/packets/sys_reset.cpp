#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/functions.hpp"
#include "module/signature.hpp"

namespace kelvane {
namespace {

constexpr auto kSignature = py::function("sys_reset", nullptr);

PyObject* sys_reset(PyObject*, PyObject*) {
    return py::guard([] { return py::packet_to_bytes(packets::sys_reset_frame()); });
}

// No arguments: the interpreter itself refuses any (METH_NOARGS).
PyMethodDef method = {kSignature.table.function_name, &sys_reset, METH_NOARGS, py::text_signature<kSignature>.data()};

}  // namespace

const FunctionEntry sys_reset_function{&method, &kSignature.table};

}  // namespace kelvane
