// The plug-in's diagnostic log: one process-wide Boost.Log core with a
// rotating text-file sink per set-up. Kept free of Boost.Log headers so that
// writing a record costs callers nothing to compile.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorim {

// The logging library's standard severities, in ascending order.
enum class Severity : int { trace = 0, debug = 1, info = 2, warning = 3, error = 4, fatal = 5 };

inline constexpr std::uintmax_t kLogRotationSize = 104857600;  // 100 MiB

struct LogSettings {
    std::uintmax_t rotation_size = kLogRotationSize;
};

// Makes the file-system library read narrow path texts as UTF-8 on every
// platform (on Windows it would use the ANSI code page). Process-wide; the
// agent creation calls it before the set-up. Safe to call more than once.
void use_utf8_paths();

// Sets up the log in `log_dir`/log (one level created); `log_dir` is UTF-8.
// Throws std::runtime_error with a readable message when the directory
// cannot be examined or made, or is not a directory. A second set-up adds a second
// file sink and replaces the severity filter; one that names the very file an
// earlier set-up writes (same directory, same second) keeps that sink alone.
void setup_diagnostic_log(const std::string& log_dir, std::int32_t log_level,
                          const LogSettings& settings = {});

// The least severity that `log_level` lets through.
Severity least_severity_for_level(std::int32_t log_level);

// True when a record of this severity would reach a sink; false before any
// set-up. One atomic load; lets the per-message path skip building texts
// that nobody writes.
bool log_enabled(Severity severity);

// Writes one record, whole, from any thread. Never throws: a record that
// cannot be written is reported on standard error and dropped.
void log_record(Severity severity, std::string_view message);

// Flushes every file sink made by a set-up. Never throws.
void flush_diagnostic_log();

// The path (UTF-8) of the file that the newest sink writes to now, or will
// open at its first record; empty without a set-up.
std::string current_log_file_path();

// Removes every sink and the filter (tests only: each test starts clean).
void reset_diagnostic_log_for_tests();

}  // namespace zorim
