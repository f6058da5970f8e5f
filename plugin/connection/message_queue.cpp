#include "connection/message_queue.h"

#include <utility>

namespace zorim {

MessageQueue::MessageQueue(std::size_t capacity, std::chrono::milliseconds wait)
    : capacity_(capacity), wait_(wait) {}

bool MessageQueue::append(OutgoingMessage record, std::unique_lock<std::mutex>& lock) {
    items_.push_back(std::move(record));
    lock.unlock();
    not_empty_.notify_one();
    return true;
}

bool MessageQueue::push(OutgoingMessage record) {
    std::unique_lock<std::mutex> lock(queue_mutex_);
    while (capacity_ != 0 && items_.size() >= capacity_ && !closed_.load()) {
        // A signal re-tests and starts a fresh wait; only a full wait without
        // room gives up.
        if (not_full_.wait_for(lock, wait_) == std::cv_status::timeout &&
            items_.size() >= capacity_ && !closed_.load()) {
            return false;
        }
    }
    if (closed_.load()) return false;
    return append(std::move(record), lock);
}

bool MessageQueue::try_push(OutgoingMessage record) {
    std::unique_lock<std::mutex> lock(queue_mutex_);
    if (closed_.load() || (capacity_ != 0 && items_.size() >= capacity_)) return false;
    return append(std::move(record), lock);
}

bool MessageQueue::push_replacing(OutgoingMessage record) {
    std::unique_lock<std::mutex> lock(queue_mutex_);
    if (closed_.load()) return false;
    auto key = std::make_pair(record.device_id, record.request_id);
    auto waiting = replaceable_.find(key);
    if (waiting != replaceable_.end()) {
        *waiting->second = std::move(record);
        return true;
    }
    items_.push_back(std::move(record));
    replaceable_.emplace(std::move(key), &items_.back());
    lock.unlock();
    not_empty_.notify_one();
    return true;
}

bool MessageQueue::pop(OutgoingMessage& out) {
    std::unique_lock<std::mutex> lock(queue_mutex_);
    while (!closed_.load() && items_.empty()) {
        if (not_empty_.wait_for(lock, wait_) == std::cv_status::timeout && items_.empty() &&
            !closed_.load()) {
            return false;
        }
    }
    if (closed_.load()) return false;
    if (!replaceable_.empty()) {
        auto entry = replaceable_.find(std::make_pair(items_.front().device_id, items_.front().request_id));
        if (entry != replaceable_.end() && entry->second == &items_.front()) replaceable_.erase(entry);
    }
    out = std::move(items_.front());
    items_.pop_front();
    not_full_.notify_one();
    return true;
}

void MessageQueue::close() {
    {
        // Setting the flag under the mutex means no waiter can test it and
        // then miss the wake-up below.
        std::lock_guard<std::mutex> lock(queue_mutex_);
        closed_.store(true);
    }
    not_full_.notify_all();
    not_empty_.notify_all();
}

std::size_t MessageQueue::size() const {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    return items_.size();
}

}  // namespace zorim
