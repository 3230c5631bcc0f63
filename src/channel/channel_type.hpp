// ChannelType and its three variant classes.
#pragma once

#include <array>

#include "channel/model.hpp"
#include "module/python.hpp"

namespace kelvane::channel {

// New references to the base class and its variants, made together.
struct ChannelTypeClasses {
    PyTypeObject* base;
    std::array<PyTypeObject*, 3> variants;  // indexed by ChannelKind
};
ChannelTypeClasses make_channel_type_classes();

// An instance of any variant class to its value; anything else raises the
// wrong-type TypeError naming 'ChannelType'.
ChannelTypeValue channel_type_from_object(PyObject* obj);

// Always a new instance of the variant class that matches the value's kind.
PyObject* channel_type_to_object(ChannelTypeValue value);

}  // namespace kelvane::channel
