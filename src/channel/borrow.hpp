// Borrow state of a mutable native record shared with Python: idle, a count
// of readers, or one writer. Conflicts fail at once instead of waiting; under
// the interpreter lock they never happen.
#pragma once

#include <atomic>
#include <cstdint>

#include "module/python.hpp"

namespace kelvane::channel {

class BorrowFlag {
  public:
#ifdef Py_GIL_DISABLED
    // Without the interpreter lock, threads really race for the flag.
    bool try_share() {
        std::int64_t current = state().load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) return false;
        } while (
            !state().compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void release_share() { state().fetch_sub(1, std::memory_order_release); }
    bool try_exclusive() {
        std::int64_t idle = kIdle;
        return state().compare_exchange_strong(idle, kExclusive, std::memory_order_acquire);
    }
#else
    // Every caller holds the interpreter lock, which orders all access to
    // the flag: atomic loads and stores give the same answers as
    // read-modify-write instructions here, at the price of plain moves.
    bool try_share() {
        const std::int64_t current = state().load(std::memory_order_relaxed);
        if (current == kExclusive) return false;
        state().store(current + 1, std::memory_order_relaxed);
        return true;
    }
    void release_share() { state().store(state().load(std::memory_order_relaxed) - 1, std::memory_order_relaxed); }
    bool try_exclusive() {
        if (state().load(std::memory_order_relaxed) != kIdle) return false;
        state().store(kExclusive, std::memory_order_relaxed);
        return true;
    }
#endif
    void release_exclusive() { state().store(kIdle, std::memory_order_release); }

  private:
    std::atomic_ref<std::int64_t> state() { return std::atomic_ref<std::int64_t>(state_); }

    static constexpr std::int64_t kIdle = 0;
    static constexpr std::int64_t kExclusive = -1;
    // Plain storage so that the flag can live in memory the interpreter
    // zero-fills (zero is idle).
    alignas(std::atomic_ref<std::int64_t>::required_alignment) std::int64_t state_ = kIdle;
};

}  // namespace kelvane::channel
