// Borrow state of a mutable native record shared with Python: idle, a count
// of readers, or one writer. Conflicts fail at once instead of waiting; under
// the interpreter lock they never happen.
#pragma once

#include <atomic>
#include <cstdint>

namespace kelvane::channel {

class BorrowFlag {
  public:
    bool try_share() {
        std::atomic_ref<std::int64_t> state(state_);
        std::int64_t current = state.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) return false;
        } while (
            !state.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void release_share() { std::atomic_ref<std::int64_t>(state_).fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() {
        std::int64_t idle = kIdle;
        return std::atomic_ref<std::int64_t>(state_).compare_exchange_strong(idle, kExclusive,
                                                                             std::memory_order_acquire);
    }
    void release_exclusive() { std::atomic_ref<std::int64_t>(state_).store(kIdle, std::memory_order_release); }

  private:
    static constexpr std::int64_t kIdle = 0;
    static constexpr std::int64_t kExclusive = -1;
    // Plain storage so that the flag can live in memory the interpreter
    // zero-fills (zero is idle).
    alignas(std::atomic_ref<std::int64_t>::required_alignment) std::int64_t state_ = kIdle;
};

}  // namespace kelvane::channel
