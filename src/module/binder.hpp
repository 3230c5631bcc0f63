// Argument binding. Each callable describes its parameters once, in a
// ParamTable; the same binder serves the fast-call convention (argument vector
// plus keyword-name tuple) and the classic one (tuple plus keyword dict).
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>

#include "module/errors.hpp"

namespace kelvane::py {

inline constexpr std::size_t kMaxParams = 5;

struct ParamTable {
    const char* function_name;
    const char* class_name;  // set for constructors, null for module functions
    std::array<const char*, kMaxParams> names;
    std::size_t count;     // every parameter is positional-or-keyword
    std::size_t required;  // leading parameters that must be given
    // Interned copies of `names`, made at start-up so that keyword names
    // coming from call sites usually match by pointer.
    mutable std::array<PyObject*, kMaxParams> interned{};
};

constexpr ParamTable make_params(const char* function_name, const char* class_name,
                                 std::initializer_list<const char*> names) {
    ParamTable table{function_name, class_name, {}, names.size(), names.size()};
    std::size_t i = 0;
    for (const char* name : names) table.names[i++] = name;
    return table;
}

// Interns a table's parameter names; called once per table at start-up.
void prepare_params(const ParamTable& table);

// The general binders: fill out[0..table.count) with borrowed references
// (null where nothing was given and the parameter is optional). Raise the
// binding TypeErrors.
void bind_vector(const ParamTable& table, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, PyObject** out);
void bind_arguments(const ParamTable& table, PyObject* args, PyObject* kwargs, PyObject** out);

// The binders the callables use; both return the bound arguments, borrowed.
// A call that passes every parameter by position, the common case, is bound
// already: its own arguments are returned as they are. Any other call is
// bound into `out` (table.count entries), which is returned.
inline PyObject* const* bind_vectorcall(const ParamTable& table, PyObject* const* args, std::size_t nargsf,
                                        PyObject* kwnames, PyObject** out) {
    if (!kwnames && static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)) == table.count) return args;
    bind_vector(table, args, nargsf, kwnames, out);
    return out;
}

inline PyObject* const* bind_tuple(const ParamTable& table, PyObject* args, PyObject* kwargs, PyObject** out) {
    if (!kwargs && static_cast<std::size_t>(PyTuple_GET_SIZE(args)) == table.count) {
        return &PyTuple_GET_ITEM(args, 0);
    }
    bind_arguments(table, args, kwargs, out);
    return out;
}

// Converts argument `index` of a bound call, naming it in a TypeError.
template <class Convert>
[[gnu::always_inline]] inline decltype(auto) convert_param(const ParamTable& table, std::size_t index,
                                                           PyObject* const* bound, Convert&& convert) {
    return convert_argument(table.names[index], [&]() -> decltype(auto) { return convert(bound[index]); });
}

}  // namespace kelvane::py
