// A Moonraker-compatible printer on a local WebSocket: the plug-in's test peer
// and the demo's default printer.
//
// The simulator serves JSON-RPC 2.0 at ws://HOST:PORT/websocket in Moonraker's
// message shapes (taken from the recorded traffic in tests/fixtures/moonraker),
// with a Klipper status model seeded from those recordings, an in-memory
// G-code file store and print history. Tests use it in-process: everything it
// receives is recorded, every fault a printer can show can be provoked, and
// every wait takes a timeout.
//
// Threads: the server runs its own network thread between start() and stop().
// Every member function is thread-safe and may be called while it runs. The
// actions on connections (send, close, drop, notify) are carried out on the
// network thread; the call returns once they were handed to the sockets. Called
// while the server is stopped they do nothing and report that (false or 0).
//
// The log sink runs on the simulator's threads and must not call back into the
// simulator (stop() waits for those threads).
//
// WebSocket and Asio headers stay out of this header on purpose: they cost
// about 20 s of compile time in every file that includes them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorim::sim {

// The recordings that a simulator can start from (see recorded_seeds.json).
inline constexpr std::string_view default_recording = "klipper_sim_session";
std::vector<std::string> recording_names();

// How often an injected fault applies.
enum class Times { once, always };

struct SimulatorOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;  // 0: an ephemeral port, see port()

    // Live behaviour: heaters move toward their targets, print jobs advance, the
    // clocks tick (so a status update goes out every period). Off, the printer
    // changes only when asked: by a request or by the API below.
    bool live = true;
    std::chrono::milliseconds status_period{250};
    std::chrono::milliseconds proc_stat_period{1000};  // 0: no notify_proc_stat_update
    double time_scale = 1.0;  // simulated seconds per wall-clock second
    double job_seconds = 0.0; // simulated seconds of printing; 0: the file's estimated time
    double restart_seconds = 1.0;  // simulated seconds a firmware or host restart takes

    // The starting point: a recording's printer.info, status, files and history.
    std::string recording = std::string(default_recording);
    // printer.info members; empty keeps the recording's value. `state` also
    // sets the webhooks state ("ready", "startup", "shutdown", "error").
    std::string hostname;
    std::string cpu_info;
    std::string software_version;
    std::string state;

    // Log lines. Without a sink, errors go to standard error and nothing else
    // is written.
    std::function<void(const std::string&)> log;
    bool log_connections = false;  // open and close of every connection
    bool log_requests = false;     // one line per received text frame
};

struct ReceivedText {
    std::size_t connection = 0;  // index of the connection, counted from 0 for the simulator's life
    std::string text;
};

struct ClientClose {
    std::size_t connection = 0;
    int code = 0;             // the close code the client sent; 1006 when it sent none, 1005 when it sent no code
    std::string reason;       // the reason the client sent
    bool server_initiated = false;  // the simulator closed or dropped this connection first
};

class PrinterSimulator {
public:
    // Throws std::invalid_argument for an unknown recording, or a status
    // period or time scale that is not positive.
    explicit PrinterSimulator(SimulatorOptions options = {});
    ~PrinterSimulator();  // stops the server
    PrinterSimulator(const PrinterSimulator&) = delete;
    PrinterSimulator& operator=(const PrinterSimulator&) = delete;

    // Listens and starts the network thread. Throws std::runtime_error when the
    // address cannot be bound. After stop() it listens on the same port again.
    void start();
    // Closes every connection with 1001 "server shutdown" (bounded wait for
    // the close handshakes, then the sockets are dropped) and ends the thread.
    void stop();
    bool running() const;
    std::uint16_t port() const;          // the bound port, also after stop()
    std::string url_for_plugin() const;  // "127.0.0.1:PORT", the plug-in's printer address
    std::string websocket_url() const;   // "ws://127.0.0.1:PORT/websocket"

    // ---- What the clients sent -------------------------------------------
    // A text is recorded once the printer has handled it and before its
    // answer is written; a ping before its pong.
    std::vector<ReceivedText> texts() const;
    std::size_t text_count() const;
    std::vector<std::string> pings() const;  // payloads, in arrival order
    std::vector<ClientClose> closes() const;
    std::size_t open_connections() const;
    std::size_t accepted_connections() const;  // ever opened
    std::vector<std::size_t> open_connection_ids() const;
    void clear_records();  // texts, pings and closes

    // The first recorded text at index >= from that satisfies the predicate.
    std::optional<ReceivedText> wait_for_text(const std::function<bool(const std::string&)>& predicate,
                                              std::chrono::milliseconds timeout, std::size_t from = 0) const;
    // The first recorded request at index >= from whose "method" is `method`.
    std::optional<ReceivedText> wait_for_request(const std::string& method, std::chrono::milliseconds timeout,
                                                 std::size_t from = 0) const;
    bool wait_for_texts(std::size_t count, std::chrono::milliseconds timeout) const;
    bool wait_for_pings(std::size_t count, std::chrono::milliseconds timeout) const;
    bool wait_for_connections(std::size_t open, std::chrono::milliseconds timeout) const;  // exactly `open`
    bool wait_for_accepted(std::size_t count, std::chrono::milliseconds timeout) const;
    std::optional<ClientClose> wait_for_close(std::chrono::milliseconds timeout, std::size_t from = 0) const;

    // ---- Actions on connections ------------------------------------------
    std::size_t send_text(const std::string& text);  // to every open connection; returns how many
    bool send_text(std::size_t connection, const std::string& text);
    std::size_t send_binary(const std::string& payload);  // a binary frame to every open connection
    std::size_t close_all(int code, const std::string& reason);
    bool close(std::size_t connection, int code, const std::string& reason);
    std::size_t drop_all();  // TCP shutdown without a close frame
    bool drop(std::size_t connection);
    void set_answer_pings(bool answer);
    // false: stops reading from every open connection (a printer that stays connected but
    // takes nothing more: the client's writes pile up in the sockets); true: reads again.
    void set_reading(bool reading);
    // Writes `text` as text frames to every open connection, one after another as fast as the
    // sockets take them (never more than one unwritten at a time), until stop_flood();
    // returns how many connections are flooded. Requests are still read and answered.
    std::size_t start_flood(const std::string& text);
    void stop_flood();
    void set_answer_requests(bool answer);  // false: every request goes unanswered
    // A slow printer: what a request brings back (its answer and any
    // notifications it causes) goes out this long after the request was
    // handled. 0, the default, answers at once.
    void set_answer_delay(std::chrono::milliseconds delay);
    // Writes, on every open connection, the header of one unmasked text frame
    // that declares `declared_length` payload bytes, followed by `payload`
    // (cut to that length); the rest of the frame never comes. Followed by a
    // drop it is a link lost in the middle of a frame; with a declared length
    // over the client's limit, a frame too big to take. The bytes go straight
    // to the socket after what was queued before (at once when nothing is),
    // never inside another frame; that connection's later frames are not
    // readable any more.
    std::size_t send_partial_frame(std::uint64_t declared_length, const std::string& payload);

    // ---- Injected faults (tried in the order added, before real handling) --
    void fail_method(const std::string& method, int code, const std::string& message, Times times = Times::once);
    void fail_request_id(std::int64_t id, int code, const std::string& message, Times times = Times::once);
    void ignore_request_id(std::int64_t id, Times times = Times::once);
    void clear_injections();

    // ---- Notifications on demand (to every open connection) ---------------
    std::size_t notify_klippy_ready();
    std::size_t notify_klippy_shutdown();
    std::size_t notify_klippy_disconnected();
    std::size_t notify_gcode_response(const std::string& line);
    std::size_t notify_filelist_changed(const std::string& action = "create_file",
                                        const std::string& path = "cube_sim.gcode");
    // `job_json` empty: the newest job of the history.
    std::size_t notify_history_changed(const std::string& action, const std::string& job_json = {});
    // `fields_json`: an object of objects, e.g. {"extruder":{"temperature":210.0}}.
    // Sent as it is; the status model does not change (see set_status_fields).
    std::size_t notify_status_update(const std::string& fields_json);
    std::size_t notify_proc_stat_update();

    // ---- The printer's state ---------------------------------------------
    void set_hostname(const std::string& hostname);
    void set_cpu_info(const std::string& cpu_info);
    void set_software_version(const std::string& version);
    // printer.info "state"/"state_message" and the webhooks object together.
    void set_klippy_state(const std::string& state, const std::string& message = {});
    // false: Moonraker without Klipper (printer.* answers "Method not found").
    void set_klippy_connected(bool connected);
    // Any printer.info member, as JSON text (wrong types welcome).
    void set_info_field(const std::string& key, const std::string& value_json);
    void erase_info_field(const std::string& key);
    // Merges fields into a status object (created when new); subscribers get
    // the changes with the next status update.
    void set_status_fields(const std::string& object, const std::string& fields_json);
    std::string status_json() const;                        // every object
    std::string status_json(const std::string& object) const;  // "null" when unknown
    // Adds a G-code file (with the recorded file's metadata and a thumbnail
    // when asked) and sends notify_filelist_changed.
    void add_file(const std::string& path, std::int64_t size = 3313, bool with_metadata = true);
    bool has_file(const std::string& path) const;
    std::vector<std::string> files() const;
    std::size_t history_size() const;
    std::string history_json() const;  // the jobs, oldest first

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zorim::sim
