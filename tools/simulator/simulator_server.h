// The simulator behind PrinterSimulator: the model, the records of what the
// clients sent, and the server run (its network thread, listening socket,
// timers and connections) from start() to stop(). The run is defined in
// simulator_server.cpp, the only place that needs the network headers; this
// header keeps them out of the files that only read the records.
#pragma once

#include "printer_model.h"
#include "printer_simulator.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zorim::sim {

class PrinterSimulator::Impl {
public:
    explicit Impl(SimulatorOptions options);
    ~Impl();  // stops the run

    void start();
    void stop();
    bool running() const;

    // ---- Actions, carried out on the network thread ------------------------
    // Each returns once its frames are queued on the connections; while the
    // server is stopped it does nothing and returns 0 or false.
    std::size_t deliver(std::vector<Outgoing> messages);  // how many frames were queued
    std::size_t broadcast(std::string text) { return deliver({{Outgoing::everyone, std::move(text)}}); }
    bool send_text_to(std::size_t connection, std::string text);
    std::size_t send_binary(std::string payload);
    std::size_t send_raw(std::string bytes);
    std::size_t close_all(int code, const std::string& reason);
    bool close(std::size_t connection, int code, const std::string& reason);
    std::size_t drop_all();
    bool drop(std::size_t connection);
    void set_reading(bool reading);
    std::size_t start_flood(std::string text);
    void stop_flood();
    std::size_t notify_proc_stat();

    double now() const {
        return std::chrono::duration<double>(Clock::now() - created_).count() * options_.time_scale;
    }
    void log(const std::string& line) const;
    void log_error(const std::string& line) const;

    template <typename Predicate>
    bool wait_records(std::chrono::milliseconds timeout, Predicate predicate) const {
        std::unique_lock<std::mutex> lock(records_mutex_);
        return records_changed_.wait_for(lock, timeout, predicate);
    }

    using Clock = std::chrono::steady_clock;
    SimulatorOptions options_;
    const Clock::time_point created_ = Clock::now();

    mutable std::mutex log_mutex_;

    mutable std::mutex model_mutex_;  // guards model_
    PrinterModel model_;

    mutable std::mutex records_mutex_;  // guards the records below
    mutable std::condition_variable records_changed_;
    std::vector<ReceivedText> texts_;
    std::vector<std::string> pings_;
    std::vector<ClientClose> closes_;
    std::set<std::size_t> open_ids_;
    std::size_t accepted_ = 0;

    std::atomic<bool> answer_pings_{true};
    std::atomic<bool> reading_{true};
    std::atomic<std::int64_t> answer_delay_ms_{0};
    std::atomic<std::uint16_t> port_{0};
    std::size_t next_connection_ = 0;  // network thread only; indexes are never reused

private:
    struct Run;

    // Runs `action` on the network thread and returns its result; `none` when
    // the server is not running, the action threw, or the thread did not
    // carry it out in time.
    template <typename Result, typename Action>
    Result on_network(Result none, Action action);

    // Start, stop and every action on the network thread hold this lock, so
    // that a run is never torn down under an action. The network thread never
    // takes it.
    mutable std::mutex lifecycle_mutex_;
    std::unique_ptr<Run> run_;
};

}  // namespace zorim::sim
