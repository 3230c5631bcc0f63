#include "channel/channel_type.hpp"

#include "channel/sensor_types.hpp"
#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/convert.hpp"

namespace kelvane::channel {
namespace {

using py::guard;
using py::Ref;

struct ChannelTypeObject {
    PyObject_HEAD
    ChannelTypeValue value;
};

ChannelTypeValue& value_of(PyObject* self) { return reinterpret_cast<ChannelTypeObject*>(self)->value; }

PyTypeObject* base_class = nullptr;
PyTypeObject* variant_classes[3] = {};  // indexed by ChannelKind

SensorFamily family_of(ChannelKind kind) { return kind == ChannelKind::Rtd ? SensorFamily::Rtd : SensorFamily::Tc; }

const py::ParamTable kNoneParams = py::make_params("__new__", "ChannelType_None", {});
const py::ParamTable kRtdParams = py::make_params("__new__", "ChannelType_RTD", {"_0"});
const py::ParamTable kTcParams = py::make_params("__new__", "ChannelType_TC", {"_0"});

PyObject* new_instance(PyTypeObject* type, ChannelTypeValue value) {
    auto* object = py::allocate<ChannelTypeObject>(type);
    object->value = value;
    return reinterpret_cast<PyObject*>(object);
}

PyObject* new_none(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        py::bind_tuple(kNoneParams, args, kwargs, nullptr);
        return new_instance(type, {ChannelKind::None, 0});
    });
}

template <ChannelKind Kind>
PyObject* new_with_sensor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const py::ParamTable& params = Kind == ChannelKind::Rtd ? kRtdParams : kTcParams;
        PyObject* storage[1];
        PyObject* const* bound = py::bind_tuple(params, args, kwargs, storage);
        const SensorType sensor =
            py::convert_param(params, 0, bound, [](PyObject* obj) { return sensor_from_object(family_of(Kind), obj); });
        return new_instance(type, {Kind, sensor});
    });
}

// The payload of a variant whose class must match `kind`.
PyObject* payload(PyObject* self, ChannelKind kind) {
    const ChannelTypeValue value = value_of(self);
    if (value.kind != kind) py::fault("channel type object holds the wrong variant");
    return sensor_to_object(family_of(kind), value.sensor);
}

template <ChannelKind Kind>
PyObject* get_payload(PyObject* self, void*) {
    return guard([&] { return payload(self, Kind); });
}

Py_ssize_t length(PyObject* self) {
    return guard([&]() -> Py_ssize_t { return value_of(self).kind == ChannelKind::None ? 0 : 1; });
}

PyObject* subscript(PyObject* self, PyObject* idx) {
    return guard([&] {
        const std::uint64_t index = py::convert_argument("idx", [&] { return py::to_u64(idx); });
        const ChannelKind kind = value_of(self).kind;
        if (kind == ChannelKind::None || index != 0) py::raise(PyExc_IndexError, "tuple index out of range");
        return payload(self, kind);
    });
}

template <ChannelKind Kind>
PyGetSetDef payload_getset[] = {
    {"_0", &get_payload<Kind>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Ref make_variant(PyTypeObject* base, const char* spec_name, const char* doc, const py::ParamTable& params, void* new_fn,
                 PyGetSetDef* getset) {
    py::prepare_params(params);
    PyType_Slot slots[] = {
        {Py_tp_new, new_fn},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_mp_length, reinterpret_cast<void*>(&length)},
        {Py_mp_subscript, reinterpret_cast<void*>(&subscript)},
        {getset ? Py_tp_getset : 0, getset},
        {0, nullptr},
    };
    PyType_Spec spec{spec_name, sizeof(ChannelTypeObject), 0, Py_TPFLAGS_DEFAULT, slots};
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(py::new_class(spec, base)));
    py::init_class_attributes(params.class_name, [&] {
        Ref match_args = py::checked(params.count == 0 ? PyTuple_New(0) : Py_BuildValue("(s)", params.names[0]));
        py::checked_status(PyObject_SetAttrString(type.get(), "__match_args__", match_args.get()));
    });
    return type;
}

void make_classes() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&py::no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc_instance)},
        {0, nullptr},
    };
    PyType_Spec spec{"builtins.ChannelType", sizeof(ChannelTypeObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                     slots};
    Ref base = Ref::steal(reinterpret_cast<PyObject*>(py::new_class(spec)));
    auto* base_type = reinterpret_cast<PyTypeObject*>(base.get());
    Ref variants[3];
    py::init_class_attributes("ChannelType", [&] {
        variants[0] = make_variant(base_type, "builtins.ChannelType_None", "ChannelType_None()\n--\n\n", kNoneParams,
                                   reinterpret_cast<void*>(&new_none), nullptr);
        variants[1] =
            make_variant(base_type, "builtins.ChannelType_RTD", "ChannelType_RTD(_0)\n--\n\n", kRtdParams,
                         reinterpret_cast<void*>(&new_with_sensor<ChannelKind::Rtd>), payload_getset<ChannelKind::Rtd>);
        variants[2] =
            make_variant(base_type, "builtins.ChannelType_TC", "ChannelType_TC(_0)\n--\n\n", kTcParams,
                         reinterpret_cast<void*>(&new_with_sensor<ChannelKind::Tc>), payload_getset<ChannelKind::Tc>);
        const char* attributes[] = {"None", "RTD", "TC"};
        for (std::size_t i = 0; i < 3; ++i) {
            py::checked_status(PyObject_SetAttrString(base.get(), attributes[i], variants[i].get()));
        }
    });
    // Only a complete family is kept, so a failed start-up can simply retry.
    for (std::size_t i = 0; i < 3; ++i) variant_classes[i] = reinterpret_cast<PyTypeObject*>(variants[i].release());
    base_class = reinterpret_cast<PyTypeObject*>(base.release());
}

}  // namespace

PyTypeObject* channel_type_class() {
    if (!base_class) make_classes();
    return base_class;
}

ChannelTypeValue channel_type_from_object(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, base_class)) py::raise_wrong_type(obj, "ChannelType");
    return value_of(obj);
}

PyObject* channel_type_to_object(ChannelTypeValue value) {
    const auto kind = static_cast<std::size_t>(value.kind);
    if (kind >= std::size(variant_classes)) py::fault("channel type value of an unknown kind");
    return new_instance(variant_classes[kind], value);
}

}  // namespace kelvane::channel
