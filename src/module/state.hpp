// Everything the module keeps between calls, in one place.
//
// Start-up (module/module.cpp) is the only code that writes it: it builds the
// module at the first import, handing each class's maker the slots that class
// fills. The calls only read it, through state(). When the interpreter that
// built it finalizes, start-up releases its references while objects can still
// be freed (an exit callback of that interpreter), and at the very end forgets
// it whole, so that an interpreter started again in the same process builds
// the module afresh instead of being handed its predecessor's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "channel/model.hpp"
#include "module/python.hpp"

namespace kelvane::py {

// An array indexed by the values of an enumeration, not by bare numbers.
template <class Key, class Value, std::size_t Size>
struct ByKey {
    std::array<Value, Size> values{};

    static constexpr std::size_t size() { return Size; }
    constexpr Value& operator[](Key key) { return values[static_cast<std::size_t>(key)]; }
    constexpr const Value& operator[](Key key) const { return values[static_cast<std::size_t>(key)]; }
};

struct ModuleState {
    // The interpreter that claimed the module, -1 until one has; changed
    // only by atomic compare-and-set (std::atomic_ref), so that two
    // interpreters starting at once cannot both win.
    std::int64_t owner_interpreter = -1;
    // Set while the module body runs: an import of kelvane from inside it (an
    // import hook reached from the body's own imports) must not build a
    // second tree.
    bool building = false;
    // Set once the references below have been released, at finalization:
    // what needs one of them then raises instead of building it anew.
    bool released = false;
    // The root module once its body has succeeded; later imports in the same
    // interpreter return it.
    PyObject* built_module = nullptr;

    // Strong references, each made once.
    PyObject* panic_type = nullptr;
    PyTypeObject* config_class = nullptr;
    PyTypeObject* channel_type_class = nullptr;
    ByKey<channel::ChannelKind, PyTypeObject*, channel::kChannelKindCount> variant_classes{};
    ByKey<channel::SensorFamily, PyTypeObject*, channel::kSensorFamilyCount> sensor_classes{};
};

namespace detail {
// Named only by start-up and by state() below.
inline constinit ModuleState module_state{};
}  // namespace detail

// What the calls read.
[[gnu::always_inline]] inline const ModuleState& state() { return detail::module_state; }

// Raises RuntimeError: the module's classes were released when its
// interpreter began to finalize, and `what` needs one of them.
[[noreturn]] void raise_released(const char* what);

}  // namespace kelvane::py
