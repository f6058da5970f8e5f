#include "support/test_support.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "boundary/console.h"
#include "boundary/diagnostic_log.h"

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
                              std::chrono::milliseconds timeout, std::size_t from_index, StatusReport* found) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t checked = from_index;
    return changed_.wait_for(lock, timeout, [&] {
        for (; checked < reports_.size(); ++checked) {
            if (match(reports_[checked])) {
                if (found) *found = reports_[checked];
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
