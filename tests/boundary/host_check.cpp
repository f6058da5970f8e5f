// A host built the way the slicer is: it loads zorim_network.dll by name
// (LoadLibrary), takes the working exports by name (GetProcAddress), passes
// and receives std::string and std::function by value, and reads the status
// record at the offsets that the host interface fixes. Built in the MSVC ABI,
// it checks that the DLL works inside a Visual C++ host.
//
//   zorim_host_check ADDRESS    ADDRESS: a printer (the simulator), HOST:PORT
//
// One table of checks, run in order against that printer; each builds on the
// ones before it, so the first failure ends the run. Prints a line per check
// and then "N passed, M failed" to standard error (standard output carries
// the plug-in's own progress lines); the exit status is 0 only when all
// passed.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "plugin_library.h"
#include "record_at.h"
#include "zorim_network/machine_status.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Longer than the library's short-string buffer: the id crosses the boundary
// as heap memory, allocated on one side and freed on the other.
const std::string kPrinter = "host-check-printer-with-a-long-device-id";

// What the callbacks received, on the plug-in's threads.
class Inbox {
public:
    template <typename T>
    std::function<void(std::string, T)> into(std::vector<T>& list) {
        return [this, &list](std::string device_id, T value) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (device_id != kPrinter) wrong_ids_.push_back(device_id);
            list.push_back(std::move(value));
            changed_.notify_all();
        };
    }
    // The first item at or after `from` that `match` accepts, waiting up to 20 s.
    template <typename T, typename Match>
    std::optional<T> wait_for(const std::vector<T>& list, std::size_t from, Match match) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<T> found;
        changed_.wait_for(lock, 20s, [&] {
            for (std::size_t i = from; i < list.size(); ++i) {
                if (match(list[i])) {
                    found = list[i];
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::size_t events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses.size() + file_lists.size() + histories.size();
    }
    std::string wrong_ids() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const std::string& id : wrong_ids_) all += " \"" + id + "\"";
        return all;
    }

    std::vector<zorim::MachineStatus> statuses;
    std::vector<std::string> file_lists, histories;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> wrong_ids_;
};

// The record's members at the interface's offsets.
using zorim::test::read_at;
using zorim::test::text_at;
int machine_state(const zorim::MachineStatus& s) { return read_at<std::int32_t>(s, 12); }
int connection_state(const zorim::MachineStatus& s) { return read_at<std::int32_t>(s, 20); }
double extruder_temperature(const zorim::MachineStatus& s) { return read_at<double>(s, 560); }
double extruder_target(const zorim::MachineStatus& s) { return read_at<double>(s, 568); }
double bed_target(const zorim::MachineStatus& s) { return read_at<double>(s, 624); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Host {
    std::string address;
    fs::path log_dir;
    std::optional<zorim::demo::PluginLibrary> plugin;
    void* agent = nullptr;
    Inbox inbox;
    std::size_t next_status = 0;  // first record not yet matched by a check
};

// A check returns what went wrong, or nothing.
struct Check {
    const char* name;
    std::function<std::string(Host&)> run;
};

const std::vector<Check> kChecks = {
    {"LoadLibrary and GetProcAddress: the 19 working exports, version 01.09.03.50",
     [](Host& h) -> std::string {
         h.plugin.emplace(ZORIM_NETWORK_LIBRARY);
         const std::string version = h.plugin->get_version();
         return version == "01.09.03.50" ? "" : "version \"" + version + "\"";
     }},
    {"create an agent logging into a new folder, hand it seven std::function callbacks by value, start it",
     [](Host& h) -> std::string {
         h.log_dir = fs::temp_directory_path() / ("zorim-host-check-" + std::to_string(GetCurrentProcessId()));
         fs::remove_all(h.log_dir);  // an earlier run's
         fs::create_directories(h.log_dir);
         h.agent = h.plugin->create_agent(h.log_dir.u8string(), 3);
         if (h.agent == nullptr) return "no agent";
         int results = h.plugin->set_machine_status_changed_fn(h.agent, h.inbox.into(h.inbox.statuses));
         results |= h.plugin->set_file_list_arrived_fn(h.agent, h.inbox.into(h.inbox.file_lists));
         results |= h.plugin->set_print_history_arrived_fn(h.agent, h.inbox.into(h.inbox.histories));
         for (auto setter : {h.plugin->set_file_meta_arrived_fn, h.plugin->set_error_arrived_fn,
                             h.plugin->set_file_changed_fn, h.plugin->set_history_changed_fn}) {
             results |= setter(h.agent, [](std::string, std::string) {});
         }
         results |= h.plugin->start(h.agent);
         return results == 0 ? "" : "an export returned " + std::to_string(results);
     }},
    {"open: a record with the connection open and webhooks.state \"ready\"",
     [](Host& h) -> std::string {
         h.plugin->connect_printer(h.agent, kPrinter, h.address, "", "");
         const auto found = h.inbox.wait_for(h.inbox.statuses, h.next_status, [](const zorim::MachineStatus& s) {
             return connection_state(s) == zorim::kConnectionOpen && text_at(s, 144) == "ready";
         });
         h.next_status = h.inbox.statuses.size();
         return found ? "" : "no such record within 20 s";
     }},
    {"G-code M104 S215 and M140 S65 as the host's own text; the record shows the targets and a heating extruder",
     [](Host& h) -> std::string {
         h.plugin->send_message_to_printer(
             h.agent, kPrinter,
             R"({"jsonrpc":"2.0","method":"printer.gcode.script","params":{"script":"M104 S215\nM140 S65"},"id":90})");
         const auto found = h.inbox.wait_for(h.inbox.statuses, h.next_status, [](const zorim::MachineStatus& s) {
             return extruder_target(s) == 215.0 && bed_target(s) == 65.0 && extruder_temperature(s) > 0.0 &&
                    extruder_temperature(s) <= 215.0;
         });
         h.next_status = h.inbox.statuses.size();
         if (!found) return "no record with targets 215 and 65 and 0 < temperature <= 215 within 20 s";
         std::fprintf(stderr, "  extruder %.2f -> %.1f, bed target %.1f\n", extruder_temperature(*found),
                      extruder_target(*found), bed_target(*found));
         return "";
     }},
    {"file list: the printer's reply to the file-list callback, naming cube_sim.gcode",
     [](Host& h) -> std::string {
         h.plugin->get_file_list(h.agent, kPrinter);
         const auto found = h.inbox.wait_for(h.inbox.file_lists, 0, [](const std::string& text) {
             return contains(text, R"("result")") && contains(text, R"("cube_sim.gcode")");
         });
         return found ? "" : "no such reply within 20 s";
     }},
    {"history: the printer's reply to the history callback, naming job 000001",
     [](Host& h) -> std::string {
         h.plugin->get_print_history(h.agent, kPrinter, 0, 10, "desc");
         const auto found = h.inbox.wait_for(h.inbox.histories, 0, [](const std::string& text) {
             return contains(text, R"("jobs")") && contains(text, R"("000001")");
         });
         return found ? "" : "no such reply within 20 s";
     }},
    {"close: a record with the connection closed and the machine offline",
     [](Host& h) -> std::string {
         h.plugin->disconnect_printer(h.agent, kPrinter);
         const auto found = h.inbox.wait_for(h.inbox.statuses, h.next_status, [](const zorim::MachineStatus& s) {
             return connection_state(s) == zorim::kConnectionClosed && machine_state(s) == zorim::kMachineOffline;
         });
         return found ? "" : "no such record within 20 s";
     }},
    {"destroy: returns within 5 s and no callback follows; every callback named the printer",
     [](Host& h) -> std::string {
         const auto started = std::chrono::steady_clock::now();
         const int result = h.plugin->destroy_agent(h.agent);
         const auto took = std::chrono::steady_clock::now() - started;
         h.agent = nullptr;
         const std::size_t events = h.inbox.events();
         std::this_thread::sleep_for(300ms);
         if (result != 0) return "returned " + std::to_string(result);
         if (took > 5s) return "took " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(took).count()) + " s";
         if (h.inbox.events() != events) return "a callback came after destroy";
         const std::string wrong = h.inbox.wrong_ids();
         return wrong.empty() ? "" : "callbacks with other device ids:" + wrong;
     }},
    {"the diagnostic log: one debug_network_ file in the folder's log folder, recording the connection",
     [](Host& h) -> std::string {
         std::vector<fs::path> files;
         for (const auto& entry : fs::directory_iterator(h.log_dir / "log")) files.push_back(entry.path());
         if (files.size() != 1 || files[0].filename().u8string().rfind("debug_network_", 0) != 0) {
             return std::to_string(files.size()) + " files, not one debug_network_ file";
         }
         std::ifstream in(files[0], std::ios::binary);
         const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
         // The folder stays: the log file is open until the process ends. It
         // is in the Wine prefix's temporary folder, inside the build tree.
         const bool recorded = contains(text, "Connect initialization " + kPrinter + "\n");
         return recorded ? "" : "no \"Connect initialization\" record in " + files[0].u8string();
     }},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zorim_host_check HOST:PORT\n");
        return 2;
    }
    Host host;
    host.address = argv[1];
    int passed = 0, failed = 0;
    for (const Check& check : kChecks) {
        std::string problem = "not run: an earlier check failed";
        if (failed == 0) {
            try {
                problem = check.run(host);
            } catch (const std::exception& e) {
                problem = std::string("exception: ") + e.what();
            }
        }
        std::fprintf(stderr, "%s %s%s%s\n", problem.empty() ? "PASS" : "FAIL", check.name,
                     problem.empty() ? "" : ": ", problem.c_str());
        (problem.empty() ? passed : failed) += 1;
    }
    if (host.agent != nullptr) host.plugin->destroy_agent(host.agent);
    std::fprintf(stderr, "%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
