// The agent's bounded send queue: first in, first out, at most `capacity`
// records. Producers that find it full wait (in slices of `wait`) and give up
// when a whole slice passes without room, so memory stays bounded and a stuck
// printer pushes back on its callers instead of growing the queue. The
// agent's own requests never wait and never pile up: at most one of each
// kind waits per printer (`push_replacing`).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>

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
    // For the agent's own requests on the network thread (printer info,
    // objects list, subscription), which must neither wait nor be lost nor
    // pile up: when a record of the same printer and request id is still
    // waiting, `record` replaces it in its place; otherwise it is appended,
    // past the bound if need be (so at most one per printer and id is ever
    // over it). False only when the queue is closed.
    bool push_replacing(OutgoingMessage record);

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
    // The records of push_replacing still in items_, by printer and id. A
    // deque keeps its elements in place when its ends change.
    std::map<std::pair<std::string, std::int32_t>, OutgoingMessage*> replaceable_;
    std::condition_variable not_full_;
    std::condition_variable not_empty_;
    const std::size_t capacity_;  // 0 means no bound
    const std::chrono::milliseconds wait_;
    std::atomic<bool> closed_{false};
};

}  // namespace zorim
