// ChannelConfig: the mutable record of one channel's configuration.
#pragma once

#include "channel/model.hpp"
#include "module/python.hpp"

namespace kelvane::channel {

PyTypeObject* channel_config_class();

// A copy of the record, taken under a shared borrow. Anything but a
// ChannelConfig raises the wrong-type TypeError.
ChannelConfigRecord snapshot_config(PyObject* obj);

}  // namespace kelvane::channel
