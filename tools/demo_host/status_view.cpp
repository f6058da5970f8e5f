#include "status_view.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>

#include <nlohmann/json.hpp>

namespace zorim::demo {
namespace {

constexpr std::size_t kEventsShown = 8;

std::string clock_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string fixed(double value, int decimals = 1) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string duration(double seconds) {
    const long total = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ldh%02ldm%02lds", total / 3600, (total / 60) % 60, total % 60);
    return text;
}

std::string or_dash(const std::string& text) { return text.empty() ? "-" : text; }

std::string named(const char* const* names, std::size_t count, std::int32_t value) {
    const char* name = value >= 0 && static_cast<std::size_t>(value) < count ? names[value] : nullptr;
    return std::string(name ? name : "?") + " (" + std::to_string(value) + ")";
}

}  // namespace

std::string StatusView::machine_state_name(std::int32_t value) {
    static const char* const names[] = {"unknown", "connecting", "offline", nullptr,
                                        "idle",    "busy",       "calibrating", "firmware not ready"};
    return named(names, std::size(names), value);
}

std::string StatusView::job_state_name(std::int32_t value) {
    static const char* const names[] = {"none", "standby", "printing", "paused", "complete", "cancelled", "error"};
    return named(names, std::size(names), value);
}

std::string StatusView::connection_state_name(std::int32_t value) {
    static const char* const names[] = {"not opened", "open", nullptr, "closed"};
    return named(names, std::size(names), value);
}

std::string StatusView::firmware_state_name(std::int32_t value) {
    static const char* const names[] = {"unknown", "ready", nullptr, "disconnected", "shutdown"};
    return named(names, std::size(names), value);
}

std::string StatusView::heartbeat_state_name(std::int32_t value) {
    static const char* const names[] = {"none", "pong missing", "alive"};
    return named(names, std::size(names), value);
}

void StatusView::add_printer(const std::string& device_id, const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    printers_[device_id].address = address;
}

void StatusView::changed() {
    dirty_ = true;
    cv_.notify_all();
}

void StatusView::on_status(const std::string& device_id, MachineStatus status) {
    std::lock_guard<std::mutex> lock(mutex_);
    PrinterView& view = printers_[device_id];
    view.status = std::move(status);
    view.has_status = true;
    ++view.reports;
    changed();
}

void StatusView::on_event(const std::string& device_id, const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_front(clock_now() + "  " + device_id + ": " + what);
    if (events_.size() > kEventsShown) events_.pop_back();
    new_events_.push_back(events_.front());
    changed();
}

std::vector<std::string> StatusView::take_new_events() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> taken;
    taken.swap(new_events_);
    return taken;
}

void StatusView::on_file_list(const std::string& device_id, const std::string& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    printers_[device_id].file_list_summary = summarize_file_list(reply);
    changed();
}

void StatusView::on_history(const std::string& device_id, const std::string& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    printers_[device_id].history_summary = summarize_history(reply);
    changed();
}

bool StatusView::wait_for_change(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool woke = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return dirty_; });
    dirty_ = false;
    return woke;
}

std::string StatusView::render_screen(const std::string& title) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    out << title << "\n" << std::string(78, '-') << "\n";
    for (const auto& [device_id, view] : printers_) {
        const MachineStatus& s = view.status;
        out << "printer " << device_id << "  (" << view.address << ")  reports: " << view.reports << "\n";
        if (!view.has_status) {
            out << "  waiting for the first report...\n\n";
            continue;
        }
        out << "  link " << connection_state_name(s.connection_state) << "   machine "
            << machine_state_name(s.machine_state) << "   job " << job_state_name(s.job_state) << "\n";
        out << "  firmware " << firmware_state_name(s.firmware_state) << "   heartbeat "
            << heartbeat_state_name(s.heartbeat_state) << "   klipper " << or_dash(s.webhooks.state) << "\n";
        out << "  model " << or_dash(s.model) << "   version " << or_dash(s.software_version) << "\n";
        out << "  extruder " << fixed(s.extruder.temperature) << " / " << fixed(s.extruder.target) << " C"
            << "   bed " << fixed(s.heater_bed.temperature) << " / " << fixed(s.heater_bed.target) << " C"
            << "   fan " << fixed(s.fan.speed * 100.0, 0) << "%\n";
        out << "  position X " << fixed(s.toolhead.position[0], 2) << "  Y " << fixed(s.toolhead.position[1], 2)
            << "  Z " << fixed(s.toolhead.position[2], 2) << "   homed " << or_dash(s.toolhead.homed_axes)
            << "   speed x" << fixed(s.gcode_move.speed_factor, 2) << "\n";
        out << "  print " << or_dash(s.print_stats.filename) << "  " << or_dash(s.print_stats.state) << "  "
            << fixed(s.virtual_sdcard.progress * 100.0) << "%  layer " << s.print_stats.info.current_layer << "/"
            << s.print_stats.info.total_layer << "  " << duration(s.print_stats.print_duration) << "\n";
        if (s.last_job.exists || !s.last_job.filename.empty()) {
            out << "  last job " << or_dash(s.last_job.filename) << "  " << or_dash(s.last_job.status) << "  "
                << duration(s.last_job.print_duration) << "  by " << or_dash(s.last_job.slicer) << "\n";
        }
        if (!view.file_list_summary.empty()) out << "  files " << view.file_list_summary << "\n";
        if (!view.history_summary.empty()) out << "  history " << view.history_summary << "\n";
        out << "\n";
    }
    out << "events (newest first):\n";
    for (const std::string& event : events_) out << "  " << event << "\n";
    return out.str();
}

std::vector<std::string> StatusView::render_lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& [device_id, view] : printers_) {
        if (!view.has_status) continue;
        const MachineStatus& s = view.status;
        lines.push_back(device_id + ": link " + connection_state_name(s.connection_state) + ", machine " +
                        machine_state_name(s.machine_state) + ", job " + job_state_name(s.job_state) +
                        ", extruder " + fixed(s.extruder.temperature) + "/" + fixed(s.extruder.target) +
                        " C, bed " + fixed(s.heater_bed.temperature) + "/" + fixed(s.heater_bed.target) + " C" +
                        (s.print_stats.filename.empty() ? std::string()
                                                        : ", " + s.print_stats.filename + " " +
                                                              fixed(s.virtual_sdcard.progress * 100.0) + "%"));
    }
    return lines;
}

std::string summarize_file_list(const std::string& reply) {
    try {
        const nlohmann::json message = nlohmann::json::parse(reply);
        const nlohmann::json& files = message.at("result").at("files");
        std::string names;
        std::size_t count = 0;
        for (const auto& file : files) {
            ++count;
            if (count <= 3) names += (names.empty() ? "" : ", ") + file.at("filename").get<std::string>();
        }
        return std::to_string(count) + " G-code files" + (names.empty() ? "" : ": " + names) +
               (count > 3 ? ", ..." : "");
    } catch (const std::exception&) {
        return "(file list not readable)";
    }
}

std::string summarize_history(const std::string& reply) {
    try {
        const nlohmann::json message = nlohmann::json::parse(reply);
        const nlohmann::json& result = message.at("result");
        std::string text = std::to_string(result.at("count").get<long long>()) + " jobs";
        const nlohmann::json& jobs = result.at("jobs");
        if (!jobs.empty()) {
            text += ", newest " + jobs.at(0).value("filename", std::string("?")) + " (" +
                    jobs.at(0).value("status", std::string("?")) + ")";
        }
        return text;
    } catch (const std::exception&) {
        return "(history not readable)";
    }
}

}  // namespace zorim::demo
