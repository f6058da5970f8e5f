// One host callback slot. The host normally fills its slots before starting
// the agent, but nothing stops it from replacing one while events arrive, so
// the callback is held by shared pointer and swapped atomically: the network
// thread always calls a whole callback, old or new, and never one that is
// being destroyed under it.
#pragma once

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
    }

    bool armed() const { return static_cast<bool>(std::atomic_load(&fn_)); }

    // The callback as it stands, held for as long as the caller keeps it;
    // null when the slot is empty.
    std::shared_ptr<const Fn> current() const { return std::atomic_load(&fn_); }

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
};

}  // namespace zorim
