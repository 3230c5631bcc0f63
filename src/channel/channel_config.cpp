#include "channel/channel_config.hpp"

#include "channel/borrow.hpp"
#include "channel/channel_type.hpp"
#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/convert.hpp"

namespace kelvane::channel {
namespace {

using py::guard;

ChannelConfigObject* as_config(PyObject* self) { return reinterpret_cast<ChannelConfigObject*>(self); }

// The five fields: the constructor's parameters, in order, and the
// attributes, whose setters convert and name a value as the constructor does.
constexpr py::Param kChannelType{"channel_type", channel_type_from_object};
constexpr py::Param kMaxResistance{"max_resistance", py::to_f32};
constexpr py::Param kMinResistance{"min_resistance", py::to_f32};
constexpr py::Param kShuntResistance{"shunt_resistance", py::to_f32};
constexpr py::Param kRAin0{"r_ain0", py::to_f32};

constexpr auto kSignature =
    py::constructor("ChannelConfig", kChannelType, kMaxResistance, kMinResistance, kShuntResistance, kRAin0);

PyObject* make_config(PyTypeObject* type, ChannelTypeValue channel_type, float max_resistance, float min_resistance,
                      float shunt_resistance, float r_ain0) {
    auto* self = py::allocate<ChannelConfigObject>(type);  // zero-filled: the borrow flag is idle
    self->record = {channel_type, max_resistance, min_resistance, shunt_resistance, r_ain0};
    return reinterpret_cast<PyObject*>(self);
}

// The new object a getter returns for a field's value.
template <auto Field>
struct Attribute;

template <float ChannelConfigRecord::* Field>
struct Attribute<Field> {
    static PyObject* to_python(float value) { return py::checked(PyFloat_FromDouble(value)).release(); }
};

template <ChannelTypeValue ChannelConfigRecord::* Field>
struct Attribute<Field> {
    static PyObject* to_python(ChannelTypeValue value) { return channel_type_to_object(value); }
};

// Getters and setters read or write one field of the record under the
// matching borrow.
template <auto Field>
PyObject* get_field(PyObject* self, void*) {
    return guard([&] {
        auto* config = as_config(self);
        const auto value = [&] {
            SharedBorrow borrow(config->borrow);
            return config->record.*Field;
        }();
        return Attribute<Field>::to_python(value);
    });
}

template <auto Field, const auto& Param>
int set_field(PyObject* self, PyObject* value, void*) {
    return guard([&] {
        if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
        py::BoundArgs bound(self, value);
        const auto converted = py::convert_operand(Param, bound);
        auto* config = as_config(self);
        ExclusiveBorrow borrow(config->borrow);
        config->record.*Field = converted;
        return 0;
    });
}

// The attribute is named after its parameter, and so is a value it refuses.
template <auto Field, const auto& Param>
constexpr PyGetSetDef attribute() {
    return {Param.name, &get_field<Field>, &set_field<Field, Param>, nullptr, nullptr};
}

PyGetSetDef config_getset[] = {
    attribute<&ChannelConfigRecord::channel_type, kChannelType>(),
    attribute<&ChannelConfigRecord::max_resistance, kMaxResistance>(),
    attribute<&ChannelConfigRecord::min_resistance, kMinResistance>(),
    attribute<&ChannelConfigRecord::shunt_resistance, kShuntResistance>(),
    attribute<&ChannelConfigRecord::r_ain0, kRAin0>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* make_class() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&py::construct<kSignature, make_config>)},
        {Py_tp_doc, const_cast<char*>(py::text_signature<kSignature>.data())},
        {Py_tp_getset, config_getset},
        {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc_instance)},
        {0, nullptr},
    };
    PyType_Spec spec{py::type_name<kSignature>.data(), sizeof(ChannelConfigObject), 0, Py_TPFLAGS_DEFAULT, slots};
    PyTypeObject* type = py::new_class(spec);
    py::enable_vectorcall<kSignature, make_config>(type);
    return type;
}

}  // namespace

bool is_config_after_release(PyObject* obj) { return py::state().released && Py_TYPE(obj)->tp_getset == config_getset; }

}  // namespace kelvane::channel

namespace kelvane::callables {

const std::span<const py::SignatureNames> ChannelConfig::constructors = py::names_of<channel::kSignature>;

PyTypeObject* ChannelConfig::make(py::ModuleState& state) {
    if (!state.config_class) state.config_class = channel::make_class();
    return state.config_class;
}

}  // namespace kelvane::callables
