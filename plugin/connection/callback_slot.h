// One host callback slot. The host normally fills its slots before starting
// the agent, but nothing stops it from replacing one while events arrive, so
// the callback is held by shared pointer and swapped atomically: the network
// thread always calls a whole callback, old or new, and never one that is
// being destroyed under it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace zorim {

template <typename Fn>
class CallbackSlot {
public:
    // An empty function empties the slot.
    void set(Fn fn) {
        std::shared_ptr<const Fn> next;
        if (fn) next = std::make_shared<const Fn>(std::move(fn));
        std::atomic_store(&fn_, std::move(next));
        version_.fetch_add(1, std::memory_order_release);
    }

    bool armed() const { return static_cast<bool>(std::atomic_load(&fn_)); }

    // The callback as it stands, held for as long as the caller keeps it, for
    // several calls in a row: taking it costs a lock in the standard library,
    // checking that it is still current only an atomic read.
    struct Held {
        std::shared_ptr<const Fn> fn;  // null when the slot is empty
        std::uint64_t version = 0;
    };
    Held hold() const {
        Held held;
        held.version = version_.load(std::memory_order_acquire);
        held.fn = std::atomic_load(&fn_);
        return held;
    }
    // Takes the callback again when the slot was set since `held` was taken.
    void refresh(Held& held) const {
        if (version_.load(std::memory_order_acquire) != held.version) held = hold();
    }

    // Calls the callback if there is one; returns whether it was called.
    // Exceptions thrown by the host's callback propagate to the caller.
    template <typename... Args>
    bool invoke(Args&&... args) const {
        std::shared_ptr<const Fn> fn = std::atomic_load(&fn_);
        if (!fn) return false;
        (*fn)(std::forward<Args>(args)...);
        return true;
    }

private:
    std::shared_ptr<const Fn> fn_;
    std::atomic<std::uint64_t> version_{0};  // counts the sets
};

}  // namespace zorim
