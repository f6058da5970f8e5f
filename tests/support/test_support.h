// Helpers shared by the plug-in's tests: temporary folders, bounded waits,
// and thread-safe recorders for console lines, log records and callbacks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "connection/printer_manager.h"
#include "zorim_network/machine_status.h"

namespace zorim::test {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `timeout` passes; returns its last value.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms);

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Collects everything written as console lines while it lives.
class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    std::string text() const;
    // Number of times `needle` occurs in the captured text.
    std::size_t count(const std::string& needle) const;
    bool wait_for(const std::string& needle, std::chrono::milliseconds timeout = 5000ms) const;

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// A diagnostic log in a temporary folder at the given level, read back whole.
class LogCapture {
public:
    explicit LogCapture(int log_level = 9);
    ~LogCapture();
    // The file's text after flushing.
    std::string text() const;
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    bool wait_for(const std::string& needle, std::chrono::milliseconds timeout = 5000ms) const;
    // The messages of the records written at `severity` ("error", "debug",
    // ...), oldest first, without their severity, time and thread prefix. A
    // record that spans several lines comes back whole.
    std::vector<std::string> records(const std::string& severity) const;
    const std::string& dir() const { return dir_.path(); }

private:
    TempDir dir_;
};

struct StatusReport {
    std::string device_id;
    MachineStatus status;
};

// Records machine-status reports (on whatever thread they come).
class StatusRecorder {
public:
    MachineStatusChangedFn callback();
    std::vector<StatusReport> reports() const;
    std::size_t size() const;
    StatusReport last() const;
    // Waits until some report satisfies `match`; returns a copy of the first
    // matching report received after `from_index`, and its index (a next
    // wait starts after it, never at the size the list has grown to since).
    bool wait_for(const std::function<bool(const StatusReport&)>& match, std::chrono::milliseconds timeout = 5000ms,
                  std::size_t from_index = 0, StatusReport* found = nullptr, std::size_t* index = nullptr) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<StatusReport> reports_;
};

struct TextEvent {
    std::string device_id;
    std::string text;
};

// Records the text callbacks (file list, metadata, history, errors, signals).
class TextRecorder {
public:
    std::function<void(std::string, std::string)> callback();
    std::vector<TextEvent> events() const;
    std::size_t size() const;
    bool wait_for_count(std::size_t count, std::chrono::milliseconds timeout = 5000ms) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<TextEvent> events_;
};

// Timing short enough for tests: a keep-alive pass every `period`.
ManagerTiming fast_timing(std::chrono::milliseconds period = 200ms);

// Takes every record that is in the send queue now, without waiting, so a
// test can run the protocol on an agent that was never started and look at
// what it queued.
std::vector<OutgoingMessage> take_queued(PrinterManager& manager);

// Lines of a JSON-lines recording under the fixture folder, without the
// marker lines that note what the recorder did.
std::vector<std::string> read_fixture_lines(const std::string& name);

// The record as the host receives it, made comparable: its 1432 bytes with
// every member's bytes in place, the padding zeroed and each text's 32 bytes
// zeroed, followed by the texts' lengths and contents in layout order. Two
// records are the same to a host exactly when their images are equal.
std::string record_image(const MachineStatus& status);

// 64-bit FNV-1a over `bytes`, continuing from `digest`.
std::uint64_t fnv1a(const std::string& bytes, std::uint64_t digest = 0xcbf29ce484222325ull);

}  // namespace zorim::test
