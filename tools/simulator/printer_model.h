// The simulated printer behind the WebSocket: Moonraker's JSON-RPC methods,
// Klipper's status objects, the G-code file store and the print history.
//
// The model knows nothing of sockets. It takes the text of a request and
// returns the texts to send, in order; the server (printer_simulator.cpp)
// writes them. Time is passed in as simulated seconds since the simulator was
// created, so the model can be driven step by step. Not thread-safe: the
// server calls it under one mutex.
#pragma once

#include "printer_simulator.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zorim::sim {

// Moonraker writes members in a fixed order (see the recordings); keeping the
// insertion order makes the simulator's texts look like the real ones.
using Json = nlohmann::ordered_json;

// One text for one connection, or for every open connection.
struct Outgoing {
    static constexpr std::size_t everyone = std::numeric_limits<std::size_t>::max();
    std::size_t connection = everyone;
    std::string text;
};

struct ModelOptions {
    std::string recording = std::string(default_recording);
    bool live = true;
    double job_seconds = 0.0;      // simulated seconds of printing; 0: the file's estimated_time
    double restart_seconds = 1.0;  // simulated seconds between "disconnected" and "ready"
    std::string hostname;          // printer.info overrides; empty keeps the recording's value
    std::string cpu_info;
    std::string software_version;
    std::string state;
};

class PrinterModel {
public:
    // Throws std::invalid_argument for a recording name that is not known.
    explicit PrinterModel(ModelOptions options, double now = 0.0);

    struct Handled {
        std::vector<Outgoing> out;
        std::string summary;  // "method (id N)" for the request log
    };
    // One received text frame: parse, apply injected faults, answer.
    Handled handle_text(std::size_t connection, const std::string& text, double now);

    // Runs due events (restart completion) and, when live, the heaters, the
    // job and the clocks up to `now`.
    std::vector<Outgoing> advance(double now);
    // notify_status_update for every subscriber whose fields changed since
    // they were last sent, then the notifications that follow a status change.
    std::vector<Outgoing> flush_status(double now);
    std::string proc_stat_text(std::size_t open_connections) const;
    void connection_closed(std::size_t connection);

    // Injected faults, tried in the order they were added.
    void add_error_rule(std::optional<std::string> method, std::optional<std::int64_t> id, int code,
                        std::string message, Times times);
    void add_ignore_rule(std::int64_t id, Times times);
    void clear_rules();
    void set_answer_requests(bool answer);

    // Printer identity and state.
    void set_info_field(const std::string& key, Json value);
    void erase_info_field(const std::string& key);
    void set_klippy_state(const std::string& state, const std::string& message);
    void set_klippy_connected(bool connected);
    Json printer_info() const;

    // Status objects.
    void merge_status(const std::string& object, const Json& fields);
    const Json& status() const { return status_; }
    double eventtime(double now) const { return base_eventtime_ + now; }

    // Files and history.
    std::vector<Outgoing> add_file(const std::string& path, std::int64_t size, bool with_metadata);
    bool has_file(const std::string& path) const { return files_.count(path) != 0; }
    std::vector<std::string> file_paths() const;
    const std::vector<Json>& history() const { return history_; }

    // Notification texts in Moonraker's shapes.
    static std::string notification(const std::string& method, const Json& params = Json());
    std::string status_notification(const Json& fields, double now) const;
    static std::string gcode_response(const std::string& line);
    static std::string filelist_changed(const std::string& action, const std::string& path, double modified,
                                        std::int64_t size);
    // For a file of the store its time and size, otherwise now and 0.
    std::string filelist_changed_for(const std::string& action, const std::string& path) const;
    // `job` null: the newest job of the history (an empty object when there is none).
    std::string history_changed(const std::string& action, const Json& job) const;

private:
    struct FileEntry {
        double modified = 0.0;
        std::int64_t size = 0;
        std::string permissions = "rw";
        Json metadata;  // null for files without metadata (thumbnails)
        Json print_start_time;
        Json job_id;
    };
    struct Subscription {
        std::vector<std::pair<std::string, Json>> objects;  // name, null or field list
        Json sent;                                          // values last sent, per object
    };
    struct Rule {
        bool ignore = false;
        bool by_method = false;
        std::string method;
        bool by_id = false;
        std::int64_t id = 0;
        int code = 0;
        std::string message;
        Times times = Times::once;
    };
    enum class Phase { heating, printing, paused };
    struct Job {
        std::string path;
        Phase phase = Phase::heating;
        Phase resume_phase = Phase::printing;
        std::size_t history_index = 0;
        double start_wall = 0.0;  // Unix seconds
        double total = 0.0;       // simulated seconds since the start
        double printing = 0.0;    // simulated seconds of printing
        double seconds = 65.0;    // simulated seconds the printing takes
        int layers = 10;
        double layer_height = 0.2;
        double filament_total = 0.0;
        std::int64_t size = 0;
        std::int64_t start_byte = 0;
        std::int64_t end_byte = 0;
    };
    struct Event {
        double due = 0.0;  // the restarted Klipper reports ready
    };
    class RequestError;
    enum class LineResult { next, stop };

    void load_seeds(const ModelOptions& options);
    // The result of one request; `before` collects what goes out ahead of the
    // reply, `follow_` what goes out right after it.
    Json answer(std::size_t connection, const std::string& method, const Json& params,
                std::vector<Outgoing>& before, double now);

    Json subscribe(std::size_t connection, const Json& params, double now);
    Json query(const Json& params, double now) const;
    Json status_of(const std::string& object, const Json& fields) const;
    Json get_directory(const Json& params) const;
    Json file_list() const;
    Json metadata_for_job(const std::string& path) const;
    Json file_metadata(const std::string& filename) const;
    Json delete_file(const std::string& path);
    Json history_list(const Json& params) const;
    Json history_totals() const;

    void run_gcode_script(const std::string& script, std::vector<Outgoing>& before, double now);
    LineResult run_gcode_line(const std::string& raw, std::vector<Outgoing>& before, double now);
    bool known_command(const std::string& command) const;
    void home(const std::map<char, double>& params);
    void move(const std::map<char, double>& params, std::vector<Outgoing>& before);
    void require_ready(std::vector<Outgoing>& before) const;

    void print_start(const std::string& filename, std::vector<Outgoing>& before);
    void print_pause(std::vector<Outgoing>& before);
    void print_resume(std::vector<Outgoing>& before);
    void print_cancel();
    void emergency_stop(std::vector<Outgoing>& before, const std::string& reason);
    void restart_klippy(double now);
    void reset_after_restart();
    void finish_job(const std::string& job_status, std::vector<Outgoing>& follow);
    void advance_job(double dt, std::vector<Outgoing>& out);
    void advance_heaters(double dt);

    void set_field(const char* object, const char* key, Json value);
    double number(const char* object, const char* key, double fallback) const;
    void set_position(const std::vector<double>& position);
    void set_steppers(bool enabled);
    void heaters_off();
    Json job_for_notification(const Json& list_job) const;
    std::string klippy_state() const;
    bool klippy_ready() const { return klippy_connected_ && klippy_state() == "ready"; }

    ModelOptions options_;
    Json info_;
    Json server_info_;
    Json status_;
    Json seed_status_;  // the recording's status, for the reset after a restart
    Json proc_stat_;
    Json disk_usage_;
    double base_eventtime_ = 0.0;
    double last_advance_ = 0.0;
    double stats_clock_ = 0.0;
    bool klippy_connected_ = true;
    bool answer_requests_ = true;
    bool relative_moves_ = false;
    std::map<std::string, FileEntry> files_;
    std::vector<Json> history_;
    unsigned next_job_number_ = 1;
    std::map<std::size_t, Subscription> subscriptions_;
    std::vector<Rule> rules_;
    std::optional<Job> job_;
    std::vector<Event> events_;
    std::vector<Outgoing> follow_;       // what follows the reply being built
    std::vector<Outgoing> after_flush_;  // notifications that follow the next status flush
};

// Wall-clock time as Unix seconds, as Moonraker writes "modified" and job times.
double wall_seconds();

}  // namespace zorim::sim
