// Start-up: builds the root module, its submodule tree and its functions.
#include <atomic>
#include <cstdint>

#include "channel/channel_config.hpp"
#include "channel/channel_type.hpp"
#include "channel/sensor_types.hpp"
#include "module/functions.hpp"
#include "module/kelvane.hpp"

namespace kelvane::py {

void add_to_module(PyObject* module, PyObject* name, PyObject* object) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
        PyErr_Clear();
        all = checked(PyList_New(0));
        checked_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        fault("could not append __name__ to __all__");
    }
    checked_status(PyObject_SetAttr(module, name, object));
}

void register_module(const char* dotted_name, PyObject* module) {
    Ref sys = checked(PyImport_ImportModule("sys"));
    Ref modules = checked(PyObject_GetAttrString(sys.get(), "modules"));
    Ref key = checked(PyUnicode_FromString(dotted_name));
    checked_status(PyObject_SetItem(modules.get(), key.get(), module));
}

}  // namespace kelvane::py

namespace kelvane {
namespace {

using py::checked;
using py::Ref;

PyModuleDef root_definition = {
    PyModuleDef_HEAD_INIT, "kelvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; the module's classes are
// process-wide, so no other interpreter may use them.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* built_module = nullptr;

Ref new_module(const char* name) {
    Ref short_name = checked(PyUnicode_FromString(name));
    return checked(PyModule_NewObject(short_name.get()));
}

void add_submodule(PyObject* parent, PyObject* child) {
    Ref name = checked(PyModule_GetNameObject(child));
    py::add_to_module(parent, name.get(), child);
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    Ref key = checked(PyUnicode_FromString(name));
    py::add_to_module(module, key.get(), reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* root, const FunctionEntry& entry) {
    if (entry.params) py::prepare_params(*entry.params);
    Ref module_name = checked(PyModule_GetNameObject(root));
    Ref function = checked(PyCFunction_NewEx(entry.method, root, module_name.get()));
    Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    py::add_to_module(root, name.get(), function.get());
}

// Every submodule is registered before it is added to its parent, and
// children are complete before their parent is registered.
void build(PyObject* root) {
    Ref channel = new_module("channel");

    Ref channel_packets = new_module("packets");
    Ref set_channel = new_module("set_channel");
    add_class(set_channel.get(), "ChannelConfig", channel::channel_config_class());
    add_class(set_channel.get(), "ChannelType", channel::channel_type_class());
    add_class(set_channel.get(), "RTDType", channel::sensor_class(channel::SensorFamily::Rtd));
    add_class(set_channel.get(), "TCType", channel::sensor_class(channel::SensorFamily::Tc));
    py::register_module("kelvane.channel.packets.set_channel", set_channel.get());
    add_submodule(channel_packets.get(), set_channel.get());
    py::register_module("kelvane.channel.packets", channel_packets.get());
    add_submodule(channel.get(), channel_packets.get());

    Ref rtd = new_module("rtd");
    Ref rtd_packets = new_module("packets");
    Ref set_temperature = new_module("set_temperature");
    py::register_module("kelvane.channel.rtd.packets.set_temperature", set_temperature.get());
    add_submodule(rtd_packets.get(), set_temperature.get());
    py::register_module("kelvane.channel.rtd.packets", rtd_packets.get());
    add_submodule(rtd.get(), rtd_packets.get());
    py::register_module("kelvane.channel.rtd", rtd.get());
    add_submodule(channel.get(), rtd.get());

    py::register_module("kelvane.channel", channel.get());
    add_submodule(root, channel.get());

    add_function(root, set_channel_request_function);
    add_function(root, sys_reset_function);
    add_function(root, set_temperature_request_function);
}

PyObject* initialize() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) py::raise_pending();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        py::raise(PyExc_ImportError,
                  "kelvane does not support sub-interpreters: it can only be imported in the interpreter that "
                  "first imported it");
    }
    if (built_module) return Py_NewRef(built_module);
    Ref root = checked(PyModule_Create2(&root_definition, PYTHON_API_VERSION));
    build(root.get());
    built_module = Py_NewRef(root.get());
    return root.release();
}

}  // namespace
}  // namespace kelvane

PyMODINIT_FUNC PyInit_kelvane() { return kelvane::py::guard(kelvane::initialize); }
