#include "diagnostics/diagnostic_log.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iomanip>
#include <locale>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/log/attributes/function.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/expressions/formatters/date_time.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/log/trivial.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>
#include <boost/nowide/filesystem.hpp>
#include <boost/smart_ptr/make_shared_object.hpp>

#ifdef _WIN32
#include <boost/nowide/convert.hpp>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <functional>
#include <thread>
#endif

namespace zorim {
namespace {

namespace fs = boost::filesystem;
namespace logging = boost::log;
namespace expr = boost::log::expressions;
namespace sinks = boost::log::sinks;
namespace keywords = boost::log::keywords;
using boost::log::trivial::severity_level;

using FileSink = sinks::synchronous_sink<sinks::text_file_backend>;

// The log's severities are the logging library's standard ones, value for
// value, so a cast converts them.
static_assert(static_cast<int>(Severity::trace) == severity_level::trace);
static_assert(static_cast<int>(Severity::debug) == severity_level::debug);
static_assert(static_cast<int>(Severity::info) == severity_level::info);
static_assert(static_cast<int>(Severity::warning) == severity_level::warning);
static_assert(static_cast<int>(Severity::error) == severity_level::error);
static_assert(static_cast<int>(Severity::fatal) == severity_level::fatal);

BOOST_LOG_ATTRIBUTE_KEYWORD(record_severity, "Severity", severity_level)

constexpr const char* kOsThreadIdName = "OsThreadId";

// The operating system's id of the writing thread. The library's own thread
// id attribute prints a 16-digit pthread handle on Linux, which matches
// nothing a debugger or `top -H` shows; this one prints the kernel's id.
struct OsThreadId {
    std::uint32_t value = 0;
};

std::ostream& operator<<(std::ostream& out, OsThreadId id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(id.value));
    return out << text;
}

OsThreadId current_os_thread_id() {
    // Cached: the function attribute runs for every record.
    static thread_local const std::uint32_t id = [] {
#ifdef _WIN32
        return static_cast<std::uint32_t>(::GetCurrentThreadId());
#elif defined(__linux__)
        return static_cast<std::uint32_t>(::syscall(SYS_gettid));
#else
        return static_cast<std::uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
#endif
    }();
    return OsThreadId{id};
}

// Narrow path texts are UTF-8 in this plug-in; on Windows the file-system
// library would otherwise read them in the ANSI code page.
fs::path path_from_utf8(const std::string& text) {
#ifdef _WIN32
    return fs::path(boost::nowide::widen(text));
#else
    return fs::path(text);
#endif
}

std::string utf8_from_path(const fs::path& path) {
#ifdef _WIN32
    return boost::nowide::narrow(path.wstring());
#else
    return path.string();
#endif
}

// The log itself is what failed, so standard error is the only place left
// to say so. Allocates nothing: it also reports a failed allocation.
void report_to_stderr(const char* what, const char* detail) noexcept {
    std::fprintf(stderr, "zorim_network diagnostic log: %s: %s\n", what, detail);
    std::fflush(stderr);
}

// One set-up's sink with what the process needs to know about it.
struct SinkEntry {
    boost::shared_ptr<FileSink> sink;
    fs::path first_file;    // the file the sink opens at its first record
    fs::path identity;      // pattern with the directory made canonical
};

// Reports a sink's failures once until it manages to open a file again, so
// a vanished directory gives one line, not one per record.
struct FailureLatch {
    std::atomic<bool> reported{false};
    std::string lost_records;  // the report's subject, made up front
};

constexpr int kNothingEnabled = static_cast<int>(Severity::fatal) + 1;

struct LogState {
    std::mutex mutex;  // guards `sinks` and serialises set-up and reset
    std::vector<SinkEntry> sinks;
    std::atomic<int> least_enabled{kNothingEnabled};
};

LogState& state() {
    // Never destroyed: threads that outlive static destruction may still log.
    static LogState* const instance = new LogState();
    return *instance;
}

logging::sources::severity_logger_mt<severity_level>& logger() {
    static auto* const instance = new logging::sources::severity_logger_mt<severity_level>();
    return *instance;
}

// The sinks live as long as the process (see state()), so nothing would ever
// flush records written after the host's last flush, such as those of a host
// that never destroys its agent; this flushes them when the process ends.
struct FlushAtExit {
    FlushAtExit() = default;
    FlushAtExit(const FlushAtExit&) = delete;
    FlushAtExit& operator=(const FlushAtExit&) = delete;
    ~FlushAtExit() { flush_diagnostic_log(); }
};

std::string file_name_for_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    const bool ok = localtime_s(&local, &now) == 0;
#else
    const bool ok = localtime_r(&now, &local) != nullptr;
#endif
    if (!ok) {
        throw std::runtime_error("cannot set up the diagnostic log: the local time is unavailable");
    }
    // The classic locale, whatever the host made global: the name's day and
    // month must not depend on the user's language.
    std::ostringstream name;
    name.imbue(std::locale::classic());
    name << std::put_time(&local, "debug_network_%a_%b_%d_%H_%M_%S_") << ".log";
    return name.str();
}

fs::path prepare_log_directory(const std::string& log_dir) {
    fs::path given = path_from_utf8(log_dir) / "log";
    given.make_preferred();
    boost::system::error_code ec;
    const fs::path dir = fs::absolute(given, ec);
    if (ec) {
        throw std::runtime_error("cannot resolve the log directory \"" + utf8_from_path(given) +
                                 "\": " + ec.message());
    }

    const fs::file_status status = fs::status(dir, ec);
    if (status.type() == fs::file_not_found) {
        // One level only: a missing parent means the host passed a wrong
        // directory, which should fail loudly rather than grow a tree.
        fs::create_directory(dir, ec);
        if (ec) {
            throw std::runtime_error("cannot create the log directory \"" + utf8_from_path(dir) +
                                     "\": " + ec.message());
        }
    } else if (ec) {
        throw std::runtime_error("cannot examine the log directory \"" + utf8_from_path(dir) +
                                 "\": " + ec.message());
    } else if (status.type() != fs::directory_file) {
        throw std::runtime_error("the log directory \"" + utf8_from_path(dir) +
                                 "\" exists but is not a directory");
    }
    return dir;
}

boost::shared_ptr<FileSink> make_file_sink(const fs::path& pattern, std::uintmax_t rotation_size) {
    // The library takes '%' only in the file-name part as a placeholder; the
    // directory part is used literally, so a log_dir with '%' needs nothing.
    auto backend = boost::make_shared<sinks::text_file_backend>(
        keywords::file_name = pattern,
        keywords::rotation_size = rotation_size,
        // Binary: a record ends in "\n" on Windows too, and the file's size is
        // the count of characters that the rotation size is compared with.
        keywords::open_mode = std::ios_base::out | std::ios_base::trunc | std::ios_base::binary,
        keywords::auto_flush = false,
        keywords::auto_newline_mode = sinks::insert_if_missing);

    auto latch = std::make_shared<FailureLatch>();
    latch->lost_records = "records for \"" + utf8_from_path(pattern) + "\" are lost";
    backend->set_open_handler([latch](sinks::text_file_backend::stream_type&) {
        latch->reported.store(false, std::memory_order_relaxed);
    });

    auto sink = boost::make_shared<FileSink>(backend);
    sink->set_formatter(
        expr::stream << "[" << record_severity << "]\t"
                     << expr::format_date_time<boost::posix_time::ptime>("TimeStamp",
                                                                         "%Y-%m-%d %H:%M:%S.%f")
                     << "[Thread " << expr::attr<OsThreadId>(kOsThreadIdName) << "]:"
                     << expr::smessage);
    // A file that cannot be opened must not take the writer down, nor keep
    // the record from the other sinks; the text goes to standard error.
    sink->set_exception_handler([latch]() {
        if (latch->reported.exchange(true)) {
            return;
        }
        try {
            throw;
        } catch (const std::exception& failure) {
            report_to_stderr(latch->lost_records.c_str(), failure.what());
        } catch (...) {
            report_to_stderr(latch->lost_records.c_str(), "unknown failure");
        }
    });
    return sink;
}

fs::path identity_of(const fs::path& dir, const std::string& file_name) {
    boost::system::error_code ec;
    fs::path canonical = fs::canonical(dir, ec);
    return (ec ? dir : canonical) / (file_name + ".%N");
}

}  // namespace

void use_utf8_paths() {
    static std::once_flag once;
    std::call_once(once, [] { boost::nowide::nowide_filesystem(); });
}

Severity least_severity_for_level(std::int32_t log_level) {
    switch (log_level) {
        case 0: return Severity::fatal;
        case 1: return Severity::error;
        case 2: return Severity::warning;
        case 3: return Severity::info;
        case 4: return Severity::debug;
        default: return Severity::trace;
    }
}

void setup_diagnostic_log(const std::string& log_dir, std::int32_t log_level,
                          const LogSettings& settings) {
    LogState& log = state();
    static FlushAtExit flush_at_exit;
    std::lock_guard<std::mutex> lock(log.mutex);

    const std::string file_name = file_name_for_now();
    const fs::path dir = prepare_log_directory(log_dir);
    const fs::path pattern = dir / (file_name + ".%N");
    const fs::path identity = identity_of(dir, file_name);

    // Two set-ups in the same directory within one second name the same
    // file; a second sink would truncate it and then both would overwrite
    // each other's records. The existing sink already writes there, and
    // becomes the newest again.
    const auto same_file = std::find_if(log.sinks.begin(), log.sinks.end(),
                                        [&](const SinkEntry& entry) { return entry.identity == identity; });
    const bool already_written = same_file != log.sinks.end();
    if (already_written) {
        std::rotate(same_file, same_file + 1, log.sinks.end());
    }

    auto core = logging::core::get();
    if (!already_written) {
        boost::shared_ptr<FileSink> sink;
        try {
            sink = make_file_sink(pattern, settings.rotation_size);
        } catch (const std::exception& failure) {
            throw std::runtime_error("cannot set up the diagnostic log in \"" + utf8_from_path(dir) +
                                     "\": " + failure.what());
        }
        log.sinks.push_back(SinkEntry{sink, dir / (file_name + ".0"), identity});
        core->add_sink(sink);
    }

    logging::add_common_attributes();
    core->add_global_attribute(kOsThreadIdName, logging::attributes::make_function(&current_os_thread_id));

    const Severity least = least_severity_for_level(log_level);
    core->set_filter(record_severity >= static_cast<severity_level>(least));
    log.least_enabled.store(static_cast<int>(least), std::memory_order_release);
}

bool log_enabled(Severity severity) {
    return static_cast<int>(severity) >= state().least_enabled.load(std::memory_order_relaxed);
}

void log_record(Severity severity, std::string_view message) {
    if (!log_enabled(severity)) {
        return;
    }
    try {
        auto& source = logger();
        logging::record record = source.open_record(keywords::severity = static_cast<severity_level>(severity));
        if (record) {
            logging::record_ostream stream(record);
            stream.write(message.data(), static_cast<std::streamsize>(message.size()));
            stream.flush();
            source.push_record(std::move(record));
        }
    } catch (const std::exception& failure) {
        report_to_stderr("a record was lost", failure.what());
    } catch (...) {
        report_to_stderr("a record was lost", "unknown failure");
    }
}

void flush_diagnostic_log() {
    try {
        std::vector<boost::shared_ptr<FileSink>> sinks;
        {
            LogState& log = state();
            std::lock_guard<std::mutex> lock(log.mutex);
            for (const SinkEntry& entry : log.sinks) {
                sinks.push_back(entry.sink);
            }
        }
        for (const auto& sink : sinks) {
            sink->flush();
        }
    } catch (const std::exception& failure) {
        report_to_stderr("flushing failed", failure.what());
    } catch (...) {
        report_to_stderr("flushing failed", "unknown failure");
    }
}

std::string current_log_file_path() {
    LogState& log = state();
    std::lock_guard<std::mutex> lock(log.mutex);
    if (log.sinks.empty()) {
        return {};
    }
    const SinkEntry& newest = log.sinks.back();
    // The library opens the file at the first record, so before that the
    // file to come is the answer.
    fs::path open_file = newest.sink->locked_backend()->get_current_file_name();
    return utf8_from_path(open_file.empty() ? newest.first_file : open_file);
}

void reset_diagnostic_log_for_tests() {
    LogState& log = state();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.least_enabled.store(kNothingEnabled, std::memory_order_release);
    auto core = logging::core::get();
    for (const SinkEntry& entry : log.sinks) {
        core->remove_sink(entry.sink);
        entry.sink->flush();
    }
    log.sinks.clear();
    core->reset_filter();
}

}  // namespace zorim
