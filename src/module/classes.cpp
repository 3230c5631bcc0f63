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

PyObject* refuse_allocation(PyTypeObject* type, Py_ssize_t) {
    return guard([&]() -> PyObject* {
        raise(PyExc_TypeError, checked(PyUnicode_FromFormat("cannot create '%s' instances", type->tp_name)).get());
    });
}

PyObject* call_type_slots(PyTypeObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return guard([&] {
        const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
        Ref tuple = checked(PyTuple_New(given));
        for (Py_ssize_t i = 0; i < given; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        Ref kwargs;
        if (kwnames) {
            kwargs = checked(PyDict_New());
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
                checked_status(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[given + k]));
            }
        }
        // Whatever the replaced __new__ or __init__ raise passes through as
        // it is: a null result goes back unexamined.
        return PyType_Type.tp_call(reinterpret_cast<PyObject*>(type), tuple.get(), kwargs.get());
    });
}

PyTypeObject* new_class(PyType_Spec& spec, PyTypeObject* base) {
    PyObject* type = PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(base));
    if (!type) raise_pending();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace kelvane::py
