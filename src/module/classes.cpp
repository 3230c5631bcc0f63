#include "module/classes.hpp"

namespace kelvane::py {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guard([&]() -> PyObject* {
        Ref name = Ref::steal(PyType_GetName(type));
        if (!name) {
            PyErr_Clear();
            raise(PyExc_TypeError, "No constructor defined for <unknown>");
        }
        raise(PyExc_TypeError, checked(PyUnicode_FromFormat("No constructor defined for %U", name.get())).get());
    });
}

void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyTypeObject* new_class(PyType_Spec& spec, PyTypeObject* base) {
    PyObject* type = PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(base));
    if (!type) raise_pending();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace kelvane::py
