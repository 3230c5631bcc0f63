// Start-up: builds the root module, its submodule tree and its functions.
#include <dlfcn.h>

#include <atomic>
#include <cstdint>

#include "channel/channel_config.hpp"
#include "channel/channel_type.hpp"
#include "channel/sensor_types.hpp"
#include "module/functions.hpp"
#include "module/kelvane.hpp"
#include "module/state.hpp"

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

py::ModuleState& state = py::detail::module_state;

// The classes are made once per interpreter, by the first body that gets to
// them; a body that failed later leaves them for the next try.
template <class Make>
PyTypeObject* made_once(PyTypeObject*& slot, Make make) {
    if (!slot) slot = make();
    return slot;
}

PyTypeObject* channel_type_class() {
    if (!state.channel_type_class) {
        const channel::ChannelTypeClasses classes = channel::make_channel_type_classes();
        state.variant_classes = classes.variants;
        state.channel_type_class = classes.base;
    }
    return state.channel_type_class;
}

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
    py::prepare_params(*entry.params);
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
    auto& sensors = state.sensor_classes;
    add_class(set_channel.get(), "ChannelConfig", made_once(state.config_class, channel::make_channel_config_class));
    add_class(set_channel.get(), "ChannelType", channel_type_class());
    add_class(set_channel.get(), "RTDType",
              made_once(sensors[0], [] { return channel::make_sensor_class(channel::SensorFamily::Rtd); }));
    add_class(set_channel.get(), "TCType",
              made_once(sensors[1], [] { return channel::make_sensor_class(channel::SensorFamily::Tc); }));
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

// Runs at the very end of the claiming interpreter's finalization, when no
// Python object may be touched any more: the state is dropped, not released.
// An interpreter started afterwards in the same process (an application that
// embeds Python and runs Py_Initialize again) then claims and builds the
// module anew; the previous one's objects are gone with it.
void forget_state() { state = py::ModuleState{}; }

// Claims the module for `interpreter`, or refuses if another one holds it.
// The first claim in an interpreter's life registers the forgetting above.
void claim(std::int64_t interpreter) {
    std::int64_t expected = -1;
    std::atomic_ref<std::int64_t> owner(state.owner_interpreter);
    if (owner.compare_exchange_strong(expected, interpreter)) {
        if (Py_AtExit(forget_state) < 0) {
            owner.store(-1);
            py::raise(PyExc_ImportError, "kelvane cannot be imported: the process has no room left for Py_AtExit");
        }
    } else if (expected != interpreter) {
        py::raise(PyExc_ImportError,
                  "kelvane does not support sub-interpreters: it can only be imported in the interpreter that "
                  "first imported it");
    }
}

PyObject* initialize() {
    PyInterpreterState* interpreter_state = PyInterpreterState_Get();
    const std::int64_t interpreter = PyInterpreterState_GetID(interpreter_state);
    if (interpreter == -1) py::raise_pending();
    refuse_where_the_interpreter_would(interpreter_state);
    claim(interpreter);
    if (state.built_module) return Py_NewRef(state.built_module);
    if (state.building) {
        py::raise(PyExc_ImportError,
                  "kelvane is already being imported: an import of kelvane was started while the module was "
                  "being built");
    }
    if (!state.panic_type) state.panic_type = py::make_panic_type();
    state.building = true;
    struct Done {
        ~Done() { state.building = false; }
    } done;
    Ref root = checked(PyModule_Create2(&root_definition, PYTHON_API_VERSION));
    build(root.get());
    state.built_module = Py_NewRef(root.get());
    return root.release();
}

}  // namespace
}  // namespace kelvane

PyMODINIT_FUNC PyInit_kelvane() { return kelvane::py::guard(kelvane::initialize); }
