// Owner of one strong reference. Every temporary Python object in the binding
// layer lives in a Ref, so no error path needs a manual decref.
#pragma once

#include <utility>

#include "module/python.hpp"

namespace kelvane::py {

class Ref {
  public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* ptr) { return Ref(ptr); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* ptr) { return Ref(Py_XNewRef(ptr)); }

    [[nodiscard]] PyObject* get() const { return ptr_; }
    [[nodiscard]] PyObject* release() { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const { return ptr_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

  private:
    explicit Ref(PyObject* ptr) : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace kelvane::py
