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

constexpr py::ParamTable kConfigParams =
    py::make_params("__new__", "ChannelConfig", py::detail::module_state.names.channel_config,
                    {"channel_type", "max_resistance", "min_resistance", "shunt_resistance", "r_ain0"});

PyObject* make_config(PyTypeObject* type, py::BoundArgs& bound) {
    ChannelConfigRecord record;
    record.channel_type = py::convert_param(kConfigParams, 0, bound, channel_type_from_object);
    record.max_resistance = py::convert_param(kConfigParams, 1, bound, py::to_f32);
    record.min_resistance = py::convert_param(kConfigParams, 2, bound, py::to_f32);
    record.shunt_resistance = py::convert_param(kConfigParams, 3, bound, py::to_f32);
    record.r_ain0 = py::convert_param(kConfigParams, 4, bound, py::to_f32);
    auto* self = py::allocate<ChannelConfigObject>(type);  // zero-filled: the borrow flag is idle
    self->record = record;
    return reinterpret_cast<PyObject*>(self);
}

// Getters and setters share one shape: read or write one field of the record
// under the matching borrow.
template <auto Field>
struct Attribute;

template <float ChannelConfigRecord::* Field>
struct Attribute<Field> {
    static PyObject* to_python(float value) { return py::checked(PyFloat_FromDouble(value)).release(); }
    static constexpr const auto& from_python = py::to_f32;
};

template <ChannelTypeValue ChannelConfigRecord::* Field>
struct Attribute<Field> {
    static PyObject* to_python(ChannelTypeValue value) { return channel_type_to_object(value); }
    static constexpr auto from_python = channel_type_from_object;
};

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

template <auto Field>
int set_field(PyObject* self, PyObject* value, void* closure) {
    return guard([&] {
        if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
        const auto& params = *static_cast<const py::ParamTable*>(closure);
        py::BoundArgs bound(self, value);
        const auto converted = py::convert_param(params, 0, bound, Attribute<Field>::from_python);
        auto* config = as_config(self);
        ExclusiveBorrow borrow(config->borrow);
        config->record.*Field = converted;
        return 0;
    });
}

// The setter names the value it was given after the attribute.
template <auto Field>
constexpr PyGetSetDef attribute(const py::ParamTable& params) {
    return {params.names[0], &get_field<Field>, &set_field<Field>, nullptr, const_cast<py::ParamTable*>(&params)};
}

constexpr py::ParamTable kFieldParams[] = {
    py::operand_params("channel_type"),     py::operand_params("max_resistance"), py::operand_params("min_resistance"),
    py::operand_params("shunt_resistance"), py::operand_params("r_ain0"),
};

PyGetSetDef config_getset[] = {
    attribute<&ChannelConfigRecord::channel_type>(kFieldParams[0]),
    attribute<&ChannelConfigRecord::max_resistance>(kFieldParams[1]),
    attribute<&ChannelConfigRecord::min_resistance>(kFieldParams[2]),
    attribute<&ChannelConfigRecord::shunt_resistance>(kFieldParams[3]),
    attribute<&ChannelConfigRecord::r_ain0>(kFieldParams[4]),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_channel_config_class() {
    py::prepare_params(kConfigParams);
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&py::construct<kConfigParams, make_config>)},
        {Py_tp_doc, const_cast<char*>("ChannelConfig(channel_type, max_resistance, min_resistance, "
                                      "shunt_resistance, r_ain0)\n--\n\n")},
        {Py_tp_getset, config_getset},
        {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc_instance)},
        {0, nullptr},
    };
    PyType_Spec spec{"builtins.ChannelConfig", sizeof(ChannelConfigObject), 0, Py_TPFLAGS_DEFAULT, slots};
    PyTypeObject* type = py::new_class(spec);
    py::enable_vectorcall<kConfigParams, make_config>(type);
    return type;
}

}  // namespace kelvane::channel
