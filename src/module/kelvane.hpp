// The module's spine: the entry guard every callable runs in, and the two
// steps that assemble the module tree.
#pragma once

#include <type_traits>

#include "module/errors.hpp"

namespace kelvane::py {

// Runs the body of a callable. Errors unwind to here and become the slot's
// failure value (null or -1) with the Python exception set.
template <class Body>
auto guard(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    static_assert(std::is_pointer_v<Result> || std::is_integral_v<Result>);
    constexpr Result failure = [] {
        if constexpr (std::is_pointer_v<Result>) return Result{nullptr};
        else return Result(-1);
    }();
    try {
        return body();
    } catch (const ErrorAlreadySet&) {
        return failure;
    } catch (const Fault& fault) {
        raise_panic(fault);
        return failure;
    } catch (...) {
        raise_panic_from_current_exception();
        return failure;
    }
}

// Appends `name` to module.__all__ (creating the list if needed) and sets the
// attribute.
void add_to_module(PyObject* module, PyObject* name, PyObject* object);
// Stores `module` in sys.modules under `dotted_name`.
void register_module(const char* dotted_name, PyObject* module);

}  // namespace kelvane::py
