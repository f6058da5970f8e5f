#include "support/test_support.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "diagnostics/console.h"
#include "diagnostics/diagnostic_log.h"

namespace zorim::test {

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate =
            base / ("zorim-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ConsoleCapture::ConsoleCapture() {
    set_console_writer([this](std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(text);
    });
}

ConsoleCapture::~ConsoleCapture() { set_console_writer(nullptr); }

std::string ConsoleCapture::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

std::size_t ConsoleCapture::count(const std::string& needle) const {
    const std::string all = text();
    std::size_t n = 0;
    for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + needle.size())) ++n;
    return n;
}

bool ConsoleCapture::wait_for(const std::string& needle, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return count(needle) > 0; }, timeout);
}

LogCapture::LogCapture(int log_level) {
    reset_diagnostic_log_for_tests();
    setup_diagnostic_log(dir_.path(), log_level);
}

LogCapture::~LogCapture() { reset_diagnostic_log_for_tests(); }

std::string LogCapture::text() const {
    flush_diagnostic_log();
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(dir_.path()) / "log")) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::ostringstream content;
        content << file.rdbuf();
        all += content.str();
    }
    return all;
}

bool LogCapture::wait_for(const std::string& needle, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return contains(needle); }, timeout);
}

std::vector<std::string> LogCapture::records(const std::string& severity) const {
    // Every record starts a line with "[severity]\t<time>[Thread <id>]:";
    // a line that does not start that way continues the record before it.
    static const std::string kSeverities[] = {"trace", "debug", "info", "warning", "error", "fatal"};
    auto record_start = [](const std::string& line, std::string& found) {
        for (const std::string& name : kSeverities) {
            if (line.rfind("[" + name + "]\t", 0) == 0) {
                found = name;
                return true;
            }
        }
        return false;
    };
    std::vector<std::string> result;
    bool collecting = false;
    std::istringstream lines(text());
    for (std::string line; std::getline(lines, line);) {
        std::string name;
        if (record_start(line, name)) {
            collecting = name == severity;
            if (!collecting) continue;
            const std::size_t body = line.find("]:");
            result.push_back(body == std::string::npos ? line : line.substr(body + 2));
        } else if (collecting && !result.empty()) {
            result.back() += "\n" + line;
        }
    }
    return result;
}

MachineStatusChangedFn StatusRecorder::callback() {
    return [this](std::string device_id, MachineStatus status) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reports_.push_back(StatusReport{std::move(device_id), std::move(status)});
        }
        changed_.notify_all();
    };
}

std::vector<StatusReport> StatusRecorder::reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
}

std::size_t StatusRecorder::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_.size();
}

StatusReport StatusRecorder::last() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reports_.empty()) throw std::runtime_error("no machine-status report yet");
    return reports_.back();
}

bool StatusRecorder::wait_for(const std::function<bool(const StatusReport&)>& match,
                              std::chrono::milliseconds timeout, std::size_t from_index, StatusReport* found,
                              std::size_t* index) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t checked = from_index;
    return changed_.wait_for(lock, timeout, [&] {
        for (; checked < reports_.size(); ++checked) {
            if (match(reports_[checked])) {
                if (found) *found = reports_[checked];
                if (index) *index = checked;
                return true;
            }
        }
        return false;
    });
}

std::function<void(std::string, std::string)> TextRecorder::callback() {
    return [this](std::string device_id, std::string text) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(TextEvent{std::move(device_id), std::move(text)});
        }
        changed_.notify_all();
    };
}

std::vector<TextEvent> TextRecorder::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::size_t TextRecorder::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

bool TextRecorder::wait_for_count(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
}

ManagerTiming fast_timing(std::chrono::milliseconds period) {
    ManagerTiming timing;
    timing.keepalive_period = period;
    timing.queue_wait = 500ms;
    timing.open_handshake_timeout = 2000ms;
    timing.pong_timeout = 300ms;
    timing.stop_close_wait = 1000ms;
    return timing;
}

std::vector<OutgoingMessage> take_queued(PrinterManager& manager) {
    std::vector<OutgoingMessage> taken;
    OutgoingMessage record;
    // pop() only waits on an empty queue, which size() rules out here.
    while (manager.send_queue().size() > 0 && manager.send_queue().pop(record)) taken.push_back(record);
    return taken;
}

std::vector<std::string> read_fixture_lines(const std::string& name) {
    std::ifstream file(std::string(ZORIM_FIXTURE_DIR) + "/" + name);
    if (!file) throw std::runtime_error("missing fixture " + name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        // A {"_marker": ...} line notes what the recorder did; it is not traffic.
        if (!line.empty() && line.rfind("{\"_marker\"", 0) != 0) lines.push_back(line);
    }
    return lines;
}

}  // namespace zorim::test

namespace zorim::test {
namespace {

class ImageWriter {
public:
    ImageWriter() : bytes_(sizeof(MachineStatus), '\0') {}

    template <typename T>
    void put(std::size_t offset, const T& value) {
        static_assert(std::is_trivially_copyable_v<T>, "texts have their own overload");
        std::memcpy(&bytes_[offset], &value, sizeof value);
    }
    void put(std::size_t /*offset*/, const std::string& value) {
        texts_ += std::to_string(value.size()) + ':' + value;
    }
    std::string image() const { return bytes_ + texts_; }

private:
    std::string bytes_;
    std::string texts_;
};

}  // namespace

ZORIM_LAYOUT_CHECKS_BEGIN
std::string record_image(const MachineStatus& status) {
    ImageWriter w;
#define PUT(member) w.put(offsetof(MachineStatus, member), status.member)
    PUT(load_filament_state); PUT(unload_filament_state); PUT(heartbeat_state); PUT(machine_state);
    PUT(job_state); PUT(connection_state); PUT(firmware_state); PUT(reserved_text); PUT(reserved_flag);
    PUT(drying_heater_on); PUT(layout_padding_66); PUT(led_colour); PUT(box_led_on); PUT(box_fan_on);
    PUT(model); PUT(software_version); PUT(webhooks.state); PUT(webhooks.state_message);
    PUT(gcode_move.speed_factor); PUT(gcode_move.speed); PUT(gcode_move.extrude_factor);
    PUT(gcode_move.homing_origin); PUT(gcode_move.position); PUT(gcode_move.gcode_position);
    PUT(gcode_move.absolute_coordinates); PUT(gcode_move.absolute_extrude);
    PUT(toolhead.print_time); PUT(toolhead.estimated_print_time); PUT(toolhead.position);
    PUT(toolhead.max_velocity); PUT(toolhead.max_accel); PUT(toolhead.max_accel_to_decel);
    PUT(toolhead.square_corner_velocity); PUT(toolhead.axis_minimum); PUT(toolhead.axis_maximum);
    PUT(toolhead.stalls); PUT(toolhead.homed_axes); PUT(toolhead.extruder); PUT(save_config_pending);
    PUT(extruder.temperature); PUT(extruder.target); PUT(extruder.power); PUT(extruder.pressure_advance);
    PUT(extruder.smooth_time); PUT(extruder.can_extrude); PUT(extruder.max_temperature);
    PUT(heater_bed.temperature); PUT(heater_bed.target); PUT(heater_bed.power); PUT(heater_bed.max_temperature);
    PUT(fan.speed); PUT(fan.rpm); PUT(fan.max_power); PUT(box_fan.speed); PUT(box_fan.rpm); PUT(box_fan.max_power);
    PUT(idle_timeout.printing_time); PUT(idle_timeout.state);
    PUT(virtual_sdcard.is_active); PUT(virtual_sdcard.progress); PUT(virtual_sdcard.file_position);
    PUT(virtual_sdcard.file_size); PUT(virtual_sdcard.file_path);
    PUT(print_stats.total_duration); PUT(print_stats.print_duration); PUT(print_stats.filament_used);
    PUT(print_stats.info.total_layer); PUT(print_stats.info.current_layer); PUT(print_stats.filename);
    PUT(print_stats.state); PUT(print_stats.message); PUT(display_status.progress); PUT(display_status.message);
    PUT(mesh_min); PUT(mesh_max);
    PUT(last_job.end_time); PUT(last_job.start_time); PUT(last_job.filament_used); PUT(last_job.print_duration);
    PUT(last_job.total_duration); PUT(last_job.exists); PUT(last_job.status); PUT(last_job.job_id);
    PUT(last_job.filename); PUT(last_job.filament_name); PUT(last_job.filament_type); PUT(last_job.thumbnail_path);
    PUT(last_job.uuid); PUT(last_job.slicer); PUT(last_job.slicer_version); PUT(last_job.estimated_time);
    PUT(last_job.filament_total); PUT(last_job.filament_weight_total); PUT(last_job.modified); PUT(last_job.size);
    PUT(last_job.first_layer_bed_temp); PUT(last_job.first_layer_extr_temp); PUT(last_job.first_layer_height);
    PUT(last_job.layer_height); PUT(last_job.metadata_height); PUT(last_job.gcode_start_byte);
    PUT(last_job.gcode_end_byte); PUT(last_job.nozzle_diameter);
#undef PUT
    return w.image();
}
ZORIM_LAYOUT_CHECKS_END

std::uint64_t fnv1a(const std::string& bytes, std::uint64_t digest) {
    for (unsigned char byte : bytes) {
        digest ^= byte;
        digest *= 0x100000001b3ull;
    }
    return digest;
}

}  // namespace zorim::test
