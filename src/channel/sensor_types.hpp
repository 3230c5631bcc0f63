// RTDType and TCType: closed enumerations whose members carry their position.
#pragma once

#include "channel/model.hpp"
#include "module/declaration.hpp"
#include "module/python.hpp"
#include "module/state.hpp"

namespace kelvane::callables {

// The two enumerations: no constructor, a class attribute per member.
template <channel::SensorFamily Family>
struct SensorTypes : py::ClassDeclaration {
    static constexpr const char* module = "kelvane.channel.packets.set_channel";
    static constexpr const char* name = Family == channel::SensorFamily::Rtd ? "RTDType" : "TCType";
    static constexpr auto& constructors = py::names_of<>;
    static PyTypeObject* make(py::ModuleState& state);
};

using RTDType = SensorTypes<channel::SensorFamily::Rtd>;
using TCType = SensorTypes<channel::SensorFamily::Tc>;

}  // namespace kelvane::callables

namespace kelvane::channel {

// The layout is here, beside the conversion, so that the variant
// constructors read a member inline.
struct SensorObject {
    PyObject_HEAD
    SensorType value;
};

// The value of `obj` where it is not an instance of the family's class as
// the state holds it: a member's value once the state has released the class
// (late in finalization); anything else raises the wrong-type TypeError
// naming the class.
SensorType sensor_not_held(SensorFamily family, PyObject* obj);

// An instance of the family's class (or subtype) to its value; anything else
// raises the wrong-type TypeError naming the class.
inline SensorType sensor_from_object(SensorFamily family, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, py::state().sensor_classes[family])) return sensor_not_held(family, obj);
    return reinterpret_cast<SensorObject*>(obj)->value;
}

// Removes the members from the family's class. They hold their class, and
// the collector cannot see that (instances are not tracked), so the class
// and its members are freed only once the members are gone.
void drop_members(SensorFamily family, PyTypeObject* type);

// Always a new instance holding `value`.
PyObject* sensor_to_object(SensorFamily family, SensorType value);

}  // namespace kelvane::channel
