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

// The variants and the attribute of the base class that holds each.
constexpr std::pair<ChannelKind, const char*> kVariants[] = {
    {ChannelKind::None, "None"},
    {ChannelKind::Rtd, "RTD"},
    {ChannelKind::Tc, "TC"},
};
static_assert(std::size(kVariants) == kChannelKindCount);

template <SensorFamily Family>
constexpr auto sensor_of = [](PyObject* obj) { return sensor_from_object(Family, obj); };

constexpr auto kNoneSignature = py::constructor("ChannelType_None");
constexpr auto kRtdSignature = py::constructor("ChannelType_RTD", py::Param{"_0", sensor_of<SensorFamily::Rtd>});
constexpr auto kTcSignature = py::constructor("ChannelType_TC", py::Param{"_0", sensor_of<SensorFamily::Tc>});

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

// Makes the base class and its variants into `base` and `variants`, all or
// nothing, so that a failed start-up can simply retry.
void make_classes(PyTypeObject*& base_slot, py::ByKey<ChannelKind, PyTypeObject*, kChannelKindCount>& variant_slots) {
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
    py::ByKey<ChannelKind, Ref, kChannelKindCount> variants;
    py::init_class_attributes("ChannelType", [&] {
        variants[ChannelKind::None] = make_variant<kNoneSignature, make_none>(base_type, nullptr);
        variants[ChannelKind::Rtd] = make_variant<kRtdSignature, make_with_sensor<ChannelKind::Rtd>>(
            base_type, payload_getset<kRtdSignature, ChannelKind::Rtd>);
        variants[ChannelKind::Tc] = make_variant<kTcSignature, make_with_sensor<ChannelKind::Tc>>(
            base_type, payload_getset<kTcSignature, ChannelKind::Tc>);
        for (const auto& [kind, attribute] : kVariants) {
            py::checked_status(PyObject_SetAttrString(base.get(), attribute, variants[kind].get()));
        }
    });
    for (const auto& [kind, attribute] : kVariants) {
        variant_slots[kind] = reinterpret_cast<PyTypeObject*>(variants[kind].release());
    }
    base_slot = reinterpret_cast<PyTypeObject*>(base.release());
}

}  // namespace

ChannelTypeValue channel_type_not_held(PyObject* obj) {
    // Only the variants have a subscript, and no class derives from them.
    const PyMappingMethods* mapping = Py_TYPE(obj)->tp_as_mapping;
    if (py::state().released && mapping && mapping->mp_subscript == &subscript) {
        return reinterpret_cast<ChannelTypeObject*>(obj)->value;
    }
    py::raise_wrong_type(obj, "ChannelType");
}

PyObject* channel_type_to_object(ChannelTypeValue value) {
    const auto& variant_classes = py::state().variant_classes;
    if (static_cast<std::size_t>(value.kind) >= variant_classes.size())
        py::fault("channel type value of an unknown kind");
    PyTypeObject* type = variant_classes[value.kind];
    if (!type) py::raise_released("ChannelType");
    return new_instance(type, value);
}

}  // namespace kelvane::channel

namespace kelvane::callables {

const std::span<const py::SignatureNames> ChannelType::constructors =
    py::names_of<channel::kNoneSignature, channel::kRtdSignature, channel::kTcSignature>;

PyTypeObject* ChannelType::make(py::ModuleState& state) {
    if (!state.channel_type_class) channel::make_classes(state.channel_type_class, state.variant_classes);
    return state.channel_type_class;
}

}  // namespace kelvane::callables
