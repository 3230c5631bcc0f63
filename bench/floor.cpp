// The benchmark's floor: the same callables as kelvane, taking the same
// arguments through the same calling conventions, converting them with the
// cheapest correct interpreter calls and returning a new object of the same
// size. What it leaves out is everything a real module needs beyond that: the
// error messages (every failure here is a bare TypeError), the fault handling
// and the borrow state. Built by `make bench` only; never installed.
//
// Built twice. As kelvane_floor, classes take `Class(...)` through a
// vectorcall entry (ChannelConfig's and ChannelType.RTD's written by hand for
// the class, with the checks kelvane's make) and keyword binding counts what
// it filled. With
// KELVANE_OLD_FLOOR defined, as kelvane_old_floor: the floor as it was before
// that, classes called through tp_new (an argument tuple and dict per call)
// and keyword binding with a second pass over the slots.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// --- argument binding ------------------------------------------------------

PyObject* bad_arguments() {
    PyErr_SetString(PyExc_TypeError, "bad arguments");
    return nullptr;
}

struct Names {
    const char* text[5];
    Py_ssize_t count;
    PyObject* interned[5];
};

bool intern_names(Names& names) {
    for (Py_ssize_t i = 0; i < names.count; ++i) {
        names.interned[i] = PyUnicode_InternFromString(names.text[i]);
        if (!names.interned[i]) return false;
    }
    return true;
}

Py_ssize_t find(const Names& names, PyObject* keyword) {
    for (Py_ssize_t i = 0; i < names.count; ++i) {
        if (names.interned[i] == keyword) return i;
    }
    if (!PyUnicode_Check(keyword)) return -1;
    for (Py_ssize_t i = 0; i < names.count; ++i) {
        if (PyUnicode_Compare(keyword, names.interned[i]) == 0) return i;
    }
    return -1;
}

// Fast call with keywords: positional arguments, then keywords, into `out`.
// Null with no error set on any mismatch. Each keyword fills an empty slot or
// fails, so counting them tells whether all are filled: no second pass.
PyObject* const* bind_keywords(const Names& names, PyObject* const* args, Py_ssize_t given, PyObject* kwnames,
                               PyObject** out) {
    if (given > names.count) return nullptr;
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = args[i];
    for (Py_ssize_t i = given; i < names.count; ++i) out[i] = nullptr;
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        const Py_ssize_t i = find(names, PyTuple_GET_ITEM(kwnames, k));
        if (i < 0 || out[i]) return nullptr;
        out[i] = args[given + k];
    }
#ifdef KELVANE_OLD_FLOOR
    for (Py_ssize_t i = given; i < names.count; ++i) {
        if (!out[i]) return nullptr;
    }
    return out;
#else
    return given + keywords == names.count ? out : nullptr;
#endif
}

// Returns the bound arguments: `args` itself when all are positional (a call
// without arguments may pass no vector at all).
inline PyObject* const* bind_vector(const Names& names, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                                    PyObject** out) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (!kwnames) return given == names.count ? (names.count ? args : out) : nullptr;
    return bind_keywords(names, args, given, kwnames, out);
}

// Argument tuple and keyword dict, into `out`.
PyObject* const* bind_dict(const Names& names, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > names.count) return nullptr;
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    for (Py_ssize_t i = given; i < names.count; ++i) out[i] = nullptr;
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
        const Py_ssize_t i = find(names, keyword);
        if (i < 0 || out[i]) return nullptr;
        out[i] = value;
    }
#ifdef KELVANE_OLD_FLOOR
    for (Py_ssize_t i = given; i < names.count; ++i) {
        if (!out[i]) return nullptr;
    }
    return out;
#else
    return given + PyDict_GET_SIZE(kwargs) == names.count ? out : nullptr;
#endif
}

// Returns the bound arguments: the tuple's items when all are positional.
inline PyObject* const* bind_tuple(const Names& names, PyObject* args, PyObject* kwargs, PyObject** out) {
    if (!kwargs) return PyTuple_GET_SIZE(args) == names.count ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    return bind_dict(names, args, kwargs, out);
}

// --- conversions -----------------------------------------------------------

bool to_u64(PyObject* obj, std::uint64_t& out) {
    if (PyLong_Check(obj)) {
        out = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyObject* index = PyNumber_Index(obj);
        if (!index) return false;
        out = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool to_u32(PyObject* obj, std::uint32_t& out) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<unsigned long>(value) > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool to_f32(PyObject* obj, float& out) {
    const double value = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = static_cast<float>(value);
    return true;
}

inline void put_u32(std::uint8_t* p, std::uint32_t v) {
    v = __builtin_bswap32(v);  // big-endian on the wire; this runs on x86-64
    std::memcpy(p, &v, 4);
}

inline void put_f32(std::uint8_t* p, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    put_u32(p, bits);
}

PyObject* new_bytes(Py_ssize_t size, std::uint8_t*& data) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, size);
    if (bytes) data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes));
    return bytes;
}

// --- classes ----------------------------------------------------------------

struct SensorObject {
    PyObject_HEAD
    std::uint8_t value;
};

struct ChannelTypeObject {
    PyObject_HEAD
    std::uint8_t kind;
    std::uint8_t sensor;
};

struct Record {
    std::uint8_t kind;
    std::uint8_t sensor;
    float floats[4];
};

struct ConfigObject {
    PyObject_HEAD
    Record record;
};

PyTypeObject* sensor_types[2];     // RTDType, TCType
PyTypeObject* channel_type_base;
PyTypeObject* variant_types[3];    // None, RTD, TC
PyTypeObject* config_type;

Names none_names = {{}, 0, {}};
Names variant_names = {{"_0"}, 1, {}};
Names config_names = {{"channel_type", "max_resistance", "min_resistance", "shunt_resistance", "r_ain0"}, 5, {}};
Names request_names[2] = {
    {{"c_number", "c_config", "id"}, 3, {}},
    {{"c_number", "temperature_value", "id"}, 3, {}},
};

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* refuse(PyTypeObject*, PyObject*, PyObject*) { return bad_arguments(); }

PyObject* sensor_int(PyObject* self) { return PyLong_FromLong(reinterpret_cast<SensorObject*>(self)->value); }

PyObject* new_sensor(int family, std::uint8_t value) {
    auto* object = reinterpret_cast<SensorObject*>(sensor_types[family]->tp_alloc(sensor_types[family], 0));
    if (object) object->value = value;
    return reinterpret_cast<PyObject*>(object);
}

PyObject* new_variant(PyTypeObject* type, std::uint8_t kind, std::uint8_t sensor) {
    auto* object = reinterpret_cast<ChannelTypeObject*>(type->tp_alloc(type, 0));
    if (object) {
        object->kind = kind;
        object->sensor = sensor;
    }
    return reinterpret_cast<PyObject*>(object);
}

PyObject* variant_none_make(PyTypeObject* type, PyObject* const*) { return new_variant(type, 0, 0); }

template <int Kind>
PyObject* variant_make(PyTypeObject* type, PyObject* const* bound) {
    if (!PyObject_TypeCheck(bound[0], sensor_types[Kind - 1])) return bad_arguments();
    return new_variant(type, Kind, reinterpret_cast<SensorObject*>(bound[0])->value);
}

template <int Kind>
PyObject* variant_get_0(PyObject* self, void*) {
    return new_sensor(Kind - 1, reinterpret_cast<ChannelTypeObject*>(self)->sensor);
}

Py_ssize_t variant_length(PyObject* self) { return reinterpret_cast<ChannelTypeObject*>(self)->kind ? 1 : 0; }

PyObject* variant_subscript(PyObject* self, PyObject* idx) {
    std::uint64_t index;
    if (!to_u64(idx, index)) return nullptr;
    const auto* value = reinterpret_cast<ChannelTypeObject*>(self);
    if (value->kind == 0 || index != 0) {
        PyErr_SetString(PyExc_IndexError, "out of range");
        return nullptr;
    }
    return new_sensor(value->kind - 1, value->sensor);
}

PyObject* config_make(PyTypeObject* type, PyObject* const* bound) {
    if (!PyObject_TypeCheck(bound[0], channel_type_base)) return bad_arguments();
    float floats[4];
    for (int i = 0; i < 4; ++i) {
        if (!to_f32(bound[i + 1], floats[i])) return nullptr;
    }
    auto* self = reinterpret_cast<ConfigObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    const auto* channel_type = reinterpret_cast<ChannelTypeObject*>(bound[0]);
    self->record.kind = channel_type->kind;
    self->record.sensor = channel_type->sensor;
    std::memcpy(self->record.floats, floats, sizeof floats);
    return reinterpret_cast<PyObject*>(self);
}

// Every constructor comes in two entries around one body: tp_new (argument
// tuple and keyword dict) and the type's vectorcall (argument vector).
using Make = PyObject* (*)(PyTypeObject*, PyObject* const*);

template <Names& N, Make M>
PyObject* construct_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* storage[5];
    PyObject* const* bound = bind_tuple(N, args, kwargs, storage);
    return bound ? M(type, bound) : bad_arguments();
}

template <Names& N, Make M>
PyObject* construct_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* storage[5];
    PyObject* const* bound = bind_vector(N, args, static_cast<Py_ssize_t>(nargsf), kwnames, storage);
    return bound ? M(reinterpret_cast<PyTypeObject*>(type), bound) : bad_arguments();
}

// The constructors as one would write them by hand for these two classes
// alone, making the checks kelvane's make: the class's own __new__ and
// __init__ still in place (a Python-replaced one goes through the type's
// ordinary call), the argument count, the exact sensor or variant class.
// Only positional calls take the short way; the rest bind through tp_new.
PyObject* call_type(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    PyObject* tuple = PyTuple_New(given);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < given; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    PyObject* kwargs = nullptr;
    if (kwnames) {
        kwargs = PyDict_New();
        for (Py_ssize_t k = 0; kwargs && k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, k), args[given + k]) < 0) Py_CLEAR(kwargs);
        }
        if (!kwargs) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    PyObject* result = PyType_Type.tp_call(type, tuple, kwargs);
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return result;
}

template <newfunc New>
bool own_slots(PyTypeObject* type) {
    return type->tp_new == New && type->tp_init == PyBaseObject_Type.tp_init;
}

PyObject* new_rtd(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* new_config(PyTypeObject* type, PyObject* args, PyObject* kwargs);

PyObject* rtd_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    if (kwnames || PyVectorcall_NARGS(nargsf) != 1 || !own_slots<new_rtd>(type)) {
        return call_type(callable, args, nargsf, kwnames);
    }
    PyObject* sensor = args[0];
    if (!PyObject_TypeCheck(sensor, sensor_types[0])) return bad_arguments();
    auto* self = reinterpret_cast<ChannelTypeObject*>(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    self->kind = 1;
    self->sensor = reinterpret_cast<SensorObject*>(sensor)->value;
    return reinterpret_cast<PyObject*>(self);
}

[[maybe_unused]] PyObject* config_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    if (kwnames || PyVectorcall_NARGS(nargsf) != 5 || !own_slots<new_config>(type)) {
        return call_type(callable, args, nargsf, kwnames);
    }
    PyTypeObject* variant = Py_TYPE(args[0]);
    if (variant != variant_types[1] && variant != variant_types[2] && variant != variant_types[0]) {
        return bad_arguments();
    }
    float floats[4];
    for (int i = 0; i < 4; ++i) {
        if (!to_f32(args[i + 1], floats[i])) return nullptr;
    }
    auto* self = reinterpret_cast<ConfigObject*>(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    const auto* channel_type = reinterpret_cast<ChannelTypeObject*>(args[0]);
    self->record.kind = channel_type->kind;
    self->record.sensor = channel_type->sensor;
    std::memcpy(self->record.floats, floats, sizeof floats);
    return reinterpret_cast<PyObject*>(self);
}

PyObject* new_rtd(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct_new<variant_names, variant_make<1>>(type, args, kwargs);
}
PyObject* new_config(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct_new<config_names, config_make>(type, args, kwargs);
}

PyObject* config_get_channel_type(PyObject* self, void*) {
    const Record& config = reinterpret_cast<ConfigObject*>(self)->record;
    return new_variant(variant_types[config.kind], config.kind, config.sensor);
}

int config_set_channel_type(PyObject* self, PyObject* value, void*) {
    if (!value || !PyObject_TypeCheck(value, channel_type_base)) {
        bad_arguments();
        return -1;
    }
    Record& config = reinterpret_cast<ConfigObject*>(self)->record;
    config.kind = reinterpret_cast<ChannelTypeObject*>(value)->kind;
    config.sensor = reinterpret_cast<ChannelTypeObject*>(value)->sensor;
    return 0;
}

PyObject* config_get_float(PyObject* self, void* closure) {
    return PyFloat_FromDouble(reinterpret_cast<ConfigObject*>(self)->record.floats[reinterpret_cast<std::intptr_t>(closure)]);
}

int config_set_float(PyObject* self, PyObject* value, void* closure) {
    float converted;
    if (!value) {
        bad_arguments();
        return -1;
    }
    if (!to_f32(value, converted)) return -1;
    reinterpret_cast<ConfigObject*>(self)->record.floats[reinterpret_cast<std::intptr_t>(closure)] = converted;
    return 0;
}

#define FLOAT_FIELD(name, i) {name, config_get_float, config_set_float, nullptr, reinterpret_cast<void*>(i)}
PyGetSetDef config_getset[] = {
    {"channel_type", config_get_channel_type, config_set_channel_type, nullptr, nullptr},
    FLOAT_FIELD("max_resistance", 0),
    FLOAT_FIELD("min_resistance", 1),
    FLOAT_FIELD("shunt_resistance", 2),
    FLOAT_FIELD("r_ain0", 3),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef rtd_getset[] = {{"_0", variant_get_0<1>, nullptr, nullptr, nullptr}, {}};
PyGetSetDef tc_getset[] = {{"_0", variant_get_0<2>, nullptr, nullptr, nullptr}, {}};

PyTypeObject* make_type(const char* name, int basicsize, unsigned flags, PyType_Slot* slots, PyTypeObject* base) {
    PyType_Spec spec{name, basicsize, 0, flags, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(base)));
}

bool make_types(PyObject* module) {
    for (int family = 0; family < 2; ++family) {
        PyType_Slot slots[] = {
            {Py_nb_int, reinterpret_cast<void*>(sensor_int)},
            {Py_tp_new, reinterpret_cast<void*>(refuse)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {0, nullptr},
        };
        const char* name = family == 0 ? "kelvane_floor.RTDType" : "kelvane_floor.TCType";
        sensor_types[family] = make_type(name, sizeof(SensorObject), Py_TPFLAGS_DEFAULT, slots, nullptr);
        if (!sensor_types[family]) return false;
        const int members = family == 0 ? 9 : 8;
        static const char* rtd[] = {"PT100", "PT500", "PT1000", "Cu10", "Cu50", "Cu100", "Ni100", "Ni120", "Ni1000"};
        static const char* tc[] = {"E", "J", "K", "N", "R", "S", "T", "B"};
        for (int i = 0; i < members; ++i) {
            PyObject* member = new_sensor(family, static_cast<std::uint8_t>(i));
            if (!member) return false;
            const int status = PyObject_SetAttrString(reinterpret_cast<PyObject*>(sensor_types[family]),
                                                      family == 0 ? rtd[i] : tc[i], member);
            Py_DECREF(member);
            if (status < 0) return false;
        }
    }

    PyType_Slot base_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(refuse)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {0, nullptr},
    };
    channel_type_base = make_type("kelvane_floor.ChannelType", sizeof(ChannelTypeObject),
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, base_slots, nullptr);
    if (!channel_type_base) return false;
    struct Variant {
        const char* type_name;
        const char* attribute;
        void* new_fn;
        vectorcallfunc vectorcall;
        PyGetSetDef* getset;
    } variants[3] = {
        {"kelvane_floor.ChannelType_None", "None",
         reinterpret_cast<void*>(construct_new<none_names, variant_none_make>),
         construct_vectorcall<none_names, variant_none_make>, nullptr},
        {"kelvane_floor.ChannelType_RTD", "RTD", reinterpret_cast<void*>(new_rtd), rtd_vectorcall, rtd_getset},
        {"kelvane_floor.ChannelType_TC", "TC", reinterpret_cast<void*>(construct_new<variant_names, variant_make<2>>),
         construct_vectorcall<variant_names, variant_make<2>>, tc_getset},
    };
    for (int i = 0; i < 3; ++i) {
        PyType_Slot slots[] = {
            {Py_tp_new, variants[i].new_fn},
            {Py_mp_length, reinterpret_cast<void*>(variant_length)},
            {Py_mp_subscript, reinterpret_cast<void*>(variant_subscript)},
            {variants[i].getset ? Py_tp_getset : 0, variants[i].getset},
            {0, nullptr},
        };
        variant_types[i] = make_type(variants[i].type_name, sizeof(ChannelTypeObject), Py_TPFLAGS_DEFAULT, slots,
                                     channel_type_base);
        if (!variant_types[i]) return false;
#ifndef KELVANE_OLD_FLOOR
        variant_types[i]->tp_vectorcall = variants[i].vectorcall;
#endif
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(channel_type_base), variants[i].attribute,
                                   reinterpret_cast<PyObject*>(variant_types[i])) < 0) {
            return false;
        }
    }

    PyType_Slot config_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(new_config)},
        {Py_tp_getset, config_getset},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {0, nullptr},
    };
    config_type = make_type("kelvane_floor.ChannelConfig", sizeof(ConfigObject), Py_TPFLAGS_DEFAULT, config_slots,
                            nullptr);
    if (!config_type) return false;
#ifndef KELVANE_OLD_FLOOR
    config_type->tp_vectorcall = config_vectorcall;
#endif

    PyObject* types[] = {reinterpret_cast<PyObject*>(config_type), reinterpret_cast<PyObject*>(channel_type_base),
                         reinterpret_cast<PyObject*>(sensor_types[0]), reinterpret_cast<PyObject*>(sensor_types[1])};
    const char* names[] = {"ChannelConfig", "ChannelType", "RTDType", "TCType"};
    for (int i = 0; i < 4; ++i) {
        if (PyModule_AddObjectRef(module, names[i], types[i]) < 0) return false;
    }
    return true;
}

// --- the builders ----------------------------------------------------------

PyObject* sys_reset(PyObject*, PyObject*) {
    std::uint8_t* p;
    PyObject* bytes = new_bytes(10, p);
    if (!bytes) return nullptr;
    static constexpr std::uint8_t packet[10] = {0x10, 0, 0, 0, 5, 0x01, 0, 0, 0, 1};
    std::memcpy(p, packet, sizeof packet);
    return bytes;
}

PyObject* set_temperature_request(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* storage[3];
    PyObject* const* bound = bind_vector(request_names[1], args, nargsf, kwnames, storage);
    if (!bound) return bad_arguments();
    std::uint64_t c_number;
    float temperature;
    std::uint32_t id;
    if (!to_u64(bound[0], c_number) || !to_f32(bound[1], temperature) || !to_u32(bound[2], id)) return nullptr;
    std::uint8_t* p;
    PyObject* bytes = new_bytes(14, p);
    if (!bytes) return nullptr;
    p[0] = static_cast<std::uint8_t>(c_number + 0x10);
    put_u32(p + 1, 9);
    p[5] = 0xF0;
    put_u32(p + 6, id);
    put_f32(p + 10, temperature);
    return bytes;
}

PyObject* set_channel_request(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* storage[3];
    PyObject* const* bound = bind_vector(request_names[0], args, nargsf, kwnames, storage);
    if (!bound) return bad_arguments();
    std::uint64_t c_number;
    if (!to_u64(bound[0], c_number)) return nullptr;
    if (!PyObject_TypeCheck(bound[1], config_type)) return bad_arguments();
    const Record config = reinterpret_cast<ConfigObject*>(bound[1])->record;
    std::uint32_t id;
    if (!to_u32(bound[2], id)) return nullptr;
    const bool has_sensor = config.kind != 0;
    const std::uint32_t body_length = has_sensor ? 23 : 22;
    std::uint8_t* p;
    PyObject* bytes = new_bytes(5 + body_length, p);
    if (!bytes) return nullptr;
    p[0] = static_cast<std::uint8_t>(c_number + 0x10);
    put_u32(p + 1, body_length);
    p[5] = 0x00;
    put_u32(p + 6, id);
    p[10] = config.kind;
    std::uint8_t* q = p + 11;
    if (has_sensor) *q++ = config.sensor;
    for (float value : config.floats) {
        put_f32(q, value);
        q += 4;
    }
    return bytes;
}

template <class Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"set_channel_request", as_method(set_channel_request), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"sys_reset", sys_reset, METH_NOARGS, nullptr},
    {"set_temperature_request", as_method(set_temperature_request), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#ifdef KELVANE_OLD_FLOOR
#define FLOOR_NAME "kelvane_old_floor"
#define FLOOR_INIT PyInit_kelvane_old_floor
#else
#define FLOOR_NAME "kelvane_floor"
#define FLOOR_INIT PyInit_kelvane_floor
#endif

PyModuleDef definition = {PyModuleDef_HEAD_INIT, FLOOR_NAME, nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC FLOOR_INIT() {
    PyObject* module = PyModule_Create(&definition);
    if (!module) return nullptr;
    if (!intern_names(variant_names) || !intern_names(config_names) || !intern_names(request_names[0]) ||
        !intern_names(request_names[1]) || !make_types(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
