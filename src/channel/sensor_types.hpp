// RTDType and TCType: closed enumerations whose members carry their position.
#pragma once

#include "channel/model.hpp"
#include "module/python.hpp"
#include "module/state.hpp"

namespace kelvane::channel {

enum class SensorFamily { Rtd, Tc };

// The layout is here, beside the conversion, so that the variant
// constructors read a member inline.
struct SensorObject {
    PyObject_HEAD
    SensorType value;
};

// A new class of the family, with its members.
PyTypeObject* make_sensor_class(SensorFamily family);

// Raises the wrong-type TypeError naming the family's class.
[[noreturn]] void refuse_sensor(SensorFamily family, PyObject* obj);

// An instance of the family's class (or subtype) to its value; anything else
// raises the wrong-type TypeError naming the class.
inline SensorType sensor_from_object(SensorFamily family, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, py::state().sensor_classes[static_cast<std::size_t>(family)])) {
        refuse_sensor(family, obj);
    }
    return reinterpret_cast<SensorObject*>(obj)->value;
}

// Always a new instance holding `value`.
PyObject* sensor_to_object(SensorFamily family, SensorType value);

}  // namespace kelvane::channel
