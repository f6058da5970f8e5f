// The agent's bounded send queue: first in, first out, at most `capacity`
// records. Producers that find it full wait (in slices of `wait`) and give up
// when a whole slice passes without room, so memory stays bounded and a stuck
// printer pushes back on its callers instead of growing the queue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "protocol/outgoing_message.h"

namespace zorim {

class MessageQueue {
public:
    static constexpr std::size_t kDefaultCapacity = 1000;
    static constexpr std::chrono::milliseconds kDefaultWait{30000};

    explicit MessageQueue(std::size_t capacity = kDefaultCapacity,
                          std::chrono::milliseconds wait = kDefaultWait);

    // Appends `record`. False when the queue is closed, or stayed full for a
    // whole wait; the record is then dropped.
    bool push(OutgoingMessage record);
    // Appends `record` only when there is room now; never waits. For threads
    // that must not block: the network thread, whose writes drain the queue.
    bool try_push(OutgoingMessage record);
    // Appends `record` even when the queue is full; false only when it is
    // closed. For the agent's own requests on the network thread (opening
    // requests, the subscription), a few per printer event, which must
    // neither wait nor be lost.
    bool push_past_bound(OutgoingMessage record);

    // Takes the front record. False when the queue is closed (records still
    // queued stay there), or stayed empty for a whole wait.
    bool pop(OutgoingMessage& out);

    // Makes every later push and pop fail and wakes every waiter.
    void close();

    bool closed() const { return closed_.load(); }
    std::size_t size() const;

private:
    // Adds `record` under `lock`, lets go of it and wakes a taker; returns true.
    bool append(OutgoingMessage record, std::unique_lock<std::mutex>& lock);

    mutable std::mutex queue_mutex_;
    std::deque<OutgoingMessage> items_;
    std::condition_variable not_full_;
    std::condition_variable not_empty_;
    const std::size_t capacity_;  // 0 means no bound
    const std::chrono::milliseconds wait_;
    std::atomic<bool> closed_{false};
};

}  // namespace zorim
