// ChannelType and its three variant classes.
#pragma once

#include "channel/model.hpp"
#include "module/declaration.hpp"
#include "module/python.hpp"
#include "module/state.hpp"

namespace kelvane::callables {

// The base class and its variants ChannelType.None, .RTD and .TC, made
// together.
struct ChannelType : py::ClassDeclaration {
    static constexpr const char* module = "kelvane.channel.packets.set_channel";
    static constexpr const char* name = "ChannelType";
    static const std::span<const py::SignatureNames> constructors;
    static PyTypeObject* make(py::ModuleState& state);
};

}  // namespace kelvane::callables

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

// The value of `obj` where it is not an instance of the variant classes the
// state holds: a variant's value once the state has released them (late in
// finalization); anything else raises the wrong-type TypeError naming
// 'ChannelType'.
ChannelTypeValue channel_type_not_held(PyObject* obj);

// An instance of any variant class to its value; anything else raises the
// wrong-type TypeError naming 'ChannelType'. Instances of the base class or
// of a subclass made in Python carry no value; they exist only where Python
// code has replaced ChannelType's constructor, and are refused like any other
// object.
inline ChannelTypeValue channel_type_from_object(PyObject* obj) {
    const PyTypeObject* type = Py_TYPE(obj);
    const auto& variant_classes = py::state().variant_classes;
    if (type != variant_classes[ChannelKind::Rtd] && type != variant_classes[ChannelKind::Tc] &&
        type != variant_classes[ChannelKind::None]) {
        return channel_type_not_held(obj);
    }
    return reinterpret_cast<ChannelTypeObject*>(obj)->value;
}

// Always a new instance of the variant class that matches the value's kind.
PyObject* channel_type_to_object(ChannelTypeValue value);

}  // namespace kelvane::channel
