#include "channel/channel_type.hpp"

#include "channel/sensor_types.hpp"
#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/convert.hpp"

namespace kelvane::channel {
namespace {

using py::guard;
using py::Ref;

ChannelTypeValue& value_of(PyObject* self) { return reinterpret_cast<ChannelTypeObject*>(self)->value; }

SensorFamily family_of(ChannelKind kind) { return kind == ChannelKind::Rtd ? SensorFamily::Rtd : SensorFamily::Tc; }

template <SensorFamily Family>
constexpr auto sensor_of = [](PyObject* obj) { return sensor_from_object(Family, obj); };

constexpr auto& kNames = py::detail::module_state.names;
constexpr auto kNoneSignature = py::constructor("ChannelType_None", &kNames.none);
constexpr auto kRtdSignature =
    py::constructor("ChannelType_RTD", &kNames.rtd, py::Param{"_0", sensor_of<SensorFamily::Rtd>});
constexpr auto kTcSignature =
    py::constructor("ChannelType_TC", &kNames.tc, py::Param{"_0", sensor_of<SensorFamily::Tc>});

PyObject* new_instance(PyTypeObject* type, ChannelTypeValue value) {
    auto* object = py::allocate<ChannelTypeObject>(type);
    object->value = value;
    return reinterpret_cast<PyObject*>(object);
}

PyObject* make_none(PyTypeObject* type) { return new_instance(type, {ChannelKind::None, 0}); }

template <ChannelKind Kind>
PyObject* make_with_sensor(PyTypeObject* type, SensorType sensor) {
    return new_instance(type, {Kind, sensor});
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

constexpr py::Param kIndex{"idx", py::to_u64};

PyObject* subscript(PyObject* self, PyObject* idx) {
    return guard([&] {
        py::BoundArgs bound(self, idx);
        const std::uint64_t index = py::convert_operand(kIndex, bound);
        const ChannelKind kind = value_of(self).kind;
        if (kind == ChannelKind::None || index != 0) py::raise(PyExc_IndexError, "tuple index out of range");
        return payload(self, kind);
    });
}

// The payload's attribute is named after the constructor's parameter.
template <const auto& Sig, ChannelKind Kind>
PyGetSetDef payload_getset[] = {
    {Sig.table.names[0], &get_payload<Kind>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <const auto& Sig, auto Make>
Ref make_variant(PyTypeObject* base, PyGetSetDef* getset) {
    const py::ParamTable& params = Sig.table;
    py::prepare_params(params);
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&py::construct<Sig, Make>)},
        {Py_tp_doc, const_cast<char*>(py::text_signature<Sig>.data())},
        {Py_mp_length, reinterpret_cast<void*>(&length)},
        {Py_mp_subscript, reinterpret_cast<void*>(&subscript)},
        {getset ? Py_tp_getset : 0, getset},
        {0, nullptr},
    };
    PyType_Spec spec{py::type_name<Sig>.data(), sizeof(ChannelTypeObject), 0, Py_TPFLAGS_DEFAULT, slots};
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(py::new_class(spec, base)));
    py::enable_vectorcall<Sig, Make>(reinterpret_cast<PyTypeObject*>(type.get()));
    py::init_class_attributes(params.class_name, [&] {
        Ref match_args = py::checked(params.count == 0 ? PyTuple_New(0) : Py_BuildValue("(s)", params.names[0]));
        py::checked_status(PyObject_SetAttrString(type.get(), "__match_args__", match_args.get()));
    });
    return type;
}

}  // namespace

ChannelTypeClasses make_channel_type_classes() {
    // The family's objects are made by the variants' constructors alone: the
    // allocator that object.__new__ would use (should Python code put that
    // in place of a constructor) refuses, here and in the variants.
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&py::no_constructor)},
        {Py_tp_alloc, reinterpret_cast<void*>(&py::refuse_allocation)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc_instance)},
        {0, nullptr},
    };
    PyType_Spec spec{"builtins.ChannelType", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    Ref base = Ref::steal(reinterpret_cast<PyObject*>(py::new_class(spec)));
    auto* base_type = reinterpret_cast<PyTypeObject*>(base.get());
    Ref variants[3];
    py::init_class_attributes("ChannelType", [&] {
        variants[0] = make_variant<kNoneSignature, make_none>(base_type, nullptr);
        variants[1] = make_variant<kRtdSignature, make_with_sensor<ChannelKind::Rtd>>(
            base_type, payload_getset<kRtdSignature, ChannelKind::Rtd>);
        variants[2] = make_variant<kTcSignature, make_with_sensor<ChannelKind::Tc>>(
            base_type, payload_getset<kTcSignature, ChannelKind::Tc>);
        const char* attributes[] = {"None", "RTD", "TC"};
        for (std::size_t i = 0; i < 3; ++i) {
            py::checked_status(PyObject_SetAttrString(base.get(), attributes[i], variants[i].get()));
        }
    });
    // Only a complete family is kept, so a failed start-up can simply retry.
    ChannelTypeClasses classes{};
    for (std::size_t i = 0; i < 3; ++i) classes.variants[i] = reinterpret_cast<PyTypeObject*>(variants[i].release());
    classes.base = reinterpret_cast<PyTypeObject*>(base.release());
    return classes;
}

void refuse_channel_type(PyObject* obj) { py::raise_wrong_type(obj, "ChannelType"); }

PyObject* channel_type_to_object(ChannelTypeValue value) {
    const auto kind = static_cast<std::size_t>(value.kind);
    const auto& variant_classes = py::state().variant_classes;
    if (kind >= variant_classes.size()) py::fault("channel type value of an unknown kind");
    return new_instance(variant_classes[kind], value);
}

}  // namespace kelvane::channel
