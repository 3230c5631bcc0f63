// Argument binding. One binder serves the fast-call convention (argument
// vector plus keyword-name tuple) and the classic one (tuple plus keyword
// dict), driven by the ParamTable of a callable's signature (signature.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "module/errors.hpp"
#include "module/state.hpp"

namespace kelvane::py {

// The most parameters a callable may have: the binder's buffers are this
// long.
inline constexpr std::size_t kMaxParams = 5;

// What the binder knows of a callable. A constant, so that the binder's work
// over it folds away where it is used.
struct ParamTable {
    const char* function_name;
    const char* class_name;  // set for constructors, null for module functions
    std::array<const char*, kMaxParams> names;
    std::size_t count;  // every parameter is positional-or-keyword, and required
};

// Interned copies of a table's parameter names, so that keyword names coming
// from call sites usually match by pointer. Each signature has its own
// (interned_names in signature.hpp); start-up fills them and releases them.
using InternedNames = std::array<PyObject*, kMaxParams>;

void intern_names(const ParamTable& table, InternedNames& names);
void release_names(InternedNames& names);

// The general binders: fill out[0..table.count) with borrowed references.
// Raise the binding TypeErrors. A keyword is matched against `names` by
// pointer first, then by value; released (null) names still match by value.
void bind_vector(const ParamTable& table, const InternedNames& names, PyObject* const* args, std::size_t nargsf,
                 PyObject* kwnames, PyObject** out);
void bind_arguments(const ParamTable& table, const InternedNames& names, PyObject* args, PyObject* kwargs,
                    PyObject** out);

// The objects one call works on: the arguments, bound to the table's
// parameters, and the object the callable acts on or makes an instance of
// (`self`: a setter's or a subscript's object, a constructor's class; null
// for a module function, which reads nothing of its module).
//
// All of them are borrowed, and Python code that a conversion runs can drop
// the last reference to any of them: a user's __index__ that resets the
// functools.partial holding a call's arguments or its object, or that clears
// the keyword dict a constructor was given. So right before a conversion may
// first run Python code, every one of them is held for the rest of the call,
// and whatever the call reads afterwards is still alive. Exact ints and
// floats and the module's own instances convert without running any, so the
// common calls hold nothing.
class BoundArgs {
  public:
    // Fast call: an all-positional call is bound already and used in place.
    [[gnu::always_inline]] BoundArgs(const ParamTable& table, const InternedNames& names, PyObject* self,
                                     PyObject* const* args, std::size_t nargsf, PyObject* kwnames)
        : self_(self) {
        if (!kwnames && static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)) == table.count) {
            items_ = args;
        } else {
            bind_vector(table, names, args, nargsf, kwnames, storage_.data());
            items_ = storage_.data();
        }
    }

    // Argument tuple and keyword dict.
    [[gnu::always_inline]] BoundArgs(const ParamTable& table, const InternedNames& names, PyObject* self,
                                     PyObject* args, PyObject* kwargs)
        : self_(self) {
        if (!kwargs && static_cast<std::size_t>(PyTuple_GET_SIZE(args)) == table.count) {
            items_ = &PyTuple_GET_ITEM(args, 0);
        } else {
            bind_arguments(table, names, args, kwargs, storage_.data());
            items_ = storage_.data();
        }
    }

    // A slot's one operand: the value given to a setter, the index given to
    // a subscript.
    [[gnu::always_inline]] BoundArgs(PyObject* self, PyObject* operand) : self_(self) {
        storage_[0] = operand;
        items_ = storage_.data();
    }

    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;

    PyObject* operator[](std::size_t index) const { return items_[index]; }

    // Copies and holds `self` and the `count` arguments, once.
    void hold(std::size_t count) {
        if (!held_) items_ = hold_objects(self_, items_, count, storage_, held_.emplace());
    }

  private:
    using Held = std::array<Ref, kMaxParams + 1>;
    // Out of line and apart from `items_`, which can then stay in a register.
    static PyObject* const* hold_objects(PyObject* self, PyObject* const* items, std::size_t count,
                                         std::array<PyObject*, kMaxParams>& storage, Held& held);

    std::array<PyObject*, kMaxParams> storage_;
    PyObject* const* items_;
    PyObject* self_;
    std::optional<Held> held_;
};

}  // namespace kelvane::py
