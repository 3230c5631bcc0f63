// Pieces shared by every class of the module: heap types made from specs.
#pragma once

#include "module/kelvane.hpp"

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

// A new instance of `type` through its own allocator.
template <class Object>
Object* allocate(PyTypeObject* type) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) raise_pending();
    return reinterpret_cast<Object*>(self);
}

}  // namespace kelvane::py
