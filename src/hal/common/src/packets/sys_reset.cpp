#include "hal/common/src/packets/commands.hpp"
#include "module/convert.hpp"
#include "module/functions.hpp"
#include "module/kelvane.hpp"

namespace kelvane {
namespace {

PyObject* sys_reset(PyObject*, PyObject*) {
    return py::guard([] { return py::packet_to_bytes(packets::sys_reset_frame()); });
}

PyMethodDef method = {"sys_reset", &sys_reset, METH_NOARGS, "sys_reset()\n--\n\n"};

}  // namespace

const FunctionEntry sys_reset_function{&method, nullptr};

}  // namespace kelvane
