// Everything the module keeps between calls, in one place.
//
// It is made at the first import, by start-up (module/module.cpp), the only
// code that writes it, and it lives as long as the interpreter that made it.
// At the very end of that interpreter's finalization it is forgotten whole:
// not released, since no object may be touched once the interpreter is gone,
// but dropped, so that an interpreter started again in the same process
// builds the module afresh instead of being handed its predecessor's.
#pragma once

#include <array>
#include <cstdint>

#include "module/python.hpp"

namespace kelvane::py {

// Interned copies of a callable's parameter names, made at start-up so that
// keyword names coming from call sites usually match by pointer.
inline constexpr std::size_t kMaxParams = 5;
using InternedNames = std::array<PyObject*, kMaxParams>;

struct ModuleState {
    // The interpreter that claimed the module, -1 until one has; changed
    // only by atomic compare-and-set (std::atomic_ref), so that two
    // interpreters starting at once cannot both win.
    std::int64_t owner_interpreter = -1;
    // Set while the module body runs: an import of kelvane from inside it (an
    // import hook reached from the body's own imports) must not build a
    // second tree.
    bool building = false;
    // The root module once its body has succeeded; later imports in the same
    // interpreter return it.
    PyObject* built_module = nullptr;

    // Strong references, each made once.
    PyObject* panic_type = nullptr;
    PyTypeObject* config_class = nullptr;
    PyTypeObject* channel_type_class = nullptr;
    std::array<PyTypeObject*, 3> variant_classes{};  // indexed by ChannelKind
    std::array<PyTypeObject*, 2> sensor_classes{};   // indexed by SensorFamily

    struct {
        InternedNames set_channel_request, set_temperature_request, channel_config, none, rtd, tc;
    } names{};
};

namespace detail {
inline constinit ModuleState module_state{};
}  // namespace detail

// What the calls read. Only start-up changes it.
[[gnu::always_inline]] inline const ModuleState& state() { return detail::module_state; }

}  // namespace kelvane::py
