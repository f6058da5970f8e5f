#include "diagnostics/diagnostic_log.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <locale>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/filesystem/fstream.hpp>
#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace zorim {
namespace {

namespace fs = boost::filesystem;

const std::regex kRecord(
    R"(\[(trace|debug|info|warning|error|fatal)\]\t)"
    R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}))"
    R"(\[Thread 0x([0-9a-f]{8})\]:(.*))");

struct Record {
    std::string severity;
    std::string time;
    std::string thread;
    std::string message;
};

std::string read_text(const fs::path& file) {
    fs::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Every line must be a whole record; a torn or merged record fails here.
std::vector<Record> read_records(const fs::path& file) {
    std::vector<Record> records;
    for (const std::string& line : split_lines(read_text(file))) {
        std::smatch match;
        if (!std::regex_match(line, match, kRecord)) {
            ADD_FAILURE() << "not a whole record: \"" << line << "\"";
            continue;
        }
        records.push_back({match[1], match[2], match[3], match[4]});
    }
    return records;
}

std::vector<fs::path> files_in(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string os_thread_id_text() {
#ifdef _WIN32
    const unsigned id = static_cast<unsigned>(::GetCurrentThreadId());
#else
    const unsigned id = static_cast<unsigned>(::syscall(SYS_gettid));
#endif
    char text[16];
    std::snprintf(text, sizeof text, "%08x", id);
    return text;
}

std::tm local_tm(std::time_t when) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    return local;
}

// The same rendering as the record's time stamp, so texts compare by order.
std::string local_time_text(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            when.time_since_epoch()).count() % 1000000;
    const std::tm local = local_tm(seconds);
    std::ostringstream text;
    text << std::put_time(&local, "%Y-%m-%d %H:%M:%S.") << std::setw(6) << std::setfill('0') << micros;
    return text.str();
}

std::string expected_file_name(std::time_t when) {
    const std::tm local = local_tm(when);
    std::ostringstream name;
    name.imbue(std::locale::classic());
    name << std::put_time(&local, "debug_network_%a_%b_%d_%H_%M_%S_") << ".log.0";
    return name.str();
}

// Writes every day and month name as something no classic locale would.
class ForeignTimePut : public std::time_put<char> {
protected:
    iter_type do_put(iter_type out, std::ios_base&, char_type, const std::tm*, char format,
                     char) const override {
        const std::string text = format == 'a' || format == 'b' ? "Fremd" : "99";
        return std::copy(text.begin(), text.end(), out);
    }
};

class DiagnosticLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        use_utf8_paths();  // as the agent creation does
        root_ = fs::temp_directory_path() / fs::unique_path("zorim-log-test-%%%%-%%%%-%%%%");
        fs::create_directory(root_);
    }

    void TearDown() override {
        reset_diagnostic_log_for_tests();
        boost::system::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path make_dir(const std::string& name) {
        const fs::path dir = root_ / name;
        fs::create_directory(dir);
        return dir;
    }

    fs::path root_;
};

TEST_F(DiagnosticLogTest, NothingIsWrittenOrEnabledBeforeASetUp) {
    for (int severity = 0; severity <= 5; ++severity) {
        EXPECT_FALSE(log_enabled(static_cast<Severity>(severity)));
    }
    log_record(Severity::fatal, "nowhere to go");
    flush_diagnostic_log();
    EXPECT_EQ(current_log_file_path(), "");
}

TEST_F(DiagnosticLogTest, FileIsNamedAfterTheSetUpTimeWithClassicNames) {
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new ForeignTimePut));
    const std::time_t before = std::time(nullptr);
    setup_diagnostic_log(root_.string(), 4);
    const std::time_t after = std::time(nullptr);
    std::locale::global(previous);

    const fs::path file = current_log_file_path();
    EXPECT_EQ(file.parent_path(), root_ / "log");
    EXPECT_TRUE(fs::is_directory(root_ / "log"));
    EXPECT_TRUE(std::regex_match(file.filename().string(),
                                 std::regex(R"(debug_network_[A-Z][a-z]{2}_[A-Z][a-z]{2}_\d\d_\d\d_\d\d_\d\d_\.log\.0)")))
        << file;
    EXPECT_TRUE(file.filename() == expected_file_name(before) || file.filename() == expected_file_name(after))
        << file;

    fs::ofstream(file) << "stale text of an earlier run\n";  // create-or-truncate
    log_record(Severity::info, "first");
    flush_diagnostic_log();
    EXPECT_EQ(current_log_file_path(), file.string());
    EXPECT_EQ(files_in(root_ / "log"), std::vector<fs::path>{file});
    const std::vector<Record> records = read_records(file);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "first");
}

TEST_F(DiagnosticLogTest, LogDirectoryIsTakenLiterallyAndAsUtf8) {
    EXPECT_EQ(fs::path(L"Protokoll-\u00fc").string(), "Protokoll-\xc3\xbc");

    for (const std::string name : {"Protokolle-\xc3\xbc-\xe6\x97\xa5\xe6\x9c\xac", "100%N %d %% %Y %5N"}) {
        SCOPED_TRACE(name);
        const fs::path dir = make_dir(name);
        // Given with "/" separators; the log's path has the platform's own.
        setup_diagnostic_log(dir.generic_string(), 3);
        log_record(Severity::info, "in " + name);
        flush_diagnostic_log();

        const std::vector<fs::path> files = files_in(dir / "log");
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].string(), current_log_file_path());
        const std::vector<Record> records = read_records(files[0]);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].message, "in " + name);
        reset_diagnostic_log_for_tests();
    }
    EXPECT_EQ(files_in(root_).size(), 2u) << "nothing may be made outside the given directories";
}

TEST_F(DiagnosticLogTest, SetUpFailsWithoutTheParentOrOnAFile) {
    const fs::path missing = root_ / "absent" / "deeper";
    try {
        setup_diagnostic_log(missing.string(), 4);
        ADD_FAILURE() << "a missing parent must fail the set-up";
    } catch (const std::runtime_error& failure) {
        EXPECT_NE(std::string(failure.what()).find("absent"), std::string::npos) << failure.what();
    }
    EXPECT_FALSE(fs::exists(root_ / "absent"));

    const fs::path occupied = make_dir("occupied");
    fs::ofstream(occupied / "log") << "a file, not a directory";
    EXPECT_THROW(setup_diagnostic_log(occupied.string(), 4), std::runtime_error);

    EXPECT_FALSE(log_enabled(Severity::fatal));
    EXPECT_EQ(current_log_file_path(), "");
}

TEST_F(DiagnosticLogTest, RecordsHaveTheFixedFormat) {
    setup_diagnostic_log(root_.string(), 9);
    const std::string before = local_time_text(std::chrono::system_clock::now());
    log_record(Severity::trace, "t");
    log_record(Severity::debug, "d");
    log_record(Severity::info, "i");
    log_record(Severity::warning, "w");
    log_record(Severity::error, "e");
    log_record(Severity::fatal, "f");
    const std::string after = local_time_text(std::chrono::system_clock::now());
    std::string other_thread_id;
    std::thread([&] {
        other_thread_id = os_thread_id_text();
        log_record(Severity::info, "from another thread");
    }).join();
    flush_diagnostic_log();

    const std::vector<Record> records = read_records(current_log_file_path());
    ASSERT_EQ(records.size(), 7u);
    const std::vector<std::string> severities{"trace", "debug", "info", "warning", "error", "fatal"};
    for (std::size_t i = 0; i < severities.size(); ++i) {
        EXPECT_EQ(records[i].severity, severities[i]);
        EXPECT_EQ(records[i].message, severities[i].substr(0, 1));
        EXPECT_LE(before, records[i].time);
        EXPECT_GE(after, records[i].time);
        EXPECT_EQ(records[i].thread, records[0].thread);
    }
    EXPECT_NE(records[6].thread, records[0].thread);
    EXPECT_EQ(records[0].thread, os_thread_id_text());
    EXPECT_EQ(records[6].thread, other_thread_id);
}

TEST_F(DiagnosticLogTest, LevelChoosesTheLeastSeverityWritten) {
    const std::vector<std::string> names{"trace", "debug", "info", "warning", "error", "fatal"};
    const std::vector<std::pair<int, Severity>> table{
        {0, Severity::fatal}, {1, Severity::error}, {2, Severity::warning}, {3, Severity::info},
        {4, Severity::debug}, {5, Severity::trace}, {9, Severity::trace}, {-1, Severity::trace}};
    for (const auto& [level, least] : table) {
        SCOPED_TRACE("log_level " + std::to_string(level));
        EXPECT_EQ(least_severity_for_level(level), least);

        setup_diagnostic_log(make_dir("level" + std::to_string(level)).string(), level);
        std::vector<std::string> expected;
        for (int severity = 0; severity <= 5; ++severity) {
            const bool wanted = severity >= static_cast<int>(least);
            EXPECT_EQ(log_enabled(static_cast<Severity>(severity)), wanted);
            log_record(static_cast<Severity>(severity), names[severity]);
            if (wanted) {
                expected.push_back(names[severity]);
            }
        }
        flush_diagnostic_log();
        std::vector<std::string> written;
        for (const Record& record : read_records(current_log_file_path())) {
            EXPECT_EQ(record.severity, record.message);
            written.push_back(record.message);
        }
        EXPECT_EQ(written, expected);
        reset_diagnostic_log_for_tests();
    }
}

TEST_F(DiagnosticLogTest, EachRecordEndsInExactlyOneLineBreak) {
    setup_diagnostic_log(root_.string(), 4);
    log_record(Severity::debug, "on_open:printer-1\n");
    log_record(Severity::debug, "Connect initialization printer-1");
    log_record(Severity::debug, "");
    log_record(Severity::debug, "first\nsecond\nthird");
    flush_diagnostic_log();

    const std::string text = read_text(current_log_file_path());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = split_lines(text);
    ASSERT_EQ(lines.size(), 6u) << text;
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(\]:on_open:printer-1$)")));
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"(\]:Connect initialization printer-1$)")));
    EXPECT_TRUE(std::regex_search(lines[2], std::regex(R"(\]:$)")));
    EXPECT_TRUE(std::regex_search(lines[3], std::regex(R"(^\[debug\].*\]:first$)")));
    EXPECT_EQ(lines[4], "second");
    EXPECT_EQ(lines[5], "third");
}

TEST_F(DiagnosticLogTest, RecordsWaitInTheBufferUntilFlushed) {
    setup_diagnostic_log(root_.string(), 4);
    log_record(Severity::info, "buffered");
    const fs::path file = current_log_file_path();
    EXPECT_EQ(fs::file_size(file), 0u) << "no flush after each record";
    flush_diagnostic_log();
    const std::vector<Record> records = read_records(file);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "buffered");
}

TEST_F(DiagnosticLogTest, RecordsNotYetFlushedReachTheFileAtExit) {
    // On Windows the child is a new run of this program, up to this point
    // with a fixture of its own; the parent's folder reaches it through the
    // environment, which the child inherits already set.
    const auto set_exit_dir = [](const std::string& value) {
#ifdef _WIN32
        _putenv_s("ZORIM_EXIT_TEST_LOG_DIR", value.c_str());
#else
        setenv("ZORIM_EXIT_TEST_LOG_DIR", value.c_str(), 1);
#endif
    };
    const char* inherited = std::getenv("ZORIM_EXIT_TEST_LOG_DIR");
    if (inherited == nullptr || *inherited == '\0') set_exit_dir(root_.string());
    EXPECT_EXIT(
        {
            const fs::path dir = std::getenv("ZORIM_EXIT_TEST_LOG_DIR");
            if (dir != root_) fs::remove(root_);  // the child's own, empty folder
            setup_diagnostic_log(dir.string(), 4);
            log_record(Severity::info, "written just before the end");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    set_exit_dir("");
    const std::vector<fs::path> files = files_in(root_ / "log");
    ASSERT_EQ(files.size(), 1u);
    const std::vector<Record> records = read_records(files[0]);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "written just before the end");
}

TEST_F(DiagnosticLogTest, RotationContinuesWithTheNextCounterAndKeepsEveryFile) {
    LogSettings settings;
    settings.rotation_size = 4096;
    setup_diagnostic_log(root_.string(), 4, settings);
    const std::string first = current_log_file_path();
    const std::string base = first.substr(0, first.size() - 1);  // without the counter

    std::vector<std::string> sent;
    for (int i = 0; i < 300; ++i) {
        sent.push_back("record " + std::to_string(i) + " " + std::string(60, 'x'));
        log_record(Severity::info, sent.back());
    }
    flush_diagnostic_log();

    const std::vector<fs::path> files = files_in(root_ / "log");
    ASSERT_GE(files.size(), 5u);
    std::vector<std::string> written;
    for (std::size_t counter = 0; counter < files.size(); ++counter) {
        const fs::path file = base + std::to_string(counter);
        ASSERT_TRUE(fs::exists(file)) << file;
        EXPECT_LE(fs::file_size(file), settings.rotation_size) << file;
        for (const Record& record : read_records(file)) {
            written.push_back(record.message);
        }
    }
    EXPECT_EQ(written, sent);
    EXPECT_EQ(current_log_file_path(), base + std::to_string(files.size() - 1));
}

TEST_F(DiagnosticLogTest, ConcurrentWritersProduceWholeRecords) {
    setup_diagnostic_log(root_.string(), 4);
    constexpr int kWriters = 8;
    constexpr int kRecordsEach = 1000;
    std::vector<std::thread> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        writers.emplace_back([writer] {
            for (int i = 0; i < kRecordsEach; ++i) {
                std::string text = "writer " + std::to_string(writer) + " record " + std::to_string(i) + " " +
                                   std::string(static_cast<std::size_t>(i % 97), 'a' + writer);
                if (i % 2 == 0) {
                    text += '\n';
                }
                log_record(Severity::debug, text);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    flush_diagnostic_log();

    const std::regex message(R"(writer (\d+) record (\d+) ([a-z]*))");
    std::map<int, int> next_record;
    std::map<int, std::set<std::string>> thread_ids;
    for (const Record& record : read_records(current_log_file_path())) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(record.message, match, message)) << record.message;
        const int writer = std::stoi(match[1]);
        const int index = std::stoi(match[2]);
        EXPECT_EQ(index, next_record[writer]) << "records of one writer keep their order, none lost";
        EXPECT_EQ(match[3].length(), index % 97);
        next_record[writer] = index + 1;
        thread_ids[writer].insert(record.thread);
    }
    std::set<std::string> distinct;
    for (int writer = 0; writer < kWriters; ++writer) {
        EXPECT_EQ(next_record[writer], kRecordsEach);
        ASSERT_EQ(thread_ids[writer].size(), 1u);
        distinct.insert(*thread_ids[writer].begin());
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kWriters));
}

TEST_F(DiagnosticLogTest, SecondSetUpWritesBothFilesAndReplacesTheFilter) {
    setup_diagnostic_log(make_dir("first").string(), 4);
    const std::string first_file = current_log_file_path();
    log_record(Severity::debug, "first only");
    setup_diagnostic_log(make_dir("second").string(), 3);
    const std::string second_file = current_log_file_path();
    log_record(Severity::info, "both");
    log_record(Severity::debug, "neither");
    flush_diagnostic_log();

    ASSERT_NE(first_file, second_file);
    EXPECT_EQ(fs::path(second_file).parent_path(), root_ / "second" / "log");
    const auto messages = [](const std::string& file) {
        std::vector<std::string> texts;
        for (const Record& record : read_records(file)) {
            texts.push_back(record.message);
        }
        return texts;
    };
    EXPECT_EQ(messages(first_file), (std::vector<std::string>{"first only", "both"}));
    EXPECT_EQ(messages(second_file), (std::vector<std::string>{"both"}));
}

TEST_F(DiagnosticLogTest, SecondSetUpOfTheSameFileNeitherTruncatesNorDoublesIt) {
    // Both set-ups must fall into one second; retry in a fresh directory if not.
    fs::path dir;
    bool same_file = false;
    for (int attempt = 0; attempt < 5 && !same_file; ++attempt) {
        reset_diagnostic_log_for_tests();
        dir = make_dir("attempt" + std::to_string(attempt));
        setup_diagnostic_log(dir.string(), 4);
        const std::string first = current_log_file_path();
        log_record(Severity::info, "before");
        setup_diagnostic_log(make_dir("other" + std::to_string(attempt)).string(), 4);
        setup_diagnostic_log(dir.string(), 4);
        same_file = current_log_file_path() == first;  // also: the newest again
    }
    ASSERT_TRUE(same_file);
    log_record(Severity::info, "after");
    flush_diagnostic_log();

    ASSERT_EQ(files_in(dir / "log").size(), 1u);
    std::vector<std::string> texts;
    for (const Record& record : read_records(current_log_file_path())) {
        texts.push_back(record.message);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"before", "after"}));
}

TEST_F(DiagnosticLogTest, UnopenableFileLosesRecordsWithOneNoteAndRecovers) {
    LogSettings settings;
    settings.rotation_size = 200;
    setup_diagnostic_log(root_.string(), 4, settings);
    log_record(Severity::info, "kept");
    flush_diagnostic_log();
    const fs::path first_name = fs::path(current_log_file_path()).filename();
    const fs::path log_dir = root_ / "log";
    const fs::path kept = root_ / "kept";
    fs::rename(log_dir, kept);
    fs::ofstream(log_dir) << "a file where the log directory was";

    ::testing::internal::CaptureStderr();
    const std::string large(250, 'z');  // forces a rotation, so a new file must be opened
    EXPECT_NO_THROW(log_record(Severity::info, "lost " + large));
    EXPECT_NO_THROW(log_record(Severity::info, "lost too " + large));
    const std::string notes = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(split_lines(notes).size(), 1u) << notes;
    EXPECT_NE(notes.find("lost"), std::string::npos) << notes;

    fs::remove(log_dir);
    fs::create_directory(log_dir);
    log_record(Severity::info, "recovered");
    flush_diagnostic_log();
    const std::vector<fs::path> files = files_in(log_dir);
    ASSERT_EQ(files.size(), 1u);
    const std::vector<Record> records = read_records(files[0]);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "recovered");
    const std::vector<Record> earlier = read_records(kept / first_name);
    ASSERT_EQ(earlier.size(), 1u);
    EXPECT_EQ(earlier[0].message, "kept");
}

}  // namespace
}  // namespace zorim
