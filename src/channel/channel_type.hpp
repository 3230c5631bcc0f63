// ChannelType and its three variant classes.
#pragma once

#include "channel/model.hpp"
#include "module/python.hpp"

namespace kelvane::channel {

// The base class, made once; making it also makes the variant classes.
PyTypeObject* channel_type_class();

// An instance of any variant class to its value; anything else raises the
// wrong-type TypeError naming 'ChannelType'.
ChannelTypeValue channel_type_from_object(PyObject* obj);

// Always a new instance of the variant class that matches the value's kind.
PyObject* channel_type_to_object(ChannelTypeValue value);

}  // namespace kelvane::channel
