// The numeric conversions shared by every callable, and the bytes result.
#pragma once

#include <cstdint>

#include "hal/common/src/packets/mod.hpp"
#include "module/errors.hpp"

namespace kelvane::py {

// The number conversions run Python code (__index__, __float__) for anything
// but the interpreter's own numbers. Right before they may, they call
// `before_python()`: the binder holds the call's arguments there, so that the
// common call, with plain ints and floats, holds nothing.
struct NoCallout {
    void operator()() const {}
};

// int (or subclass) directly, anything else through __index__; the
// interpreter's OverflowError outside 0..2**64-1.
inline constexpr struct ToU64 {
    template <class BeforePython = NoCallout>
    std::uint64_t operator()(PyObject* obj, BeforePython before_python = {}) const {
        Ref index;
        if (!PyLong_Check(obj)) {
            before_python();
            index = checked(PyNumber_Index(obj));
            obj = index.get();
        }
        const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_pending();
        return value;
    }
} to_u64;

inline constexpr struct ToU32 {
    template <class BeforePython = NoCallout>
    std::uint32_t operator()(PyObject* obj, BeforePython before_python = {}) const {
        if (!PyLong_Check(obj)) before_python();
        const long value = PyLong_AsLong(obj);
        if (value == -1 && PyErr_Occurred()) raise_pending();
        if (value < 0 || static_cast<unsigned long>(value) > UINT32_MAX) {
            raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        return static_cast<std::uint32_t>(value);
    }
} to_u32;

// A real number, narrowed to binary32 with round-to-nearest-even; too large a
// magnitude becomes an infinity (IEEE hardware conversion).
inline constexpr struct ToF32 {
    template <class BeforePython = NoCallout>
    float operator()(PyObject* obj, BeforePython before_python = {}) const {
        double value;
        if (PyFloat_CheckExact(obj)) {
            value = PyFloat_AS_DOUBLE(obj);
        } else {
            if (!PyLong_CheckExact(obj)) before_python();
            value = PyFloat_AsDouble(obj);
        }
        if (value == -1.0 && PyErr_Occurred()) raise_pending();
        return static_cast<float>(value);
    }
} to_f32;

// The packet as a new bytes object: the frame is written straight into it.
inline PyObject* packet_to_bytes(const packets::PacketFrame& frame) {
    const auto size = static_cast<Py_ssize_t>(frame.packet_size());
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, size);
    if (!bytes) creation_failed();
    frame.write_to(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)));
    return bytes;
}

}  // namespace kelvane::py
