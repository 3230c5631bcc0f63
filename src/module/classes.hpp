// Pieces shared by every class of the module: heap types made from specs.
#pragma once

#include "module/binder.hpp"
#include "module/kelvane.hpp"
#include "module/signature.hpp"

namespace kelvane::py {

// tp_new of a class that cannot be constructed from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// tp_dealloc of every class: frees through the instance's own type.
void dealloc_instance(PyObject* self);

// A heap type from `spec`, with `base` (or object). The interpreter's error
// passes through unchanged if the type cannot be made.
PyTypeObject* new_class(PyType_Spec& spec, PyTypeObject* base = nullptr);

// Runs `fill` to set a new class's attributes. Its failure becomes
// RuntimeError "An error occurred while initializing class <name>", caused by
// the original error.
template <class Fill>
void init_class_attributes(const char* class_name, Fill&& fill) {
    try {
        fill();
    } catch (const ErrorAlreadySet&) {
        Ref cause = Ref::steal(PyErr_GetRaisedException());
        Ref error = Ref::steal(
            PyObject_CallFunction(PyExc_RuntimeError, "s",
                                  (std::string("An error occurred while initializing class ") + class_name).c_str()));
        if (!error) throw;
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetRaisedException(error.release());
        throw;
    }
}

// tp_alloc of a class whose objects only its own constructors make: raises
// TypeError "cannot create '<type>' instances".
PyObject* refuse_allocation(PyTypeObject* type, Py_ssize_t items);

// Constructors. The constructor signature `Sig` and one body,
// `Make(type, converted arguments...)`, serve both ways in: the type's
// vectorcall entry, which takes `Class(...)` without the argument tuple and
// dict, and tp_new, which stays for `Class.__new__(Class, ...)` and any
// caller that goes through it. The call's objects stay bound, and held if
// they had to be, until Make has returned.
template <const auto& Sig, auto Make>
[[gnu::always_inline]] inline PyObject* make_instance(PyTypeObject* type, BoundArgs& bound) {
    return std::apply([type](const auto&... values) { return Make(type, values...); }, convert_arguments<Sig>(bound));
}

template <const auto& Sig, auto Make>
[[gnu::flatten]] PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        BoundArgs bound(Sig.table, interned_names<Sig>, reinterpret_cast<PyObject*>(type), args, kwargs);
        return make_instance<Sig, Make>(type, bound);
    });
}

// `Class(...)` by tp_new and tp_init, for a class whose __new__ or __init__
// Python code has replaced.
PyObject* call_type_slots(PyTypeObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

template <const auto& Sig, auto Make>
[[gnu::flatten]] PyObject* construct_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                                PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    if (type->tp_new != &construct<Sig, Make> || type->tp_init != PyBaseObject_Type.tp_init) [[unlikely]] {
        return call_type_slots(type, args, nargsf, kwnames);
    }
    return guard([&] {
        BoundArgs bound(Sig.table, interned_names<Sig>, callable, args, nargsf, kwnames);
        return make_instance<Sig, Make>(type, bound);
    });
}

// Gives a class made by new_class() the vectorcall entry of its constructor.
template <const auto& Sig, auto Make>
void enable_vectorcall(PyTypeObject* type) {
    type->tp_vectorcall = &construct_vectorcall<Sig, Make>;
}

// The full name of the class `Sig` constructs, as its type is made with:
// the classes belong to no module, so to builtins.
template <const auto& Sig>
inline constexpr auto type_name = [] {
    constexpr const char* prefix = "builtins.";
    constexpr std::size_t prefix_length = std::char_traits<char>::length(prefix);
    std::array<char, prefix_length + std::char_traits<char>::length(Sig.table.class_name) + 1> name{};
    std::size_t at = 0;
    for (const char* c = prefix; *c;) name[at++] = *c++;
    for (const char* c = Sig.table.class_name; *c;) name[at++] = *c++;
    return name;
}();

// A new, zero-filled instance of `type`. Every class of the module allocates
// this way (none has an allocator of its own that makes objects), so the
// allocator is called directly.
template <class Object>
Object* allocate(PyTypeObject* type) {
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (!self) raise_pending();
    return reinterpret_cast<Object*>(self);
}

}  // namespace kelvane::py
