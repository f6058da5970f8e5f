// Gap: Microsoft's <future> includes <ppltasks.h>, a Visual Studio header (the
// Parallel Patterns Library) that the open-source library does not ship. Of
// it, <future> uses only Concurrency::task<void>, create_task and wait(), to
// run std::async(std::launch::async, ...); here each such task runs on a
// thread of its own, as the standard describes std::async.
#pragma once
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace Concurrency {

template <class Result>
class task;

template <>
class task<void> {
public:
    task() = default;
    template <class Fn>
    explicit task(Fn&& fn) : state_(std::make_shared<State>(std::forward<Fn>(fn))) {}

    // Joins the thread once, whoever waits first; later waits return at once.
    void wait() const {
        if (state_) std::call_once(state_->joined, [this] { state_->thread.join(); });
    }

private:
    struct State {
        template <class Fn>
        explicit State(Fn&& fn) : thread(std::forward<Fn>(fn)) {}
        ~State() {
            if (thread.joinable()) thread.join();
        }
        std::thread thread;
        std::once_flag joined;
    };
    std::shared_ptr<State> state_;
};

template <class Fn>
task<void> create_task(Fn&& fn) {
    return task<void>(std::forward<Fn>(fn));
}

}  // namespace Concurrency
