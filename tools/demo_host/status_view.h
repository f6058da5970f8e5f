// What the demo host knows about each printer, and how it shows it. Fed from
// the plug-in's callbacks (network thread), drawn from the main thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zorim_network/machine_status.h"

namespace zorim::demo {

struct PrinterView {
    std::string address;
    bool has_status = false;
    MachineStatus status;
    std::uint64_t reports = 0;
    std::string file_list_summary;
    std::string history_summary;
};

class StatusView {
public:
    void add_printer(const std::string& device_id, const std::string& address);

    // Callback side: record and wake the drawing thread.
    void on_status(const std::string& device_id, MachineStatus status);
    void on_event(const std::string& device_id, const std::string& what);
    void on_file_list(const std::string& device_id, const std::string& reply);
    void on_history(const std::string& device_id, const std::string& reply);

    // Events recorded since the last call, oldest first.
    std::vector<std::string> take_new_events();

    // Waits until something changed or `timeout_ms` passed; true on a change.
    bool wait_for_change(int timeout_ms);

    // The whole screen as text (for a terminal), or one line per printer.
    std::string render_screen(const std::string& title) const;
    std::vector<std::string> render_lines() const;

    // Names of the state values, for people.
    static std::string machine_state_name(std::int32_t value);
    static std::string job_state_name(std::int32_t value);
    static std::string connection_state_name(std::int32_t value);
    static std::string firmware_state_name(std::int32_t value);
    static std::string heartbeat_state_name(std::int32_t value);

private:
    void changed();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool dirty_ = false;
    std::map<std::string, PrinterView> printers_;
    std::deque<std::string> events_;
    std::vector<std::string> new_events_;
};

// Summaries of the printer's own reply texts (the plug-in passes them on
// unchanged; a host parses them).
std::string summarize_file_list(const std::string& reply);
std::string summarize_history(const std::string& reply);

}  // namespace zorim::demo
