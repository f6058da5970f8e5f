// The simulator's server: the listening socket, the connections, the timers
// that stream status, and the actions that the public API hands to the
// network thread.
#include "simulator_server.h"

#include "simulator_connection.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <exception>
#include <iostream>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>

namespace zorim::sim {

namespace {

// Long enough for any action on an idle loopback server; a wait that runs out
// means the network thread is stuck, which is reported, not waited out.
constexpr std::chrono::seconds network_call_timeout{5};
// After a failed accept (no descriptors left, say), the next try.
constexpr std::chrono::milliseconds accept_retry{50};
constexpr int going_away = 1001;

ModelOptions model_options(const SimulatorOptions& options) {
    ModelOptions model;
    model.recording = options.recording;
    model.live = options.live;
    model.job_seconds = options.job_seconds;
    model.restart_seconds = options.restart_seconds;
    model.hostname = options.hostname;
    model.cpu_info = options.cpu_info;
    model.software_version = options.software_version;
    model.state = options.state;
    return model;
}

using Text = std::shared_ptr<const std::string>;

Text shared(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

}  // namespace

// One listening server and its network thread, from start() to stop().
struct PrinterSimulator::Impl::Run final : ConnectionOwner {
    explicit Run(Impl& owner) : impl(owner) {}

    Impl& impl;
    net::io_context io;  // declared first: destroyed after everything that uses it
    tcp::acceptor acceptor{io};
    net::steady_timer accept_timer{io};
    net::steady_timer status_timer{io};
    net::steady_timer proc_stat_timer{io};
    std::map<Connection*, std::shared_ptr<Connection>> opening;  // handshake under way
    std::map<std::size_t, std::shared_ptr<Connection>> connections;  // open ones
    // Answers held back by the answer delay; cancelled by stop().
    std::set<std::shared_ptr<net::steady_timer>> delayed;
    bool stopping = false;
    std::thread thread;
    std::thread::id thread_id;
    std::mutex finished_mutex;
    std::condition_variable finished_changed;
    bool finished = false;  // the network thread has ended

    void accept();
    void begin_stop();
    void arm_status_timer();
    void arm_proc_stat_timer();
    std::size_t deliver(const std::vector<Outgoing>& messages);
    // `action` on every open connection (on a copy of the list: an action
    // may end one); how many returned true.
    template <typename Action>
    std::size_t each(Action action) {
        std::size_t count = 0;
        const auto open = connections;
        for (const auto& item : open) count += action(*item.second) ? 1 : 0;
        return count;
    }
    Connection* find(std::size_t index) const {
        const auto it = connections.find(index);
        return it == connections.end() ? nullptr : it->second.get();
    }
    bool close(Connection& connection, int code, const std::string& reason);

    // ConnectionOwner
    std::size_t next_index() override { return impl.next_connection_++; }
    void opened(Connection& connection) override;
    void failed(Connection& connection, const std::string& why) override;
    void received(Connection& connection, std::string text) override;
    bool pinged(Connection& connection, const std::string& payload) override;
    void closed(Connection& connection, const ClientClose& record) override;
    void log(const std::string& line) override { impl.log(line); }
};

PrinterSimulator::Impl::Impl(SimulatorOptions options)
    : options_(std::move(options)), model_(model_options(options_)) {
    if (options_.status_period <= std::chrono::milliseconds::zero()) {
        throw std::invalid_argument("the status period must be positive");
    }
    if (!(options_.time_scale > 0.0)) throw std::invalid_argument("the time scale must be positive");
}

PrinterSimulator::Impl::~Impl() {
    try {
        stop();
    } catch (const std::exception& error) {
        log_error(std::string("stopping failed: ") + error.what());
    }
}

void PrinterSimulator::Impl::log(const std::string& line) const {
    if (!options_.log) return;
    std::lock_guard<std::mutex> lock(log_mutex_);
    options_.log(line);
}

void PrinterSimulator::Impl::log_error(const std::string& line) const {
    std::lock_guard<std::mutex> lock(log_mutex_);
    if (options_.log) {
        options_.log("error: " + line);
    } else {
        std::cerr << "printer simulator: " << line << std::endl;
    }
}

// ---- Start and stop ------------------------------------------------------------

void PrinterSimulator::Impl::start() {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    if (run_) return;
    auto run = std::make_unique<Run>(*this);
    Run& r = *run;

    error_code ec;
    const auto address = net::ip::make_address(options_.host, ec);
    if (ec) {
        throw std::runtime_error("printer simulator: invalid host address \"" + options_.host + "\": " + ec.message());
    }
    const std::uint16_t wanted = port_ != 0 ? port_.load() : options_.port;
    const tcp::endpoint endpoint(address, wanted);
    const auto fail = [&](const char* what) {
        throw std::runtime_error("printer simulator: cannot " + std::string(what) + " on " + options_.host + ":" +
                                 std::to_string(wanted) + ": " + ec.message());
    };
    r.acceptor.open(endpoint.protocol(), ec);
    if (ec) fail("open a socket");
    // A restarted simulator binds the same port while old sockets linger.
    r.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (ec) fail("reuse the address");
    r.acceptor.bind(endpoint, ec);
    if (!ec) r.acceptor.listen(tcp::acceptor::max_listen_connections, ec);
    if (ec) fail("listen");
    port_ = r.acceptor.local_endpoint(ec).port();

    r.accept();
    r.arm_status_timer();
    r.arm_proc_stat_timer();
    r.thread = std::thread([this, &r] {
        // A failure inside a handler is logged and the loop goes on: the
        // thread ends only when the run has no work left.
        for (;;) {
            try {
                r.io.run();
                break;
            } catch (const std::exception& error) {
                log_error(std::string("network thread: ") + error.what());
            }
        }
        {
            std::lock_guard<std::mutex> lock(r.finished_mutex);
            r.finished = true;
        }
        r.finished_changed.notify_all();
    });
    r.thread_id = r.thread.get_id();
    run_ = std::move(run);
}

void PrinterSimulator::Impl::stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    if (!run_) return;
    Run& r = *run_;
    net::post(r.io, [&r] { r.begin_stop(); });
    // The loop ends once every connection is closed: by the client's answer
    // to the close frame, or by the close handshake timeout.
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(r.finished_mutex);
        ended = r.finished_changed.wait_for(lock, network_call_timeout, [&r] { return r.finished; });
    }
    if (!ended) {
        // Something still holds the loop (a half-open handshake, say): end it.
        log_error("the network thread did not finish; stopping its loop");
        r.io.stop();
    }
    r.thread.join();
    {
        // Connections that were never closed properly are gone with the run.
        std::lock_guard<std::mutex> lock(records_mutex_);
        open_ids_.clear();
    }
    records_changed_.notify_all();
    run_.reset();
    if (options_.log_connections) log("stopped");
}

bool PrinterSimulator::Impl::running() const {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    return run_ != nullptr;
}

void PrinterSimulator::Impl::Run::begin_stop() {
    stopping = true;
    error_code ignored;
    acceptor.close(ignored);
    accept_timer.cancel();
    status_timer.cancel();
    proc_stat_timer.cancel();
    for (const auto& timer : delayed) timer->cancel();
    delayed.clear();
    const auto handshakes = opening;
    for (const auto& item : handshakes) item.second->end_waiting_handshake();
    each([](Connection& connection) {
        connection.stop_flood();
        connection.set_reading(true);  // the close handshake needs it
        if (!connection.close(going_away, "server shutdown")) connection.drop();
        return true;
    });
}

template <typename Result, typename Action>
Result PrinterSimulator::Impl::on_network(Result none, Action action) {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    if (!run_) return none;
    Run& r = *run_;
    if (std::this_thread::get_id() == r.thread_id) return action(r);
    struct Outcome {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
        Result result;
    };
    auto outcome = std::make_shared<Outcome>();
    outcome->result = none;
    net::post(r.io, [this, &r, none, outcome, action = std::move(action)]() mutable {
        Result result = none;
        try {
            result = action(r);
        } catch (const std::exception& error) {
            log_error(std::string("action failed: ") + error.what());
        }
        {
            std::lock_guard<std::mutex> lock(outcome->mutex);
            outcome->result = result;
            outcome->done = true;
        }
        outcome->changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(outcome->mutex);
    if (!outcome->changed.wait_for(lock, network_call_timeout, [&outcome] { return outcome->done; })) {
        log_error("the network thread did not carry out an action in time");
        return none;
    }
    return outcome->result;
}

// ---- Network thread: connections ---------------------------------------------------

void PrinterSimulator::Impl::Run::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
        if (stopping || ec == net::error::operation_aborted) return;
        if (ec) {
            impl.log_error("accepting a connection failed: " + ec.message());
            accept_timer.expires_after(accept_retry);
            accept_timer.async_wait([this](error_code wait_ec) {
                if (!wait_ec && !stopping) accept();
            });
            return;
        }
        auto connection = std::make_shared<Connection>(*this, std::move(socket));
        opening[connection.get()] = connection;
        connection->start();
        accept();
    });
}

void PrinterSimulator::Impl::Run::opened(Connection& connection) {
    const std::size_t index = connection.index();
    const auto it = opening.find(&connection);
    if (it != opening.end()) {
        connections[index] = it->second;
        opening.erase(it);
    }
    {
        std::lock_guard<std::mutex> lock(impl.records_mutex_);
        impl.open_ids_.insert(index);
        ++impl.accepted_;
    }
    impl.records_changed_.notify_all();
    if (impl.options_.log_connections) impl.log("connection " + std::to_string(index) + " opened");
    connection.set_reading(impl.reading_);
    // A handshake that completes while stop() runs would keep the loop alive.
    if (stopping) close(connection, going_away, "server shutdown");
}

void PrinterSimulator::Impl::Run::failed(Connection& connection, const std::string& why) {
    opening.erase(&connection);
    if (!stopping && impl.options_.log_connections) impl.log("a connection failed before it opened: " + why);
}

void PrinterSimulator::Impl::Run::closed(Connection& connection, const ClientClose& record) {
    connections.erase(connection.index());
    {
        std::lock_guard<std::mutex> model(impl.model_mutex_);
        impl.model_.connection_closed(record.connection);
    }
    {
        std::lock_guard<std::mutex> lock(impl.records_mutex_);
        impl.open_ids_.erase(record.connection);
        impl.closes_.push_back(record);
    }
    impl.records_changed_.notify_all();
    if (impl.options_.log_connections) {
        impl.log("connection " + std::to_string(record.connection) + " closed (client code " +
                 std::to_string(record.code) + (record.reason.empty() ? "" : ", \"" + record.reason + "\"") + ")");
    }
}

void PrinterSimulator::Impl::Run::received(Connection& connection, std::string text) {
    const std::size_t index = connection.index();
    PrinterModel::Handled handled;
    try {
        std::lock_guard<std::mutex> model(impl.model_mutex_);
        handled = impl.model_.handle_text(index, text, impl.now());
    } catch (const std::exception& error) {
        // The model answers every request it understands; anything else is a
        // fault of the simulator, reported with the text that caused it.
        impl.log_error("connection " + std::to_string(index) + ": handling " + text + " failed: " + error.what());
    }
    // Recorded once handled and before the answer goes out: a test that sees
    // the text may rely on its effect, and never sees an answer to a text
    // that is not recorded yet.
    {
        std::lock_guard<std::mutex> lock(impl.records_mutex_);
        impl.texts_.push_back({index, std::move(text)});
    }
    impl.records_changed_.notify_all();
    if (impl.options_.log_requests) impl.log("connection " + std::to_string(index) + ": " + handled.summary);
    const std::chrono::milliseconds delay{impl.answer_delay_ms_.load()};
    if (delay <= std::chrono::milliseconds::zero() || handled.out.empty()) {
        deliver(handled.out);
        return;
    }
    auto timer = std::make_shared<net::steady_timer>(io, delay);
    delayed.insert(timer);
    timer->async_wait([this, timer, out = std::move(handled.out)](error_code ec) {
        delayed.erase(timer);
        if (ec || stopping) return;
        try {
            deliver(out);
        } catch (const std::exception& error) {
            impl.log_error(std::string("delayed answer failed: ") + error.what());
        }
    });
}

bool PrinterSimulator::Impl::Run::pinged(Connection& connection, const std::string& payload) {
    // Decided before the ping is recorded: a test that saw the record may
    // switch answering back on without changing this ping's fate.
    const bool answer = impl.answer_pings_.load();
    {
        std::lock_guard<std::mutex> lock(impl.records_mutex_);
        impl.pings_.push_back(payload);
    }
    impl.records_changed_.notify_all();
    if (impl.options_.log_requests) {
        impl.log("connection " + std::to_string(connection.index()) + ": ping \"" + payload + "\"" +
                 (answer ? "" : ", not answered"));
    }
    return answer;
}

bool PrinterSimulator::Impl::Run::close(Connection& connection, int code, const std::string& reason) {
    if (connection.close(code, reason)) return true;
    impl.log_error("closing connection " + std::to_string(connection.index()) + " with " + std::to_string(code) +
                   " failed: " +
                   (Connection::sendable_close_code(code) ? "it is closing already" : "a close code that cannot be sent"));
    return false;
}

// ---- Network thread: streaming -----------------------------------------------------

void PrinterSimulator::Impl::Run::arm_status_timer() {
    status_timer.expires_after(impl.options_.status_period);
    status_timer.async_wait([this](error_code ec) {
        if (ec || stopping) return;
        // The timer is armed again whatever happens, or streaming would stop.
        try {
            std::vector<Outgoing> out;
            {
                std::lock_guard<std::mutex> model(impl.model_mutex_);
                const double at = impl.now();
                out = impl.model_.advance(at);
                for (auto& message : impl.model_.flush_status(at)) out.push_back(std::move(message));
            }
            deliver(out);
        } catch (const std::exception& error) {
            impl.log_error(std::string("status update failed: ") + error.what());
        }
        arm_status_timer();
    });
}

void PrinterSimulator::Impl::Run::arm_proc_stat_timer() {
    if (impl.options_.proc_stat_period <= std::chrono::milliseconds::zero()) return;
    proc_stat_timer.expires_after(impl.options_.proc_stat_period);
    proc_stat_timer.async_wait([this](error_code ec) {
        if (ec || stopping) return;
        try {
            std::string text;
            {
                std::lock_guard<std::mutex> model(impl.model_mutex_);
                text = impl.model_.proc_stat_text(connections.size());
            }
            deliver({{Outgoing::everyone, std::move(text)}});
        } catch (const std::exception& error) {
            impl.log_error(std::string("process statistics failed: ") + error.what());
        }
        arm_proc_stat_timer();
    });
}

std::size_t PrinterSimulator::Impl::Run::deliver(const std::vector<Outgoing>& messages) {
    std::size_t queued = 0;
    for (const Outgoing& message : messages) {
        const Text text = shared(message.text);
        if (message.connection == Outgoing::everyone) {
            queued += each([&text](Connection& connection) { return connection.send_text(text); });
        } else if (Connection* connection = find(message.connection)) {
            queued += connection->send_text(text) ? 1 : 0;
        }
    }
    return queued;
}

// ---- Actions ---------------------------------------------------------------------

std::size_t PrinterSimulator::Impl::deliver(std::vector<Outgoing> messages) {
    return on_network(std::size_t{0}, [messages = std::move(messages)](Run& r) { return r.deliver(messages); });
}

bool PrinterSimulator::Impl::send_text_to(std::size_t connection, std::string text) {
    return on_network(false, [connection, text = shared(std::move(text))](Run& r) {
        Connection* open = r.find(connection);
        return open != nullptr && open->send_text(text);
    });
}

std::size_t PrinterSimulator::Impl::send_binary(std::string payload) {
    return on_network(std::size_t{0}, [payload = shared(std::move(payload))](Run& r) {
        return r.each([&payload](Connection& connection) { return connection.send_binary(payload); });
    });
}

std::size_t PrinterSimulator::Impl::send_raw(std::string bytes) {
    return on_network(std::size_t{0}, [bytes = shared(std::move(bytes))](Run& r) {
        return r.each([&bytes](Connection& connection) { return connection.send_raw(bytes); });
    });
}

std::size_t PrinterSimulator::Impl::close_all(int code, const std::string& reason) {
    return on_network(std::size_t{0}, [code, reason](Run& r) {
        return r.each([&](Connection& connection) { return r.close(connection, code, reason); });
    });
}

bool PrinterSimulator::Impl::close(std::size_t connection, int code, const std::string& reason) {
    return on_network(false, [connection, code, reason](Run& r) {
        Connection* open = r.find(connection);
        return open != nullptr && r.close(*open, code, reason);
    });
}

std::size_t PrinterSimulator::Impl::drop_all() {
    return on_network(std::size_t{0}, [](Run& r) { return r.each([](Connection& c) { return c.drop(); }); });
}

bool PrinterSimulator::Impl::drop(std::size_t connection) {
    return on_network(false, [connection](Run& r) {
        Connection* open = r.find(connection);
        return open != nullptr && open->drop();
    });
}

void PrinterSimulator::Impl::set_reading(bool reading) {
    reading_ = reading;
    on_network(false, [reading](Run& r) {
        r.each([reading](Connection& connection) {
            connection.set_reading(reading);
            return true;
        });
        return true;
    });
}

std::size_t PrinterSimulator::Impl::start_flood(std::string text) {
    return on_network(std::size_t{0}, [text = shared(std::move(text))](Run& r) {
        return r.each([&text](Connection& connection) { return connection.flood(text); });
    });
}

void PrinterSimulator::Impl::stop_flood() {
    on_network(false, [](Run& r) {
        r.each([](Connection& connection) {
            connection.stop_flood();
            return true;
        });
        return true;
    });
}

std::size_t PrinterSimulator::Impl::notify_proc_stat() {
    return on_network(std::size_t{0}, [this](Run& r) {
        std::string text;
        {
            std::lock_guard<std::mutex> model(model_mutex_);
            text = model_.proc_stat_text(r.connections.size());
        }
        return r.deliver({{Outgoing::everyone, std::move(text)}});
    });
}

}  // namespace zorim::sim
