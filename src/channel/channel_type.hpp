// ChannelType and its three variant classes.
#pragma once

#include <array>

#include "channel/model.hpp"
#include "module/python.hpp"
#include "module/state.hpp"

namespace kelvane::channel {

// Only the variant classes carry a value; the base class adds nothing to
// `object`. The layouts differing is what makes the interpreter refuse
// `__class__` assignment between any two classes of the family, so an
// object's class is always its tag. The layout is here, beside the
// conversion, so that the configuration's constructor and setter read the
// value inline.
struct ChannelTypeObject {
    PyObject_HEAD
    ChannelTypeValue value;
};

// New references to the base class and its variants, made together.
struct ChannelTypeClasses {
    PyTypeObject* base;
    std::array<PyTypeObject*, 3> variants;  // indexed by ChannelKind
};
ChannelTypeClasses make_channel_type_classes();

// Raises the wrong-type TypeError naming 'ChannelType'.
[[noreturn]] void refuse_channel_type(PyObject* obj);

// An instance of any variant class to its value; anything else raises the
// wrong-type TypeError naming 'ChannelType'. Instances of the base class or
// of a subclass made in Python carry no value; they exist only where Python
// code has replaced ChannelType's constructor, and are refused like any other
// object.
inline ChannelTypeValue channel_type_from_object(PyObject* obj) {
    const PyTypeObject* type = Py_TYPE(obj);
    const auto& variant_classes = py::state().variant_classes;
    if (type != variant_classes[1] && type != variant_classes[2] && type != variant_classes[0]) {
        refuse_channel_type(obj);
    }
    return reinterpret_cast<ChannelTypeObject*>(obj)->value;
}

// Always a new instance of the variant class that matches the value's kind.
PyObject* channel_type_to_object(ChannelTypeValue value);

}  // namespace kelvane::channel
