// RTDType and TCType: closed enumerations whose members carry their position.
#pragma once

#include "channel/model.hpp"
#include "module/python.hpp"

namespace kelvane::channel {

enum class SensorFamily { Rtd, Tc };

// A new class of the family, with its members.
PyTypeObject* make_sensor_class(SensorFamily family);

// An instance of the family's class (or subtype) to its value; anything else
// raises the wrong-type TypeError naming the class.
SensorType sensor_from_object(SensorFamily family, PyObject* obj);

// Always a new instance holding `value`.
PyObject* sensor_to_object(SensorFamily family, SensorType value);

}  // namespace kelvane::channel
