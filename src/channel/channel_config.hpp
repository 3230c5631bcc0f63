// ChannelConfig: the mutable record of one channel's configuration.
#pragma once

#include "channel/borrow.hpp"
#include "channel/model.hpp"
#include "module/declaration.hpp"
#include "module/errors.hpp"
#include "module/state.hpp"

namespace kelvane::callables {

struct ChannelConfig : py::ClassDeclaration {
    static constexpr const char* module = "kelvane.channel.packets.set_channel";
    static constexpr const char* name = "ChannelConfig";
    static const std::span<const py::SignatureNames> constructors;
    static PyTypeObject* make(py::ModuleState& state);
};

}  // namespace kelvane::callables

namespace kelvane::channel {

// The object's layout and its borrow guards are here, beside the snapshot,
// so that the set-channel builder copies the record inline.
struct ChannelConfigObject {
    PyObject_HEAD
    ChannelConfigRecord record;
    BorrowFlag borrow;
};

// Holds a borrow of the flag for its lifetime; a conflict raises at once.
template <bool Exclusive>
class Borrow {
  public:
    explicit Borrow(BorrowFlag& flag) : flag_(flag) {
        if constexpr (Exclusive) {
            if (!flag_.try_exclusive()) py::raise(PyExc_RuntimeError, "Already borrowed");
        } else {
            if (!flag_.try_share()) py::raise(PyExc_RuntimeError, "Already mutably borrowed");
        }
    }
    ~Borrow() {
        if constexpr (Exclusive) {
            flag_.release_exclusive();
        } else {
            flag_.release_share();
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

  private:
    BorrowFlag& flag_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

// Whether `obj` is a ChannelConfig once the state no longer holds the class
// (late in finalization), known by its attributes.
bool is_config_after_release(PyObject* obj);

// A copy of the record, taken under a shared borrow. Anything but a
// ChannelConfig raises the wrong-type TypeError.
inline ChannelConfigRecord snapshot_config(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, py::state().config_class) && !is_config_after_release(obj)) {
        py::raise_wrong_type(obj, "ChannelConfig");
    }
    auto* config = reinterpret_cast<ChannelConfigObject*>(obj);
    SharedBorrow borrow(config->borrow);
    return config->record;
}

}  // namespace kelvane::channel
