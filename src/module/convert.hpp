// The numeric conversions shared by every callable, and the bytes result.
#pragma once

#include <cstdint>

#include "hal/common/src/packets/mod.hpp"
#include "module/errors.hpp"

namespace kelvane::py {

// int (or subclass) directly, anything else through __index__; the
// interpreter's OverflowError outside 0..2**64-1.
inline std::uint64_t to_u64(PyObject* obj) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = checked(PyNumber_Index(obj));
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_pending();
    return value;
}

inline std::uint32_t to_u32(PyObject* obj) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) raise_pending();
    if (value < 0 || static_cast<unsigned long>(value) > UINT32_MAX) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint32_t>(value);
}

// A real number, narrowed to binary32 with round-to-nearest-even; too large a
// magnitude becomes an infinity (IEEE hardware conversion).
inline float to_f32(PyObject* obj) {
    const double value = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) raise_pending();
    return static_cast<float>(value);
}

// The packet as a new bytes object: the frame is written straight into it.
inline PyObject* packet_to_bytes(const packets::PacketFrame& frame) {
    const auto size = static_cast<Py_ssize_t>(frame.packet_size());
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, size);
    if (!bytes) creation_failed();
    frame.write_to(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)));
    return bytes;
}

}  // namespace kelvane::py
