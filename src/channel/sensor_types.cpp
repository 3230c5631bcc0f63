#include "channel/sensor_types.hpp"

#include <array>
#include <span>

#include "module/classes.hpp"

namespace kelvane::channel {
namespace {

using py::guard;

constexpr std::array<const char*, kRtdTypeCount> kRtdMembers = {"PT100", "PT500", "PT1000", "Cu10",  "Cu50",
                                                                "Cu100", "Ni100", "Ni120",  "Ni1000"};
constexpr std::array<const char*, kTcTypeCount> kTcMembers = {"E", "J", "K", "N", "R", "S", "T", "B"};

struct Family {
    const char* name;
    std::span<const char* const> members;
};

constexpr py::ByKey<SensorFamily, Family, kSensorFamilyCount> kFamilies{{{
    {"RTDType", kRtdMembers},
    {"TCType", kTcMembers},
}}};

const Family& family_of(SensorFamily family) { return kFamilies[family]; }

template <SensorFamily F>
PyObject* sensor_repr(PyObject* self) {
    return guard([&] {
        const Family& family = family_of(F);
        const SensorType value = reinterpret_cast<SensorObject*>(self)->value;
        if (value >= family.members.size()) py::fault("sensor type value out of range");
        return py::checked(PyUnicode_FromFormat("%s.%s", family.name, family.members[value])).release();
    });
}

PyObject* sensor_int(PyObject* self) {
    return guard([&] { return py::checked(PyLong_FromLong(reinterpret_cast<SensorObject*>(self)->value)).release(); });
}

template <SensorFamily F>
PyTypeObject* make_class(const char* spec_name, const char* doc) {
    PyType_Slot slots[] = {
        {Py_tp_repr, reinterpret_cast<void*>(&sensor_repr<F>)},
        {Py_nb_int, reinterpret_cast<void*>(&sensor_int)},
        {Py_tp_new, reinterpret_cast<void*>(&py::no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc_instance)},
        {doc ? Py_tp_doc : 0, const_cast<char*>(doc)},
        {0, nullptr},
    };
    PyType_Spec spec{spec_name, sizeof(SensorObject), 0, Py_TPFLAGS_DEFAULT, slots};
    py::Ref type = py::Ref::steal(reinterpret_cast<PyObject*>(py::new_class(spec)));
    const Family& family = family_of(F);
    py::init_class_attributes(family.name, [&] {
        for (std::size_t i = 0; i < family.members.size(); ++i) {
            auto* member = py::allocate<SensorObject>(reinterpret_cast<PyTypeObject*>(type.get()));
            member->value = static_cast<SensorType>(i);
            py::Ref owned = py::Ref::steal(reinterpret_cast<PyObject*>(member));
            py::checked_status(PyObject_SetAttrString(type.get(), family.members[i], owned.get()));
        }
    });
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

SensorType sensor_not_held(SensorFamily family, PyObject* obj) {
    // The family's class is known by its repr, and no class derives from it.
    const reprfunc repr =
        family == SensorFamily::Rtd ? &sensor_repr<SensorFamily::Rtd> : &sensor_repr<SensorFamily::Tc>;
    if (py::state().released && Py_TYPE(obj)->tp_repr == repr) return reinterpret_cast<SensorObject*>(obj)->value;
    py::raise_wrong_type(obj, family_of(family).name);
}

void drop_members(SensorFamily family, PyTypeObject* type) {
    for (const char* member : family_of(family).members) {
        if (PyObject_DelAttrString(reinterpret_cast<PyObject*>(type), member) < 0) PyErr_Clear();
    }
}

PyObject* sensor_to_object(SensorFamily family, SensorType value) {
    PyTypeObject* type = py::state().sensor_classes[family];
    if (!type) py::raise_released(family_of(family).name);
    auto* object = py::allocate<SensorObject>(type);
    object->value = value;
    return reinterpret_cast<PyObject*>(object);
}

}  // namespace kelvane::channel

namespace kelvane::callables {

template <channel::SensorFamily Family>
PyTypeObject* SensorTypes<Family>::make(py::ModuleState& state) {
    PyTypeObject*& slot = state.sensor_classes[Family];
    if (!slot) {
        slot = Family == channel::SensorFamily::Rtd
                   ? channel::make_class<Family>("builtins.RTDType", nullptr)
                   : channel::make_class<Family>("builtins.TCType", "https://en.wikipedia.org/wiki/Thermocouple#Types");
    }
    return slot;
}

template struct SensorTypes<channel::SensorFamily::Rtd>;
template struct SensorTypes<channel::SensorFamily::Tc>;

}  // namespace kelvane::callables
