// Every callable of the module, declared once: a function or a class is
// registered if and only if it is listed here. Start-up places each on the
// module its declaration names, in this order.
#pragma once

#include "channel/channel_config.hpp"
#include "channel/channel_type.hpp"
#include "channel/packets/set_channel/set_channel_request.hpp"
#include "channel/rtd/packets/set_temperature/set_temperature_request.hpp"
#include "channel/sensor_types.hpp"
#include "hal/common/src/packets/sys_reset.hpp"
#include "module/declaration.hpp"
#ifdef KELVANE_TEST_COMMAND
#include "hal/common/src/packets/status/get_status_request.hpp"
#endif

namespace kelvane {

// The list, followed by `More`: a test program's own declarations join it
// this way, checked with the rest.
template <class... More>
using CallablesWith =
    py::CallableList<callables::SetChannelRequest, callables::SysReset, callables::SetTemperatureRequest,
#ifdef KELVANE_TEST_COMMAND
                     callables::GetStatusRequest,
#endif
                     callables::ChannelConfig, callables::ChannelType, callables::RTDType, callables::TCType, More...>;

using Callables = CallablesWith<>;

}  // namespace kelvane
