// The WebSocket side of the simulator. The only source of the simulator that
// includes websocketpp and Asio.
#include "printer_simulator.h"

#include "printer_model.h"

#include <websocketpp/common/network.hpp>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

namespace zorim::sim {

namespace {

using Server = websocketpp::server<websocketpp::config::asio>;
using Handle = websocketpp::connection_hdl;
namespace asio = websocketpp::lib::asio;
using Clock = std::chrono::steady_clock;

// Long enough for any action on an idle loopback server; a wait that runs out
// means the network thread is stuck, which is reported, not waited out.
constexpr std::chrono::seconds network_call_timeout{5};
// How long a client may take to answer a close frame before its connection is
// dropped (this bounds stop()).
constexpr long close_handshake_timeout_ms = 1000;
// A client that connects but never finishes its handshake is dropped after
// this, well inside the time stop() waits for the loop.
constexpr long open_handshake_timeout_ms = 2000;

}  // namespace

class PrinterSimulator::Impl {
public:
    explicit Impl(SimulatorOptions options);
    ~Impl();

    void start();
    void stop();

    // One listening server and its network thread, from start() to stop().
    struct Run {
        asio::io_context io;  // declared first: destroyed after the server that uses it
        Server server;
        asio::steady_timer status_timer{io};
        asio::steady_timer proc_stat_timer{io};
        std::map<std::size_t, Handle> connections;  // open ones; network thread only
        std::map<Handle, std::size_t, std::owner_less<Handle>> indexes;
        std::set<std::size_t> closed_by_server;
        // The flood's text and the connections it goes to, until stop_flood().
        std::shared_ptr<const std::string> flood_text;
        std::set<std::size_t> flooded;
        // What arrived in the last read before reading stopped, handled once
        // it starts again (websocketpp finishes the read it has begun).
        std::vector<std::pair<Handle, Server::message_ptr>> unread;
        // A connection that reads nothing has no handler left that holds it.
        std::map<std::size_t, Server::connection_ptr> paused;
        // Answers held back by the answer delay; cancelled by stop().
        std::set<std::shared_ptr<asio::steady_timer>> delayed;
        bool stopping = false;  // network thread only
        std::thread thread;
        std::thread::id thread_id;
        std::promise<void> finished;
    };

    // Runs `fn` on the network thread and returns its result; nullopt when the
    // server is not running or the thread did not answer in time.
    template <typename Result>
    std::optional<Result> on_network(std::function<Result(Run&)> fn);

    // ---- network thread ----
    bool validate(Run& run, Handle handle);
    void opened(Run& run, Handle handle);
    void closed(Run& run, Handle handle);
    void failed(Run& run, Handle handle);
    void received(Run& run, Handle handle, const Server::message_ptr& message);
    bool pinged(Run& run, Handle handle, const std::string& payload);
    void arm_status_timer(Run& run);
    void arm_proc_stat_timer(Run& run);
    std::size_t deliver(Run& run, const std::vector<Outgoing>& messages);
    bool write(Run& run, std::size_t connection, const std::string& text,
               websocketpp::frame::opcode::value opcode = websocketpp::frame::opcode::text);
    bool close_connection(Run& run, std::size_t connection, int code, const std::string& reason);
    bool drop_connection(Run& run, std::size_t connection);
    std::size_t broadcast(const std::string& text);
    void pause_or_resume(Run& run, std::size_t connection, bool reading);
    void pump_flood(Run& run, std::size_t connection);

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

    // Start, stop and every action on the network thread hold this lock, so
    // that a run is never torn down under an action. The network thread never
    // takes it.
    mutable std::mutex lifecycle_mutex_;
    std::unique_ptr<Run> run_;
};

namespace {

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

Json parse_argument(const std::string& text, const char* what) {
    try {
        return Json::parse(text);
    } catch (const Json::parse_error& error) {
        throw std::invalid_argument(std::string(what) + " is not JSON: " + error.what());
    }
}

}  // namespace

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
    // The library learns the byte order on first use by writing an unguarded
    // static; done before the network thread starts, later uses only read it
    // (see the plug-in's endpoint, which does the same).
    websocketpp::lib::net::_htonll(0);
    auto run = std::make_unique<Run>();
    Run& r = *run;
    Server& server = r.server;
    // websocketpp's own log lines would go to standard output; failures are
    // reported through log_error instead.
    server.clear_access_channels(websocketpp::log::alevel::all);
    server.clear_error_channels(websocketpp::log::elevel::all);
    server.init_asio(&r.io);
    // A restarted simulator binds the same port while old sockets linger.
    server.set_reuse_addr(true);
    server.set_close_handshake_timeout(close_handshake_timeout_ms);
    server.set_open_handshake_timeout(open_handshake_timeout_ms);
    server.set_validate_handler([this, &r](Handle h) { return validate(r, h); });
    server.set_open_handler([this, &r](Handle h) { opened(r, h); });
    server.set_close_handler([this, &r](Handle h) { closed(r, h); });
    server.set_fail_handler([this, &r](Handle h) { failed(r, h); });
    server.set_message_handler([this, &r](Handle h, Server::message_ptr m) { received(r, h, m); });
    server.set_ping_handler([this, &r](Handle h, std::string payload) { return pinged(r, h, payload); });

    asio::error_code address_error;
    const auto address = asio::ip::make_address(options_.host, address_error);
    if (address_error) {
        throw std::runtime_error("printer simulator: invalid host address \"" + options_.host +
                                 "\": " + address_error.message());
    }
    websocketpp::lib::error_code ec;
    const std::uint16_t wanted = port_ != 0 ? port_.load() : options_.port;
    const std::string where = options_.host + ":" + std::to_string(wanted);
    server.listen(asio::ip::tcp::endpoint(address, wanted), ec);
    if (ec) throw std::runtime_error("printer simulator: cannot listen on " + where + ": " + ec.message());
    server.start_accept(ec);
    if (ec) throw std::runtime_error("printer simulator: cannot accept on " + where + ": " + ec.message());
    asio::error_code endpoint_error;
    port_ = server.get_local_endpoint(endpoint_error).port();

    arm_status_timer(r);
    arm_proc_stat_timer(r);
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
        r.finished.set_value();
    });
    r.thread_id = r.thread.get_id();
    run_ = std::move(run);
}

void PrinterSimulator::Impl::stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    if (!run_) return;
    Run& r = *run_;
    auto finished = r.finished.get_future();
    const auto close_all = [this, &r] {
        r.stopping = true;
        r.status_timer.cancel();
        r.proc_stat_timer.cancel();
        for (const auto& timer : r.delayed) timer->cancel();
        r.delayed.clear();
        websocketpp::lib::error_code ec;
        r.server.stop_listening(ec);
        // The close handshakes need reading.
        const auto paused = r.paused;
        for (const auto& item : paused) pause_or_resume(r, item.first, true);
        const auto open = r.connections;
        for (const auto& item : open) {
            if (!close_connection(r, item.first, websocketpp::close::status::going_away, "server shutdown")) {
                drop_connection(r, item.first);
            }
        }
    };
    asio::post(r.io, close_all);
    // The loop ends once every connection is closed: by the client's answer
    // to the close frame, or by the close handshake timeout.
    if (finished.wait_for(network_call_timeout) != std::future_status::ready) {
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

template <typename Result>
std::optional<Result> PrinterSimulator::Impl::on_network(std::function<Result(Run&)> fn) {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    if (!run_) return std::nullopt;
    Run& r = *run_;
    if (std::this_thread::get_id() == r.thread_id) return fn(r);
    auto result = std::make_shared<std::promise<Result>>();
    auto future = result->get_future();
    asio::post(r.io, [this, &r, fn = std::move(fn), result] {
        try {
            result->set_value(fn(r));
        } catch (const std::exception& error) {
            log_error(std::string("action failed: ") + error.what());
            result->set_exception(std::current_exception());
        }
    });
    if (future.wait_for(network_call_timeout) != std::future_status::ready) {
        log_error("the network thread did not carry out an action in time");
        return std::nullopt;
    }
    try {
        return future.get();
    } catch (const std::exception&) {
        return std::nullopt;  // logged on the network thread
    }
}

// ---- Network thread ------------------------------------------------------------

bool PrinterSimulator::Impl::validate(Run& r, Handle handle) {
    try {
        const auto connection = r.server.get_con_from_hdl(handle);
        const std::string resource = connection->get_resource();
        if (resource == "/websocket" || resource.rfind("/websocket?", 0) == 0) return true;
        connection->set_status(websocketpp::http::status_code::not_found);
        log("refused a handshake for " + resource);
        return false;
    } catch (const std::exception& error) {
        log_error(std::string("handshake check: ") + error.what());
        return false;
    }
}

void PrinterSimulator::Impl::opened(Run& r, Handle handle) {
    const std::size_t index = next_connection_++;
    r.connections[index] = handle;
    r.indexes[handle] = index;
    {
        std::lock_guard<std::mutex> lock(records_mutex_);
        open_ids_.insert(index);
        ++accepted_;
    }
    records_changed_.notify_all();
    if (options_.log_connections) log("connection " + std::to_string(index) + " opened");
    if (!reading_) pause_or_resume(r, index, false);
    // A handshake that completes while stop() runs would keep the loop alive.
    if (r.stopping) close_connection(r, index, websocketpp::close::status::going_away, "server shutdown");
}

void PrinterSimulator::Impl::closed(Run& r, Handle handle) {
    const auto it = r.indexes.find(handle);
    if (it == r.indexes.end()) return;
    const std::size_t index = it->second;
    r.indexes.erase(it);
    r.connections.erase(index);
    r.flooded.erase(index);
    r.paused.erase(index);
    ClientClose record;
    record.connection = index;
    record.server_initiated = r.closed_by_server.erase(index) != 0;
    try {
        const auto connection = r.server.get_con_from_hdl(handle);
        record.code = connection->get_remote_close_code();
        record.reason = connection->get_remote_close_reason();
    } catch (const std::exception& error) {
        record.code = websocketpp::close::status::abnormal_close;
        log_error(std::string("close of connection ") + std::to_string(index) + ": " + error.what());
    }
    {
        std::lock_guard<std::mutex> model(model_mutex_);
        model_.connection_closed(index);
    }
    {
        std::lock_guard<std::mutex> lock(records_mutex_);
        open_ids_.erase(index);
        closes_.push_back(record);
    }
    records_changed_.notify_all();
    if (options_.log_connections) {
        log("connection " + std::to_string(index) + " closed (client code " + std::to_string(record.code) +
            (record.reason.empty() ? "" : ", \"" + record.reason + "\"") + ")");
    }
}

void PrinterSimulator::Impl::failed(Run& r, Handle handle) {
    if (r.stopping) return;  // the pending accept, cancelled by stop()
    try {
        const auto connection = r.server.get_con_from_hdl(handle);
        if (options_.log_connections) log("a connection failed before it opened: " + connection->get_ec().message());
    } catch (const std::exception& error) {
        log_error(std::string("failed connection: ") + error.what());
    }
}

void PrinterSimulator::Impl::received(Run& r, Handle handle, const Server::message_ptr& message) {
    const auto it = r.indexes.find(handle);
    if (it == r.indexes.end()) return;
    const std::size_t index = it->second;
    if (!reading_) {
        r.unread.emplace_back(handle, message);
        return;
    }
    if (message->get_opcode() != websocketpp::frame::opcode::text) {
        log("connection " + std::to_string(index) + ": binary frame ignored");
        return;
    }
    const std::string& payload = message->get_payload();
    PrinterModel::Handled handled;
    try {
        std::lock_guard<std::mutex> model(model_mutex_);
        handled = model_.handle_text(index, payload, now());
    } catch (const std::exception& error) {
        // The model answers every request it understands; anything else is a
        // fault of the simulator, reported with the text that caused it.
        log_error("connection " + std::to_string(index) + ": handling " + payload + " failed: " + error.what());
    }
    // Recorded once handled and before the answer goes out: a test that sees
    // the text may rely on its effect, and never sees an answer to a text
    // that is not recorded yet.
    {
        std::lock_guard<std::mutex> lock(records_mutex_);
        texts_.push_back({index, payload});
    }
    records_changed_.notify_all();
    if (options_.log_requests) log("connection " + std::to_string(index) + ": " + handled.summary);
    const std::chrono::milliseconds delay{answer_delay_ms_.load()};
    if (delay <= std::chrono::milliseconds::zero() || handled.out.empty()) {
        deliver(r, handled.out);
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(r.io, delay);
    r.delayed.insert(timer);
    timer->async_wait([this, &r, timer, out = std::move(handled.out)](const asio::error_code& ec) {
        r.delayed.erase(timer);
        if (ec || r.stopping) return;
        try {
            deliver(r, out);
        } catch (const std::exception& error) {
            log_error(std::string("delayed answer failed: ") + error.what());
        }
    });
}

bool PrinterSimulator::Impl::pinged(Run& r, Handle handle, const std::string& payload) {
    // Decided before the ping is recorded: a test that saw the record may
    // switch answering back on without changing this ping's fate.
    const bool answer = answer_pings_.load();
    {
        std::lock_guard<std::mutex> lock(records_mutex_);
        pings_.push_back(payload);
    }
    records_changed_.notify_all();
    if (options_.log_requests) {
        const auto it = r.indexes.find(handle);
        const std::string who = it == r.indexes.end() ? "?" : std::to_string(it->second);
        log("connection " + who + ": ping \"" + payload + "\"" + (answer ? "" : ", not answered"));
    }
    return answer;
}

void PrinterSimulator::Impl::arm_status_timer(Run& r) {
    r.status_timer.expires_after(options_.status_period);
    r.status_timer.async_wait([this, &r](const asio::error_code& ec) {
        if (ec || r.stopping) return;
        // The timer is armed again whatever happens, or streaming would stop.
        try {
            std::vector<Outgoing> out;
            {
                std::lock_guard<std::mutex> model(model_mutex_);
                const double at = now();
                out = model_.advance(at);
                for (auto& message : model_.flush_status(at)) out.push_back(std::move(message));
            }
            deliver(r, out);
        } catch (const std::exception& error) {
            log_error(std::string("status update failed: ") + error.what());
        }
        arm_status_timer(r);
    });
}

void PrinterSimulator::Impl::arm_proc_stat_timer(Run& r) {
    if (options_.proc_stat_period <= std::chrono::milliseconds::zero()) return;
    r.proc_stat_timer.expires_after(options_.proc_stat_period);
    r.proc_stat_timer.async_wait([this, &r](const asio::error_code& ec) {
        if (ec || r.stopping) return;
        try {
            std::string text;
            {
                std::lock_guard<std::mutex> model(model_mutex_);
                text = model_.proc_stat_text(r.connections.size());
            }
            deliver(r, {{Outgoing::everyone, text}});
        } catch (const std::exception& error) {
            log_error(std::string("process statistics failed: ") + error.what());
        }
        arm_proc_stat_timer(r);
    });
}

std::size_t PrinterSimulator::Impl::deliver(Run& r, const std::vector<Outgoing>& messages) {
    std::size_t written = 0;
    for (const Outgoing& message : messages) {
        if (message.connection != Outgoing::everyone) {
            written += write(r, message.connection, message.text) ? 1 : 0;
            continue;
        }
        const auto open = r.connections;
        for (const auto& item : open) written += write(r, item.first, message.text) ? 1 : 0;
    }
    return written;
}

bool PrinterSimulator::Impl::write(Run& r, std::size_t connection, const std::string& text,
                                   websocketpp::frame::opcode::value opcode) {
    const auto it = r.connections.find(connection);
    if (it == r.connections.end()) return false;
    websocketpp::lib::error_code ec;
    r.server.send(it->second, text, opcode, ec);
    if (ec) {
        log_error("sending to connection " + std::to_string(connection) + " failed: " + ec.message());
        return false;
    }
    return true;
}

bool PrinterSimulator::Impl::close_connection(Run& r, std::size_t connection, int code, const std::string& reason) {
    const auto it = r.connections.find(connection);
    if (it == r.connections.end()) return false;
    websocketpp::lib::error_code ec;
    r.server.close(it->second, static_cast<websocketpp::close::status::value>(code), reason, ec);
    if (ec) {
        log_error("closing connection " + std::to_string(connection) + " with " + std::to_string(code) +
                  " failed: " + ec.message());
        return false;
    }
    r.closed_by_server.insert(connection);
    return true;
}

bool PrinterSimulator::Impl::drop_connection(Run& r, std::size_t connection) {
    const auto it = r.connections.find(connection);
    if (it == r.connections.end()) return false;
    try {
        // terminate() shuts the socket down without a close frame; the close
        // handler then records the connection as gone.
        r.closed_by_server.insert(connection);
        r.server.get_con_from_hdl(it->second)->terminate(websocketpp::lib::error_code());
        return true;
    } catch (const std::exception& error) {
        log_error("dropping connection " + std::to_string(connection) + " failed: " + error.what());
        return false;
    }
}

void PrinterSimulator::Impl::pause_or_resume(Run& r, std::size_t connection, bool reading) {
    const auto it = r.connections.find(connection);
    if (it == r.connections.end()) return;
    websocketpp::lib::error_code ec;
    const auto con = r.server.get_con_from_hdl(it->second, ec);
    if (!ec) ec = reading ? con->resume_reading() : con->pause_reading();
    if (reading) {
        r.paused.erase(connection);
    } else {
        r.paused[connection] = con;
    }
    if (ec) log_error("connection " + std::to_string(connection) + ": changing reading failed: " + ec.message());
}

// One flood frame whenever nothing is left unwritten; looks again shortly
// (websocketpp has no event for a drained send buffer).
void PrinterSimulator::Impl::pump_flood(Run& r, std::size_t connection) {
    if (r.stopping || !r.flood_text || r.flooded.count(connection) == 0) return;
    const auto it = r.connections.find(connection);
    if (it == r.connections.end()) return;
    websocketpp::lib::error_code ec;
    const auto con = r.server.get_con_from_hdl(it->second, ec);
    if (ec) return;
    if (con->get_buffered_amount() == 0 && !write(r, connection, *r.flood_text)) return;
    auto timer = std::make_shared<asio::steady_timer>(r.io, std::chrono::microseconds(100));
    r.delayed.insert(timer);
    timer->async_wait([this, &r, timer, connection](const asio::error_code& wait_ec) {
        r.delayed.erase(timer);
        if (!wait_ec) pump_flood(r, connection);
    });
}

std::size_t PrinterSimulator::Impl::broadcast(const std::string& text) {
    return on_network<std::size_t>([this, text](Run& r) { return deliver(r, {{Outgoing::everyone, text}}); })
        .value_or(0);
}

// ---- PrinterSimulator ------------------------------------------------------------

PrinterSimulator::PrinterSimulator(SimulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

PrinterSimulator::~PrinterSimulator() = default;

void PrinterSimulator::start() { impl_->start(); }

void PrinterSimulator::stop() { impl_->stop(); }

bool PrinterSimulator::running() const {
    std::lock_guard<std::mutex> lifecycle(impl_->lifecycle_mutex_);
    return impl_->run_ != nullptr;
}

std::uint16_t PrinterSimulator::port() const { return impl_->port_.load(); }

std::string PrinterSimulator::url_for_plugin() const {
    return impl_->options_.host + ":" + std::to_string(port());
}

std::string PrinterSimulator::websocket_url() const { return "ws://" + url_for_plugin() + "/websocket"; }

std::vector<ReceivedText> PrinterSimulator::texts() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->texts_;
}

std::size_t PrinterSimulator::text_count() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->texts_.size();
}

std::vector<std::string> PrinterSimulator::pings() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->pings_;
}

std::vector<ClientClose> PrinterSimulator::closes() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->closes_;
}

std::size_t PrinterSimulator::open_connections() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->open_ids_.size();
}

std::size_t PrinterSimulator::accepted_connections() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->accepted_;
}

std::vector<std::size_t> PrinterSimulator::open_connection_ids() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return {impl_->open_ids_.begin(), impl_->open_ids_.end()};
}

void PrinterSimulator::clear_records() {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    impl_->texts_.clear();
    impl_->pings_.clear();
    impl_->closes_.clear();
}

std::optional<ReceivedText> PrinterSimulator::wait_for_text(const std::function<bool(const std::string&)>& predicate,
                                                            std::chrono::milliseconds timeout,
                                                            std::size_t from) const {
    std::optional<ReceivedText> found;
    std::size_t next = from;
    impl_->wait_records(timeout, [&] {
        for (; next < impl_->texts_.size(); ++next) {
            if (predicate(impl_->texts_[next].text)) {
                found = impl_->texts_[next];
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<ReceivedText> PrinterSimulator::wait_for_request(const std::string& method,
                                                               std::chrono::milliseconds timeout,
                                                               std::size_t from) const {
    return wait_for_text(
        [&method](const std::string& text) {
            const Json request = Json::parse(text, nullptr, false);
            return request.is_object() && request.contains("method") && request["method"] == method;
        },
        timeout, from);
}

bool PrinterSimulator::wait_for_texts(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->wait_records(timeout, [&] { return impl_->texts_.size() >= count; });
}

bool PrinterSimulator::wait_for_pings(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->wait_records(timeout, [&] { return impl_->pings_.size() >= count; });
}

bool PrinterSimulator::wait_for_connections(std::size_t open, std::chrono::milliseconds timeout) const {
    return impl_->wait_records(timeout, [&] { return impl_->open_ids_.size() == open; });
}

bool PrinterSimulator::wait_for_accepted(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->wait_records(timeout, [&] { return impl_->accepted_ >= count; });
}

std::optional<ClientClose> PrinterSimulator::wait_for_close(std::chrono::milliseconds timeout,
                                                            std::size_t from) const {
    std::optional<ClientClose> found;
    impl_->wait_records(timeout, [&] {
        if (impl_->closes_.size() <= from) return false;
        found = impl_->closes_[from];
        return true;
    });
    return found;
}

std::size_t PrinterSimulator::send_text(const std::string& text) { return impl_->broadcast(text); }

std::size_t PrinterSimulator::send_binary(const std::string& payload) {
    return impl_
        ->on_network<std::size_t>([this, payload](Impl::Run& r) {
            std::size_t sent = 0;
            const auto open = r.connections;
            for (const auto& item : open) {
                sent += impl_->write(r, item.first, payload, websocketpp::frame::opcode::binary) ? 1 : 0;
            }
            return sent;
        })
        .value_or(0);
}

bool PrinterSimulator::send_text(std::size_t connection, const std::string& text) {
    return impl_->on_network<bool>([this, connection, text](Impl::Run& r) { return impl_->write(r, connection, text); })
        .value_or(false);
}

std::size_t PrinterSimulator::close_all(int code, const std::string& reason) {
    return impl_
        ->on_network<std::size_t>([this, code, reason](Impl::Run& r) {
            std::size_t closed = 0;
            const auto open = r.connections;
            for (const auto& item : open) closed += impl_->close_connection(r, item.first, code, reason) ? 1 : 0;
            return closed;
        })
        .value_or(0);
}

bool PrinterSimulator::close(std::size_t connection, int code, const std::string& reason) {
    return impl_
        ->on_network<bool>(
            [this, connection, code, reason](Impl::Run& r) { return impl_->close_connection(r, connection, code, reason); })
        .value_or(false);
}

std::size_t PrinterSimulator::drop_all() {
    return impl_
        ->on_network<std::size_t>([this](Impl::Run& r) {
            std::size_t dropped = 0;
            const auto open = r.connections;
            for (const auto& item : open) dropped += impl_->drop_connection(r, item.first) ? 1 : 0;
            return dropped;
        })
        .value_or(0);
}

bool PrinterSimulator::drop(std::size_t connection) {
    return impl_->on_network<bool>([this, connection](Impl::Run& r) { return impl_->drop_connection(r, connection); })
        .value_or(false);
}

void PrinterSimulator::set_answer_pings(bool answer) { impl_->answer_pings_ = answer; }

void PrinterSimulator::set_reading(bool reading) {
    impl_->reading_ = reading;
    impl_->on_network<bool>([this, reading](Impl::Run& r) {
        for (const auto& item : r.connections) impl_->pause_or_resume(r, item.first, reading);
        if (reading) {
            const auto unread = std::move(r.unread);
            r.unread.clear();
            for (const auto& [handle, message] : unread) impl_->received(r, handle, message);
        }
        return true;
    });
}

std::size_t PrinterSimulator::start_flood(const std::string& text) {
    return impl_
        ->on_network<std::size_t>([this, text](Impl::Run& r) {
            r.flood_text = std::make_shared<const std::string>(text);
            for (const auto& item : r.connections) {
                if (r.flooded.insert(item.first).second) impl_->pump_flood(r, item.first);
            }
            return r.flooded.size();
        })
        .value_or(0);
}

void PrinterSimulator::stop_flood() {
    impl_->on_network<bool>([](Impl::Run& r) {
        r.flood_text.reset();
        r.flooded.clear();
        return true;
    });
}

void PrinterSimulator::set_answer_delay(std::chrono::milliseconds delay) {
    impl_->answer_delay_ms_ = delay.count();
}

std::size_t PrinterSimulator::send_partial_frame(std::uint64_t declared_length, const std::string& payload) {
    std::string bytes(1, static_cast<char>(0x81));  // FIN, text
    if (declared_length < 126) {
        bytes += static_cast<char>(declared_length);
    } else if (declared_length <= 0xFFFF) {
        bytes += static_cast<char>(126);
        for (int shift = 8; shift >= 0; shift -= 8) bytes += static_cast<char>((declared_length >> shift) & 0xFF);
    } else {
        bytes += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>((declared_length >> shift) & 0xFF);
    }
    bytes += payload.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(declared_length, payload.size())));
    return impl_
        ->on_network<std::size_t>([this, bytes](Impl::Run& r) {
            std::size_t sent = 0;
            for (const auto& item : r.connections) {
                try {
                    asio::write(r.server.get_con_from_hdl(item.second)->get_raw_socket(), asio::buffer(bytes));
                    ++sent;
                } catch (const std::exception& error) {
                    impl_->log_error("partial frame to connection " + std::to_string(item.first) +
                                     " failed: " + error.what());
                }
            }
            return sent;
        })
        .value_or(0);
}

void PrinterSimulator::set_answer_requests(bool answer) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.set_answer_requests(answer);
}

void PrinterSimulator::fail_method(const std::string& method, int code, const std::string& message, Times times) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.add_error_rule(method, std::nullopt, code, message, times);
}

void PrinterSimulator::fail_request_id(std::int64_t id, int code, const std::string& message, Times times) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.add_error_rule(std::nullopt, id, code, message, times);
}

void PrinterSimulator::ignore_request_id(std::int64_t id, Times times) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.add_ignore_rule(id, times);
}

void PrinterSimulator::clear_injections() {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.clear_rules();
}

std::size_t PrinterSimulator::notify_klippy_ready() {
    return impl_->broadcast(PrinterModel::notification("notify_klippy_ready"));
}

std::size_t PrinterSimulator::notify_klippy_shutdown() {
    return impl_->broadcast(PrinterModel::notification("notify_klippy_shutdown"));
}

std::size_t PrinterSimulator::notify_klippy_disconnected() {
    return impl_->broadcast(PrinterModel::notification("notify_klippy_disconnected"));
}

std::size_t PrinterSimulator::notify_gcode_response(const std::string& line) {
    return impl_->broadcast(PrinterModel::gcode_response(line));
}

std::size_t PrinterSimulator::notify_filelist_changed(const std::string& action, const std::string& path) {
    std::string text;
    {
        std::lock_guard<std::mutex> model(impl_->model_mutex_);
        text = impl_->model_.filelist_changed_for(action, path);
    }
    return impl_->broadcast(text);
}

std::size_t PrinterSimulator::notify_history_changed(const std::string& action, const std::string& job_json) {
    const Json job = job_json.empty() ? Json() : parse_argument(job_json, "the job");
    std::string text;
    {
        std::lock_guard<std::mutex> model(impl_->model_mutex_);
        text = impl_->model_.history_changed(action, job);
    }
    return impl_->broadcast(text);
}

std::size_t PrinterSimulator::notify_status_update(const std::string& fields_json) {
    const Json fields = parse_argument(fields_json, "the status fields");
    std::string text;
    {
        std::lock_guard<std::mutex> model(impl_->model_mutex_);
        text = impl_->model_.status_notification(fields, impl_->now());
    }
    return impl_->broadcast(text);
}

std::size_t PrinterSimulator::notify_proc_stat_update() {
    return impl_
        ->on_network<std::size_t>([this](Impl::Run& r) {
            std::string text;
            {
                std::lock_guard<std::mutex> model(impl_->model_mutex_);
                text = impl_->model_.proc_stat_text(r.connections.size());
            }
            return impl_->deliver(r, {{Outgoing::everyone, text}});
        })
        .value_or(0);
}

void PrinterSimulator::set_hostname(const std::string& hostname) { set_info_field("hostname", Json(hostname).dump()); }

void PrinterSimulator::set_cpu_info(const std::string& cpu_info) { set_info_field("cpu_info", Json(cpu_info).dump()); }

void PrinterSimulator::set_software_version(const std::string& version) {
    set_info_field("software_version", Json(version).dump());
}

void PrinterSimulator::set_klippy_state(const std::string& state, const std::string& message) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.set_klippy_state(state, message);
}

void PrinterSimulator::set_klippy_connected(bool connected) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.set_klippy_connected(connected);
}

void PrinterSimulator::set_info_field(const std::string& key, const std::string& value_json) {
    Json value = parse_argument(value_json, "the printer.info value");
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.set_info_field(key, std::move(value));
}

void PrinterSimulator::erase_info_field(const std::string& key) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.erase_info_field(key);
}

void PrinterSimulator::set_status_fields(const std::string& object, const std::string& fields_json) {
    Json fields = parse_argument(fields_json, "the status fields");
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.merge_status(object, fields);
}

std::string PrinterSimulator::status_json() const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return impl_->model_.status().dump();
}

std::string PrinterSimulator::status_json(const std::string& object) const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    const Json& status = impl_->model_.status();
    const auto it = status.find(object);
    return it == status.end() ? "null" : it->dump();
}

void PrinterSimulator::add_file(const std::string& path, std::int64_t size, bool with_metadata) {
    std::vector<Outgoing> notifications;
    {
        std::lock_guard<std::mutex> model(impl_->model_mutex_);
        notifications = impl_->model_.add_file(path, size, with_metadata);
    }
    impl_->on_network<std::size_t>([this, notifications](Impl::Run& r) { return impl_->deliver(r, notifications); });
}

bool PrinterSimulator::has_file(const std::string& path) const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return impl_->model_.has_file(path);
}

std::vector<std::string> PrinterSimulator::files() const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return impl_->model_.file_paths();
}

std::size_t PrinterSimulator::history_size() const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return impl_->model_.history().size();
}

std::string PrinterSimulator::history_json() const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return Json(impl_->model_.history()).dump();
}

}  // namespace zorim::sim
