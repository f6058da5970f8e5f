// The plug-in as a host meets it: the shared library loaded by path
// (LoadLibrary and GetProcAddress on Windows, dlopen and dlsym elsewhere),
// standard-library strings and function objects passed across by value, and
// a printer simulator in the same process. Nothing of the plug-in is linked
// in; only its header types are shared, as with the slicer.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plugin_library.h"
#include "printer_simulator.h"
#include "record_at.h"
#include "zorim_network/machine_status.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace sim = zorim::sim;

constexpr char kPrinter[] = "printer-1";

std::string os_thread_id_text() {
#ifdef _WIN32
    const unsigned id = static_cast<unsigned>(::GetCurrentThreadId());
#else
    const unsigned id = static_cast<unsigned>(::syscall(SYS_gettid));
#endif
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", id);
    return text;
}

std::size_t thread_count() {
    std::size_t count = 0;
#ifdef _WIN32
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    }
    ::CloseHandle(snapshot);
#else
    for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++count;
#endif
    return count;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// What the host's callbacks received, on the plug-in's threads.
class Inbox {
public:
    zorim::MachineStatusChangedFn status_callback() {
        return [this](std::string device_id, zorim::MachineStatus status) {
            std::lock_guard<std::mutex> lock(mutex_);
            statuses_.push_back({std::move(device_id), std::move(status)});
            changed_.notify_all();
        };
    }
    std::function<void(std::string, std::string)> text_callback(std::vector<std::string>& into) {
        return [this, &into](std::string device_id, std::string text) {
            std::lock_guard<std::mutex> lock(mutex_);
            into.push_back(device_id + "|" + text);
            changed_.notify_all();
        };
    }
    bool wait(const std::function<bool()>& condition) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 20s, condition);
    }
    std::pair<std::string, zorim::MachineStatus> last_status() {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses_.back();
    }
    std::size_t events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses_.size() + file_lists.size() + histories.size();
    }

    std::vector<std::pair<std::string, zorim::MachineStatus>> statuses_;
    std::vector<std::string> file_lists, histories;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

using zorim::test::read_at;
using zorim::test::text_at;

std::function<bool(const std::string&)> with_id(int id) {
    return [id](const std::string& text) { return text.find("\"id\":" + std::to_string(id) + "}") != std::string::npos; };
}

// A path's UTF-8 text as a std::string, as C++17 and C++20 both give it.
template <typename Text>
std::string utf8(const Text& text) {
    return std::string(text.begin(), text.end());
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(LoadedPlugin, DrivesAPrinterAndLogsUnderAUtf8Directory) {
    sim::SimulatorOptions options;
    options.live = false;
    options.proc_stat_period = 0ms;
    sim::PrinterSimulator printer(options);
    printer.set_status_fields("extruder", R"({"temperature":201.5,"target":210.0})");
    printer.set_status_fields("heater_bed", R"({"temperature":58.25,"target":60.0})");
    printer.start();
    // The file list and history replies come from the test, byte for byte.
    printer.ignore_request_id(4);
    printer.ignore_request_id(7);

    // A folder name outside any ANSI code page, given as UTF-8 with "/".
    const fs::path log_dir = fs::temp_directory_path() /
                             fs::u8path("zorim-host-\xc3\xbc-\xe6\x97\xa5\xe6\x9c\xac-" + os_thread_id_text());
    fs::remove_all(log_dir);
    fs::create_directory(log_dir);

    std::optional<zorim::demo::PluginLibrary> loaded(std::in_place, ZORIM_NETWORK_LIBRARY);
    zorim::demo::PluginLibrary& plugin = *loaded;
    EXPECT_STREQ(plugin.get_version(), "01.09.03.50");
    const std::size_t threads_before = thread_count();
    Inbox inbox;
    void* agent = plugin.create_agent(utf8(log_dir.generic_u8string()), 4);
    ASSERT_NE(agent, nullptr);
    plugin.set_machine_status_changed_fn(agent, inbox.status_callback());
    plugin.set_file_list_arrived_fn(agent, inbox.text_callback(inbox.file_lists));
    plugin.set_print_history_arrived_fn(agent, inbox.text_callback(inbox.histories));
    plugin.start(agent);
    plugin.connect_printer(agent, kPrinter, printer.url_for_plugin(), "", "");

    // The connection opens and the opening requests arrive in order.
    ASSERT_TRUE(printer.wait_for_request("printer.objects.subscribe", 20s)) << "the printer was never subscribed";
    std::vector<std::string> methods;
    const std::regex method_member(R"re("method":"([^"]+)")re");
    for (const sim::ReceivedText& received : printer.texts()) {
        std::smatch method;
        if (std::regex_search(received.text, method, method_member)) methods.push_back(method[1]);
        if (methods.size() == 3) break;  // later requests follow the subscription's reply
    }
    EXPECT_EQ(methods, (std::vector<std::string>{"printer.info", "printer.objects.list", "printer.objects.subscribe"}));

    // A status report, read at the interface's offsets.
    ASSERT_TRUE(inbox.wait([&] {
        return !inbox.statuses_.empty() &&
               inbox.statuses_.back().second.machine_state == zorim::kMachineIdle;
    })) << "no idle status report";
    {
        const auto [device_id, status] = inbox.last_status();
        EXPECT_EQ(device_id, kPrinter);
        EXPECT_EQ(read_at<std::int32_t>(status, 12), zorim::kMachineIdle);      // machine_state
        EXPECT_EQ(read_at<std::int32_t>(status, 20), zorim::kConnectionOpen);   // connection_state
        EXPECT_EQ(text_at(status, 144), "ready");                               // webhooks.state
        EXPECT_EQ(read_at<double>(status, 560), 201.5);                         // extruder.temperature
        EXPECT_EQ(read_at<double>(status, 568), 210.0);                         // extruder.target
        EXPECT_EQ(read_at<double>(status, 616), 58.25);                         // heater_bed.temperature
        EXPECT_EQ(read_at<double>(status, 624), 60.0);                          // heater_bed.target
        EXPECT_EQ(text_at(status, 856), status.print_stats.state);             // print_stats.state
        EXPECT_FALSE(status.print_stats.state.empty());
    }

    // File list and history replies arrive unchanged.
    const std::string file_list =
        "{\"jsonrpc\": \"2.0\", \"result\": [{\"path\": \"W\xc3\xbcrfel.gcode\", \"size\": 3313}],\n \"id\": 4}";
    const std::string history = R"({"jsonrpc":"2.0","result":{"count":0,"jobs":[]} , "id":7})";
    plugin.get_file_list(agent, kPrinter);
    ASSERT_TRUE(printer.wait_for_text(with_id(4), 10s));
    printer.send_text(file_list);
    plugin.get_print_history(agent, kPrinter, 0, 10, "desc");
    ASSERT_TRUE(printer.wait_for_text(with_id(7), 10s));
    printer.send_text(history);
    ASSERT_TRUE(inbox.wait([&] { return !inbox.file_lists.empty() && !inbox.histories.empty(); }));
    EXPECT_EQ(inbox.file_lists.front(), std::string(kPrinter) + "|" + file_list);
    EXPECT_EQ(inbox.histories.front(), std::string(kPrinter) + "|" + history);

    // A disconnect sends close code 1000.
    plugin.disconnect_printer(agent, kPrinter);
    const std::optional<sim::ClientClose> close = printer.wait_for_close(10s);
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->code, 1000);
    EXPECT_FALSE(close->server_initiated);

    // Destroy ends every thread of the plug-in promptly, and no callback
    // follows it.
    const auto destroy_started = std::chrono::steady_clock::now();
    plugin.destroy_agent(agent);
    EXPECT_LT(std::chrono::steady_clock::now() - destroy_started, 5s);
    EXPECT_TRUE(wait_until([&] { return thread_count() <= threads_before; }, 10s))
        << thread_count() << " threads, " << threads_before << " before the agent";
    const std::size_t events_after_destroy = inbox.events();
    printer.notify_status_update(R"({"extruder":{"temperature":1.0}})");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(inbox.events(), events_after_destroy);

    // The log: in <log_dir>/log, whole records with the writing thread's id.
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(log_dir / "log")) files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(utf8(files[0].filename().u8string()),
                                 std::regex(R"(debug_network_\w{3}_\w{3}_\d\d_\d\d_\d\d_\d\d_\.log\.0)")))
        << utf8(files[0].u8string());
    const std::string text = read_file(files[0]);
    const std::regex connect_record("\\[info\\]\t[-0-9 :.]+\\[Thread (0x[0-9a-f]{8})\\]:Connect initialization " +
                                    std::string(kPrinter) + "\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, connect_record)) << text;
    EXPECT_EQ(match[1], os_thread_id_text()) << "the record names the host thread that connected";
    const std::regex open_record(R"(\[debug\]\t[-0-9 :.]+\[Thread (0x[0-9a-f]{8})\]:on_open:printer-1\n)");
    ASSERT_TRUE(std::regex_search(text, match, open_record)) << text;
    EXPECT_NE(match[1], os_thread_id_text()) << "on_open runs on the plug-in's network thread";
    EXPECT_EQ(text.find('\r'), std::string::npos) << "records end in a bare line feed";

    // Freed by the host, the library stays loaded: its process-wide objects
    // are destroyed only at exit.
    loaded.reset();
#ifdef _WIN32
    EXPECT_NE(::GetModuleHandleA(ZORIM_NETWORK_LIBRARY), nullptr);
#else
    void* still_loaded = ::dlopen(ZORIM_NETWORK_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(still_loaded, nullptr);
    if (still_loaded != nullptr) ::dlclose(still_loaded);
#endif

    printer.stop();
    std::error_code ignored;
    fs::remove_all(log_dir, ignored);
}

}  // namespace
