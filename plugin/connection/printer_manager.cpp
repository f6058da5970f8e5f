#include "connection/printer_manager.h"

#include <exception>
#include <utility>

#include "connection/printer_connection.h"
#include "diagnostics/console.h"
#include "diagnostics/diagnostic_log.h"

namespace zorim {
namespace {

constexpr char kPingPayload[] = "heartbeat";
constexpr std::uint16_t kCloseNormal = 1000;
constexpr std::uint16_t kCloseGoingAway = 1001;

// Runs one step of a plug-in thread or handler; whatever it throws is written
// to the log instead of ending the thread.
template <typename Fn>
void contained(const char* where, Fn&& step) {
    try {
        step();
    } catch (const std::exception& e) {
        log_record(Severity::error, std::string(where) + ": " + e.what());
    } catch (...) {
        log_record(Severity::error, std::string(where) + ": unknown exception");
    }
}

}  // namespace

PrinterManager::PrinterManager(ManagerTiming timing)
    : timing_(timing), send_queue_(MessageQueue::kDefaultCapacity, timing.queue_wait) {}

PrinterManager::~PrinterManager() {
    contained("destroy agent", [this] { stop(); });
}

void PrinterManager::start() {
    if (started_.exchange(true)) {
        log_record(Severity::warning, "start: the agent is already started; ignored");
        return;
    }
    EndpointSettings settings;
    settings.open_handshake_timeout = timing_.open_handshake_timeout;
    settings.pong_timeout = timing_.pong_timeout;
    endpoint_.init(settings);
    io_thread_ = std::make_shared<std::thread>([this] { run_network_loop(); });
    send_thread_ = std::make_shared<std::thread>([this] { do_send_loop(); });
    keepalive_thread_ = std::make_shared<std::thread>([this] { do_socket_check_loop(); });
}

bool PrinterManager::on_plugin_thread() const {
    const std::thread::id self = std::this_thread::get_id();
    return self == io_thread_id_.load() || self == send_thread_id_.load() || self == keepalive_thread_id_.load();
}

bool PrinterManager::stop() {
    if (on_plugin_thread() || in_host_callback()) {
        // A thread cannot end and join itself, and the agent it belongs to
        // must outlive it (and the code that called the callback, on the
        // host's thread too): stopping from inside a callback is refused.
        log_record(Severity::error, "stop: refused on a thread of the agent; the agent must not be destroyed "
                                    "from inside a callback");
        return false;
    }
    if (stopped_.exchange(true)) return true;
    {
        // Set under the lock the keep-alive loop waits with, so its wake-up
        // cannot fall between its test of the flag and its wait.
        std::lock_guard<std::mutex> lock(registry_mutex_);
        stopping_.store(true);
    }
    keepalive_cv_.notify_all();
    send_queue_.close();
    if (!started_.load()) return true;

    std::map<std::string, std::shared_ptr<PrinterConnection>> registry;
    {
        std::lock_guard<std::mutex> lock(registry_mutex_);
        registry = connections_;
    }
    std::vector<std::shared_ptr<PrinterConnection>> closing;
    for (const auto& [device_id, connection] : registry) {
        if (connection->link_state() != kLinkOpen) continue;
        log_record(Severity::debug, "> Closing connection " + device_id);
        close(device_id, kCloseGoingAway, "");
        closing.push_back(connection);
    }
    wait_for_closes(closing);

    endpoint_.stop_perpetual();
    log_record(Severity::debug, "stop connection thread start");
    for (const auto& thread : {send_thread_, keepalive_thread_}) {
        if (thread && thread->joinable()) thread->join();
    }
    endpoint_.stop();
    if (io_thread_ && io_thread_->joinable()) io_thread_->join();
    log_record(Severity::debug, "stop connection thread end");
    return true;
}

void PrinterManager::wait_for_closes(const std::vector<std::shared_ptr<PrinterConnection>>& closing) {
    // The close handshakes can only finish while the event loop runs; give
    // them a short, bounded time so the close frames reach the printers.
    const auto deadline = std::chrono::steady_clock::now() + timing_.stop_close_wait;
    auto all_closed = [&] {
        for (const auto& connection : closing) {
            if (connection->link_state() == kLinkOpen) return false;
        }
        return true;
    };
    while (!all_closed() && std::chrono::steady_clock::now() < deadline &&
           !endpoint_.on_network_thread()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// --- Registry ------------------------------------------------------------------

std::int32_t PrinterManager::connect(const std::string& device_id, const std::string& uri) {
    Launch launch;
    std::int32_t result;
    {
        std::lock_guard<std::mutex> lock(registry_mutex_);
        result = prepare_connect_locked(device_id, uri, launch);
    }
    if (result == 0) finish_connect(launch);
    return result;
}

std::int32_t PrinterManager::prepare_connect_locked(const std::string& device_id, const std::string& uri,
                                                    Launch& launch) {
    log_record(Severity::info, "Connect initialization " + device_id);
    if (!endpoint_.initialised() || stopping_.load()) {
        log_record(Severity::error, "Connect initialization error: " + device_id + "," +
                                        (stopping_.load() ? "the agent is stopped" : "the agent is not started"));
        return -1;
    }
    std::error_code error;
    LinkRef link = endpoint_.create_link(uri, error);
    if (!link) {
        log_record(Severity::error, "Connect initialization error: " + device_id + "," + error.message());
        return -1;
    }

    auto found = connections_.find(device_id);
    if (found != connections_.end()) {
        const std::shared_ptr<PrinterConnection>& connection = found->second;
        const std::int32_t state = connection->link_state();
        // Open at the address asked for: the new object is dropped unstarted.
        if (state == kLinkOpen && connection->uri() == uri) return 0;
        // A link to that address is about to be started (this may be a call
        // from inside the report of its reopen): replacing it would report
        // the reopen again, and a host that connects on that report would
        // never stop.
        if (connection->launch_pending() && connection->uri() == uri) {
            log_record(Severity::debug, "> A link to " + uri + " is being started for " + device_id + "\n");
            return 0;
        }
        // Otherwise the printer moves to the new link (and address); a link
        // still opening or open is replaced, not left running beside it.
        LinkHandle replaced = connection->begin_reopen(link, uri);
        if (state != kLinkOpen && state != kLinkConnecting) replaced.reset();
        connection->launch_prepared();
        launch = Launch{connection, std::move(link), true, std::move(replaced)};
        return 0;
    }
    auto connection = std::make_shared<PrinterConnection>(device_id, link, uri);
    connections_.emplace(device_id, connection);
    connection->launch_prepared();
    launch = Launch{std::move(connection), std::move(link), false, LinkHandle{}};
    return 0;
}

void PrinterManager::finish_connect(Launch& launch) {
    if (!launch.connection) return;
    struct Finished {
        PrinterConnection& connection;
        ~Finished() { connection.launch_finished(); }
    } finished{*launch.connection};
    if (!launch.replaced.expired()) {
        // A link still opening refuses the close; it is closed when it opens.
        endpoint_.close(launch.replaced, kCloseNormal, "",
                        [device_id = launch.connection->device_id()](const std::error_code& error) {
                            if (error) {
                                log_record(Severity::debug, "> Error closing replaced connection: " + device_id +
                                                                "," + error.message() + "\n");
                            }
                        });
    }
    if (launch.reopened && !launch.connection->retired()) launch.connection->report_status(*this);
    // Asked again after the report, whose callback may have disconnected the
    // printer: a printer the host removed is not started again.
    if (launch.connection->retired()) {
        log_record(Severity::debug, "> Not starting a link for the disconnected printer " +
                                        launch.connection->device_id());
        return;
    }
    bind_handlers(launch.connection, launch.link);
    endpoint_.start_link(std::move(launch.link));
}

void PrinterManager::bind_handlers(const std::shared_ptr<PrinterConnection>& connection, const LinkRef& link) {
    // Each binding holds the printer connection, so it outlives its registry
    // entry for as long as the library still raises events for the link.
    WebSocketEndpoint* endpoint = &endpoint_;
    LinkHandlers handlers;
    handlers.on_open = [this, endpoint, connection](LinkHandle event) {
        contained("on_open", [&] { connection->on_open(*this, *endpoint, std::move(event)); });
    };
    handlers.on_fail = [this, endpoint, connection](LinkHandle event) {
        contained("on_fail", [&] { connection->on_fail(*this, *endpoint, std::move(event)); });
    };
    handlers.on_close = [this, endpoint, connection](LinkHandle event) {
        contained("on_close", [&] { connection->on_close(*this, *endpoint, std::move(event)); });
    };
    handlers.on_text = [this, connection](LinkHandle event, const std::string& text) {
        contained("on_message", [&] { connection->on_message(*this, std::move(event), text); });
    };
    handlers.on_pong_timeout = [this, endpoint, connection](LinkHandle event, std::string payload) {
        contained("on_pong_timeout",
                  [&] { connection->on_pong_timeout(*this, *endpoint, std::move(event), std::move(payload)); });
    };
    handlers.on_pong = [endpoint, connection](LinkHandle event, std::string payload) {
        contained("on_pong", [&] { connection->on_pong(*endpoint, std::move(event), std::move(payload)); });
    };
    handlers.on_sent = [connection](LinkHandle, const std::error_code& error, const std::string& text) {
        contained("on_sent", [&] { connection->on_sent(error, text); });
    };
    endpoint_.bind(link, std::move(handlers));
}

void PrinterManager::close(const std::string& device_id, std::uint16_t code, const std::string& reason) {
    std::shared_ptr<PrinterConnection> connection;
    {
        std::lock_guard<std::mutex> lock(registry_mutex_);
        auto found = connections_.find(device_id);
        if (found == connections_.end()) {
            log_record(Severity::info, "No connection found with id " + device_id);
            return;
        }
        connection = found->second;
    }
    // Retired first: a link that is still opening cannot take a close yet and
    // would otherwise open later for a printer nobody holds any more.
    connection->retire(code, reason);
    // The close is carried out on the network thread; a busy loop does not
    // hold the caller, and the library's answer is logged when it comes.
    endpoint_.close(connection->handle(), code, reason, [device_id](const std::error_code& error) {
        if (error) {
            log_record(Severity::error, "> Error initiating close: " + device_id + "," + error.message() + "\n");
        }
    });
    {
        std::lock_guard<std::mutex> lock(registry_mutex_);
        auto found = connections_.find(device_id);
        if (found != connections_.end() && found->second == connection) connections_.erase(found);
    }
}

std::shared_ptr<PrinterConnection> PrinterManager::find(const std::string& device_id) const {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    auto found = connections_.find(device_id);
    return found == connections_.end() ? nullptr : found->second;
}

std::vector<std::string> PrinterManager::registered_ids() const {
    std::lock_guard<std::mutex> lock(registry_mutex_);
    std::vector<std::string> ids;
    for (const auto& entry : connections_) ids.push_back(entry.first);
    return ids;
}

// --- Threads -----------------------------------------------------------------------

void PrinterManager::run_network_loop() {
    io_thread_id_.store(std::this_thread::get_id());
    for (;;) {
        try {
            endpoint_.run();
            return;  // stopped
        } catch (const std::exception& e) {
            log_record(Severity::error, std::string("network loop: ") + e.what());
        } catch (...) {
            log_record(Severity::error, "network loop: unknown exception");
        }
    }
}

bool PrinterManager::send(const std::string& device_id, std::int32_t request_id, std::string text,
                          bool await_reply, bool agent_request) {
    std::string record = log_enabled(Severity::debug) ? "send msg:id," + text + "\n" : std::string();
    OutgoingMessage message{device_id, request_id, 0, await_reply, std::move(text)};
    // The network thread never waits for room: it reads every printer, and
    // a wait there would hold them all. The agent's own requests (printer
    // info, objects list, subscription) are never dropped, since a printer
    // would be left without status until the keep-alive pass, and never
    // pile up: a newer one replaces the one of its kind still waiting for
    // that printer, so a printer that sends notify_klippy_ready without end
    // costs one waiting request of each kind. A host callback's text is
    // dropped when the queue is full.
    bool queued = false;
    if (!endpoint_.on_network_thread()) {
        queued = send_queue_.push(std::move(message));
    } else if (agent_request) {
        queued = send_queue_.push_replacing(std::move(message));
    } else {
        queued = send_queue_.try_push(std::move(message));
    }
    // The text is logged whether or not it was queued: a dropped one is
    // then found in the log beside its warning.
    if (!record.empty()) log_record(Severity::debug, record);
    if (!queued) {
        log_record(Severity::warning, "send: dropped request id " + std::to_string(request_id) + " for " + device_id +
                                          (send_queue_.closed() ? ": the agent is stopped" : ": the send queue is full"));
    }
    return queued;
}

void PrinterManager::do_send_loop() {
    send_thread_id_.store(std::this_thread::get_id());
    for (;;) {
        if (stopping_.load()) {
            log_record(Severity::debug, "do_send_loop stop\n");
            return;
        }
        contained("do_send_loop", [this] {
            OutgoingMessage record;
            const bool taken = send_queue_.pop(record);
            if (stopping_.load()) return;
            console_write(taken ? "send msg :1\n" : "send msg :0\n");
            if (!taken) return;

            // Never waits on a printer: the text goes to its link's outbox,
            // or is dropped there when the printer has stopped taking texts.
            std::shared_ptr<PrinterConnection> connection = find(record.device_id);
            if (!connection) {
                console_write("> No connection found with id " + record.device_id + "\n");
                log_record(Severity::warning, "send: dropped request id " + std::to_string(record.request_id) +
                                                  " for " + record.device_id + ": no such printer");
                return;
            }
            const std::int32_t request_id = record.request_id;
            if (connection->transmit(endpoint_, connection->handle(), request_id, std::move(record.text),
                                     record.await_reply) == PrinterConnection::Transmitted::not_open) {
                log_record(Severity::warning, "send: dropped request id " + std::to_string(request_id) + " for " +
                                                  record.device_id + ": the link is not open");
            }
        });
    }
}

void PrinterManager::do_socket_check_loop() {
    keepalive_thread_id_.store(std::this_thread::get_id());
    while (!stopping_.load()) {
        std::vector<Launch> reopened;
        {
            std::unique_lock<std::mutex> lock(registry_mutex_);
            if (stopping_.load()) break;
            // A wake-up before the period is over (stop, or a spurious one)
            // starts the wait again rather than running a pass early.
            if (keepalive_cv_.wait_for(lock, timing_.keepalive_period) == std::cv_status::no_timeout) continue;
            if (stopping_.load()) continue;
            contained("do_socket_check_loop", [&] { keepalive_pass(reopened); });
        }
        finish_reopens(reopened);
    }
    log_record(Severity::debug, "do_socket_check_loop stop\n");
}

void PrinterManager::run_keepalive_pass() {
    std::vector<Launch> reopened;
    {
        std::lock_guard<std::mutex> lock(registry_mutex_);
        contained("do_socket_check_loop", [&] { keepalive_pass(reopened); });
    }
    finish_reopens(reopened);
}

void PrinterManager::finish_reopens(std::vector<Launch>& reopened) {
    // Reports and link starts of reopened printers happen after the pass has
    // let go of the registry, so a host callback may call back into connect
    // or disconnect.
    for (Launch& launch : reopened) {
        contained("do_socket_check_loop", [&] { finish_connect(launch); });
    }
}

void PrinterManager::keepalive_pass(std::vector<Launch>& reopened) {
    std::vector<WebSocketEndpoint::PingTarget> pings;
    for (const auto& entry : connections_) {
        const std::string& device_id = entry.first;
        std::shared_ptr<PrinterConnection> connection = entry.second;
        contained("keep-alive", [&] {
            switch (connection->link_state()) {
                case kLinkOpen: {
                    console_write("ping " + device_id + "\n");
                    pings.push_back({connection->handle(), [id = device_id](const std::error_code& e) {
                                         console_write("ping error: " + id + e.message() + "\n");
                                     }});
                    connection->check_pending_requests(endpoint_);
                    break;
                }
                case kLinkClosed:
                case kLinkFailed: {
                    Launch launch;
                    if (prepare_connect_locked(device_id, connection->uri(), launch) == 0) {
                        reopened.push_back(std::move(launch));
                    }
                    break;
                }
                default:
                    break;
            }
        });
    }
    contained("keep-alive", [&] { endpoint_.ping_all(std::move(pings), kPingPayload); });
}

}  // namespace zorim
