// Start-up: builds the root module and its submodule tree, and places on it
// every callable of module/callables.hpp; releases the state at finalization.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string_view>

#include "module/callables.hpp"
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

void raise_released(const char* what) {
    raise(PyExc_RuntimeError,
          checked(
              PyUnicode_FromFormat(
                  "%s objects can no longer be made: kelvane released its classes as the interpreter shut down", what))
              .get());
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

Ref new_module(const char* name) {
    Ref short_name = checked(PyUnicode_FromString(name));
    return checked(PyModule_NewObject(short_name.get()));
}

void add_submodule(PyObject* parent, PyObject* child) {
    Ref name = checked(PyModule_GetNameObject(child));
    py::add_to_module(parent, name.get(), child);
}

// The modules a declaration may name, the root first.
constexpr std::string_view kModules[] = {
    "kelvane",
    "kelvane.channel",
    "kelvane.channel.packets",
    "kelvane.channel.packets.set_channel",
    "kelvane.channel.rtd",
    "kelvane.channel.rtd.packets",
    "kelvane.channel.rtd.packets.set_temperature",
};

template <class... Ds>
consteval bool modules_exist(py::CallableList<Ds...>*) {
    return ((std::ranges::find(kModules, std::string_view(Ds::module)) != std::end(kModules)) && ...);
}
static_assert(modules_exist(static_cast<Callables*>(nullptr)), "a declaration names a module that is not in kModules");

template <class D>
void place(PyObject* module, D) {
    if constexpr (std::is_base_of_v<py::FunctionDeclaration, D>) {
        py::intern_names(D::signature.table, py::interned_names<D::signature>);
        Ref module_name = checked(PyModule_GetNameObject(module));
        Ref function = checked(PyCFunction_NewEx(&py::method_of<D>, module, module_name.get()));
        Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
        py::add_to_module(module, name.get(), function.get());
    } else {
        for (const py::SignatureNames& constructor : D::constructors) {
            py::intern_names(*constructor.table, *constructor.names);
        }
        PyTypeObject* type = D::make(state);
        Ref key = checked(PyUnicode_FromString(D::name));
        py::add_to_module(module, key.get(), reinterpret_cast<PyObject*>(type));
    }
}

// Places on `module`, in the list's order, the callables declared on it.
void place_callables(PyObject* module, std::string_view dotted_name) {
    Callables::each([&]<class D>(D declaration) {
        if (D::module == dotted_name) place(module, declaration);
    });
}

// Every submodule is registered before it is added to its parent, and
// children are complete before their parent is registered; a module's own
// callables come after its children.
void build(PyObject* root) {
    Ref channel = new_module("channel");

    Ref channel_packets = new_module("packets");
    Ref set_channel = new_module("set_channel");
    place_callables(set_channel.get(), "kelvane.channel.packets.set_channel");
    py::register_module("kelvane.channel.packets.set_channel", set_channel.get());
    add_submodule(channel_packets.get(), set_channel.get());
    place_callables(channel_packets.get(), "kelvane.channel.packets");
    py::register_module("kelvane.channel.packets", channel_packets.get());
    add_submodule(channel.get(), channel_packets.get());

    Ref rtd = new_module("rtd");
    Ref rtd_packets = new_module("packets");
    Ref set_temperature = new_module("set_temperature");
    place_callables(set_temperature.get(), "kelvane.channel.rtd.packets.set_temperature");
    py::register_module("kelvane.channel.rtd.packets.set_temperature", set_temperature.get());
    add_submodule(rtd_packets.get(), set_temperature.get());
    place_callables(rtd_packets.get(), "kelvane.channel.rtd.packets");
    py::register_module("kelvane.channel.rtd.packets", rtd_packets.get());
    add_submodule(rtd.get(), rtd_packets.get());
    place_callables(rtd.get(), "kelvane.channel.rtd");
    py::register_module("kelvane.channel.rtd", rtd.get());
    add_submodule(channel.get(), rtd.get());

    place_callables(channel.get(), "kelvane.channel");
    py::register_module("kelvane.channel", channel.get());
    add_submodule(root, channel.get());

    place_callables(root, "kelvane");
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

// Runs in the claiming interpreter's finalization, after its modules have
// been torn down but while objects can still be freed (an exit callback of
// the interpreter's own, not of the atexit module, so that registering it
// imports nothing): every reference the state holds is released, so that
// nothing of this interpreter's module outlives it. What runs later finds the
// classes gone: the builders still work, what would make an instance raises,
// and RTDType and TCType have lost their members.
void release_state(void*) {
    state.released = true;
    Callables::each([]<class D>(D) {
        if constexpr (std::is_base_of_v<py::FunctionDeclaration, D>) {
            py::release_names(py::interned_names<D::signature>);
        } else {
            for (const py::SignatureNames& constructor : D::constructors) py::release_names(*constructor.names);
        }
    });
    for (PyTypeObject*& type : state.variant_classes.values) Py_CLEAR(type);
    for (const channel::SensorFamily family : {channel::SensorFamily::Rtd, channel::SensorFamily::Tc}) {
        PyTypeObject*& type = state.sensor_classes[family];
        if (type) channel::drop_members(family, type);
        Py_CLEAR(type);
    }
    Py_CLEAR(state.channel_type_class);
    Py_CLEAR(state.config_class);
    Py_CLEAR(state.built_module);
    Py_CLEAR(state.panic_type);
}

// Runs at the very end of the claiming interpreter's finalization, when no
// Python object may be touched any more: the state is dropped (its references
// were released above, unless the atexit callbacks were cleared). An
// interpreter started afterwards in the same process (an application that
// embeds Python and runs Py_Initialize again) then claims and builds the
// module anew.
void forget_state() {
    state = py::ModuleState{};
    Callables::each([]<class D>(D) {
        if constexpr (std::is_base_of_v<py::FunctionDeclaration, D>) {
            py::interned_names<D::signature> = {};
        } else {
            for (const py::SignatureNames& constructor : D::constructors) *constructor.names = {};
        }
    });
}

void register_release(PyInterpreterState* interpreter) {
#if PY_VERSION_HEX >= 0x030D0000
    py::checked_status(PyUnstable_AtExit(interpreter, release_state, nullptr));
#else
    py::checked_status(_Py_AtExit(interpreter, release_state, nullptr));
#endif
}

// Claims the module for `interpreter`, or refuses if another one holds it.
// The first claim in an interpreter's life registers the release and the
// forgetting above.
void claim(PyInterpreterState* interpreter_state, std::int64_t interpreter) {
    std::int64_t expected = -1;
    std::atomic_ref<std::int64_t> owner(state.owner_interpreter);
    if (owner.compare_exchange_strong(expected, interpreter)) {
        try {
            register_release(interpreter_state);
        } catch (...) {
            owner.store(-1);
            throw;
        }
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
    claim(interpreter_state, interpreter);
    if (state.built_module) return Py_NewRef(state.built_module);
    if (state.released) {
        py::raise(PyExc_ImportError, "kelvane cannot be imported while its interpreter shuts down");
    }
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
