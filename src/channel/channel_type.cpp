#include "channel/channel_type.hpp"

#include "channel/sensor_types.hpp"
#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/convert.hpp"

namespace kelvane::channel {
namespace {

using py::guard;
using py::Ref;

// Only the variant classes carry a value; the base class adds nothing to
// `object`. The layouts differing is what makes the interpreter refuse
// `__class__` assignment between any two classes of the family, so an
// object's class is always its tag.
struct ChannelTypeObject {
    PyObject_HEAD
    ChannelTypeValue value;
};

ChannelTypeValue& value_of(PyObject* self) { return reinterpret_cast<ChannelTypeObject*>(self)->value; }

SensorFamily family_of(ChannelKind kind) { return kind == ChannelKind::Rtd ? SensorFamily::Rtd : SensorFamily::Tc; }

constexpr auto& kNames = py::detail::module_state.names;
constexpr py::ParamTable kNoneParams = py::make_params("__new__", "ChannelType_None", kNames.none, {});
constexpr py::ParamTable kRtdParams = py::make_params("__new__", "ChannelType_RTD", kNames.rtd, {"_0"});
constexpr py::ParamTable kTcParams = py::make_params("__new__", "ChannelType_TC", kNames.tc, {"_0"});

PyObject* new_instance(PyTypeObject* type, ChannelTypeValue value) {
    auto* object = py::allocate<ChannelTypeObject>(type);
    object->value = value;
    return reinterpret_cast<PyObject*>(object);
}

PyObject* make_none(PyTypeObject* type, py::BoundArgs&) { return new_instance(type, {ChannelKind::None, 0}); }

template <ChannelKind Kind>
PyObject* make_with_sensor(PyTypeObject* type, py::BoundArgs& bound) {
    const py::ParamTable& params = Kind == ChannelKind::Rtd ? kRtdParams : kTcParams;
    const SensorType sensor =
        py::convert_param(params, 0, bound, [](PyObject* obj) { return sensor_from_object(family_of(Kind), obj); });
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

constexpr py::ParamTable kIndexParams = py::operand_params("idx");

PyObject* subscript(PyObject* self, PyObject* idx) {
    return guard([&] {
        py::BoundArgs bound(self, idx);
        const std::uint64_t index = py::convert_param(kIndexParams, 0, bound, py::to_u64);
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

template <const py::ParamTable& Params, py::MakeInstance Make>
Ref make_variant(PyTypeObject* base, const char* spec_name, const char* doc, PyGetSetDef* getset) {
    py::prepare_params(Params);
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&py::construct<Params, Make>)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_mp_length, reinterpret_cast<void*>(&length)},
        {Py_mp_subscript, reinterpret_cast<void*>(&subscript)},
        {getset ? Py_tp_getset : 0, getset},
        {0, nullptr},
    };
    PyType_Spec spec{spec_name, sizeof(ChannelTypeObject), 0, Py_TPFLAGS_DEFAULT, slots};
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(py::new_class(spec, base)));
    py::enable_vectorcall<Params, Make>(reinterpret_cast<PyTypeObject*>(type.get()));
    py::init_class_attributes(Params.class_name, [&] {
        Ref match_args = py::checked(Params.count == 0 ? PyTuple_New(0) : Py_BuildValue("(s)", Params.names[0]));
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
        variants[0] = make_variant<kNoneParams, make_none>(base_type, "builtins.ChannelType_None",
                                                           "ChannelType_None()\n--\n\n", nullptr);
        variants[1] = make_variant<kRtdParams, make_with_sensor<ChannelKind::Rtd>>(
            base_type, "builtins.ChannelType_RTD", "ChannelType_RTD(_0)\n--\n\n", payload_getset<ChannelKind::Rtd>);
        variants[2] = make_variant<kTcParams, make_with_sensor<ChannelKind::Tc>>(
            base_type, "builtins.ChannelType_TC", "ChannelType_TC(_0)\n--\n\n", payload_getset<ChannelKind::Tc>);
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

// Instances of the base class or of a subclass made in Python carry no value;
// they exist only where Python code has replaced ChannelType's constructor,
// and are refused like any other object.
ChannelTypeValue channel_type_from_object(PyObject* obj) {
    const PyTypeObject* type = Py_TYPE(obj);
    const auto& variant_classes = py::state().variant_classes;
    if (type != variant_classes[1] && type != variant_classes[2] && type != variant_classes[0]) {
        py::raise_wrong_type(obj, "ChannelType");
    }
    return value_of(obj);
}

PyObject* channel_type_to_object(ChannelTypeValue value) {
    const auto kind = static_cast<std::size_t>(value.kind);
    const auto& variant_classes = py::state().variant_classes;
    if (kind >= variant_classes.size()) py::fault("channel type value of an unknown kind");
    return new_instance(variant_classes[kind], value);
}

}  // namespace kelvane::channel
