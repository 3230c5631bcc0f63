// Start-up: builds the root module, its submodule tree and its functions.
#include <dlfcn.h>

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
// Set while the module body runs. An import of kelvane from inside it (an
// import hook reached from the body's own imports) must not build a second
// tree.
bool building = false;

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

// CPython 3.12 runs the init function of a single-phase module in an
// isolated sub-interpreter and only then refuses the import there. Putting
// the interpreter's own check first means such an import claims nothing, and
// the main interpreter can still import the module afterwards.
void refuse_where_the_interpreter_would([[maybe_unused]] PyInterpreterState* interpreter) {
#if PY_VERSION_HEX < 0x030D0000
    if (interpreter == PyInterpreterState_Main()) return;
    using Check = int (*)(const char* name);
    static const auto check =
        reinterpret_cast<Check>(dlsym(RTLD_DEFAULT, "_PyImport_CheckSubinterpIncompatibleExtensionAllowed"));
    if (check) {
        if (check(root_definition.m_name) < 0) py::raise_pending();
    } else if (_PyInterpreterState_HasFeature(interpreter, Py_RTFLAGS_MULTI_INTERP_EXTENSIONS)) {
        py::raise(PyExc_ImportError, "module kelvane does not support loading in subinterpreters");
    }
#endif
}

PyObject* initialize() {
    PyInterpreterState* state = PyInterpreterState_Get();
    const std::int64_t interpreter = PyInterpreterState_GetID(state);
    if (interpreter == -1) py::raise_pending();
    refuse_where_the_interpreter_would(state);
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        py::raise(PyExc_ImportError,
                  "kelvane does not support sub-interpreters: it can only be imported in the interpreter that "
                  "first imported it");
    }
    if (built_module) return Py_NewRef(built_module);
    if (building) {
        py::raise(PyExc_ImportError,
                  "kelvane is already being imported: an import of kelvane was started while the module was "
                  "being built");
    }
    py::ensure_panic_type();
    building = true;
    struct Done {
        ~Done() { building = false; }
    } done;
    Ref root = checked(PyModule_Create2(&root_definition, PYTHON_API_VERSION));
    build(root.get());
    built_module = Py_NewRef(root.get());
    return root.release();
}

}  // namespace
}  // namespace kelvane

PyMODINIT_FUNC PyInit_kelvane() { return kelvane::py::guard(kelvane::initialize); }
