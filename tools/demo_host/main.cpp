// zorim_demo_host: a small host that drives the plug-in the way the slicer
// does (loaded by path, exports resolved by name, all seven callbacks set) and
// shows every printer's live status in the terminal.
//
//   zorim_demo_host [--plugin PATH] [--duration SECONDS] [--log-dir DIR]
//                   [--log-level N] [--plain] [--no-print] [--outage AT:FOR]
//                   [ID=HOST[:PORT] ...]
//
// Without printers it starts the printer simulator in-process, connects to
// it and starts a print on it (unless --no-print); --outage stops the
// simulator AT seconds after the start for FOR seconds, to show a printer
// going offline and coming back. Ctrl-C ends it through
// zorim_network_destroy_agent.
//
// The plug-in writes short progress lines to standard output; so that they
// do not run through the view, the demo moves them to a file in the log
// folder and draws on the original standard output.
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/nowide/args.hpp>
#include <boost/nowide/convert.hpp>

#if defined(_WIN32)
#include <io.h>
#define ZORIM_ISATTY _isatty
#define ZORIM_DUP _dup
#define ZORIM_DUP2 _dup2
#define ZORIM_FDOPEN _fdopen
#define ZORIM_OPEN_FLAGS (_O_WRONLY | _O_CREAT | _O_TRUNC)
// Paths are UTF-8 texts here, as in the plug-in: opened by their UTF-16 name.
#define ZORIM_OPEN(path, flags, mode) _wopen(boost::nowide::widen(path).c_str(), flags, mode)
#else
#include <unistd.h>
#define ZORIM_ISATTY isatty
#define ZORIM_DUP dup
#define ZORIM_DUP2 dup2
#define ZORIM_FDOPEN fdopen
#define ZORIM_OPEN_FLAGS (O_WRONLY | O_CREAT | O_TRUNC)
#define ZORIM_OPEN open
#endif

#include "plugin_library.h"
#include "printer_simulator.h"
#include "status_view.h"

namespace {

using namespace std::chrono_literals;
using zorim::demo::PluginLibrary;
using zorim::demo::StatusView;

std::atomic<bool> g_quit{false};

extern "C" void on_signal(int) { g_quit.store(true); }

struct Options {
    std::string plugin_path = ZORIM_DEMO_DEFAULT_PLUGIN;
    double duration_seconds = 0;  // 0: until Ctrl-C
    std::string log_dir;
    int log_level = 3;
    bool plain = false;
    bool print = true;
    double outage_at = 0;   // seconds after the start; 0: none
    double outage_for = 0;  // seconds
    std::vector<std::pair<std::string, std::string>> printers;  // id, address
};

// Paths are UTF-8 texts in this program, as they are for the plug-in (its
// log_dir): on Windows they are converted to and from UTF-16 names rather
// than read in the ANSI code page.
std::filesystem::path path_from_utf8(const std::string& text) {
#if defined(_WIN32)
    return std::filesystem::path(boost::nowide::widen(text));
#else
    return std::filesystem::path(text);
#endif
}

std::string utf8_from_path(const std::filesystem::path& path) {
#if defined(_WIN32)
    return boost::nowide::narrow(path.wstring());
#else
    return path.string();
#endif
}

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "zorim_demo_host: " << problem << "\n"
              << "usage: zorim_demo_host [--plugin PATH] [--duration SECONDS] [--log-dir DIR] [--log-level N]\n"
              << "                       [--plain] [--no-print] [--outage AT:FOR] [ID=HOST[:PORT] ...]\n";
    std::exit(2);
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--plugin") {
            options.plugin_path = value();
        } else if (arg == "--duration") {
            options.duration_seconds = std::atof(value().c_str());
        } else if (arg == "--log-dir") {
            options.log_dir = value();
        } else if (arg == "--log-level") {
            options.log_level = std::atoi(value().c_str());
        } else if (arg == "--plain") {
            options.plain = true;
        } else if (arg == "--no-print") {
            options.print = false;
        } else if (arg == "--outage") {
            const std::string text = value();
            const auto colon = text.find(':');
            if (colon == std::string::npos) usage("--outage takes AT:FOR in seconds");
            options.outage_at = std::atof(text.substr(0, colon).c_str());
            options.outage_for = std::atof(text.substr(colon + 1).c_str());
        } else if (arg == "--help" || arg == "-h") {
            usage("help");
        } else if (const auto equals = arg.find('='); equals != std::string::npos && equals > 0) {
            options.printers.emplace_back(arg.substr(0, equals), arg.substr(equals + 1));
        } else {
            usage("unknown argument " + arg);
        }
    }
    return options;
}

// Moves standard output (where the plug-in writes its progress lines) to a
// file and keeps the original for the view.
class ConsoleRedirect {
public:
    explicit ConsoleRedirect(const std::string& file) : path_(file) {
        std::fflush(stdout);
        const int view_fd = ZORIM_DUP(1);
        const int file_fd = ZORIM_OPEN(file.c_str(), ZORIM_OPEN_FLAGS, 0644);
        if (view_fd < 0 || file_fd < 0 || ZORIM_DUP2(file_fd, 1) < 0) {
            throw std::runtime_error("cannot move standard output to " + file);
        }
        view_ = ZORIM_FDOPEN(view_fd, "w");
        if (view_ == nullptr) throw std::runtime_error("cannot reopen standard output");
    }
    FILE* view() const { return view_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    FILE* view_ = nullptr;
};

// Work that callbacks ask for but must not do on the plug-in's network
// thread: fetching the file list and history again after a change.
class Refreshes {
public:
    void request(const std::string& device_id, bool files, bool history) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (files) files_.insert(device_id);
        if (history) history_.insert(device_id);
    }
    void run(const PluginLibrary& plugin, void* agent) {
        std::set<std::string> files, history;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            files.swap(files_);
            history.swap(history_);
        }
        for (const auto& id : files) plugin.get_file_list(agent, id);
        for (const auto& id : history) plugin.get_print_history(agent, id, 0, 5, "desc");
    }

private:
    std::mutex mutex_;
    std::set<std::string> files_, history_;
};

int run(const Options& options) {
    PluginLibrary plugin(options.plugin_path);
    const std::string version = plugin.get_version();

    std::unique_ptr<zorim::sim::PrinterSimulator> simulator;
    std::vector<std::pair<std::string, std::string>> printers = options.printers;
    if (printers.empty()) {
        zorim::sim::SimulatorOptions sim_options;
        sim_options.job_seconds = 120;  // a demonstration print of two minutes
        simulator = std::make_unique<zorim::sim::PrinterSimulator>(sim_options);
        simulator->start();
        printers.emplace_back("simulated-printer", simulator->url_for_plugin());
    } else if (options.outage_at > 0) {
        usage("--outage needs the built-in simulated printer");
    }

    std::string log_dir = options.log_dir;
    if (log_dir.empty()) log_dir = utf8_from_path(std::filesystem::temp_directory_path() / "zorim-demo");
    std::filesystem::create_directories(path_from_utf8(log_dir));

    const bool terminal = !options.plain && ZORIM_ISATTY(1);
    const ConsoleRedirect console(utf8_from_path(path_from_utf8(log_dir) / "plugin-console.txt"));
    FILE* out = console.view();

    StatusView view;
    Refreshes refreshes;
    std::map<std::string, bool> was_open;
    std::mutex was_open_mutex;
    std::atomic<bool> print_wanted{simulator != nullptr && options.print};
    std::atomic<bool> print_ready{false};

    void* agent = plugin.create_agent(log_dir, options.log_level);
    if (agent == nullptr) throw std::runtime_error("the plug-in did not create an agent");
    // The callbacks below refer to the locals above: the agent must be gone
    // before they are, also when something throws on the way.
    struct AgentGuard {
        const PluginLibrary& plugin;
        void* agent;
        ~AgentGuard() {
            if (agent) plugin.destroy_agent(agent);
        }
    } guard{plugin, agent};

    plugin.set_machine_status_changed_fn(agent, [&](std::string device_id, zorim::MachineStatus status) {
        const bool open = status.connection_state == zorim::kConnectionOpen;
        {
            std::lock_guard<std::mutex> lock(was_open_mutex);
            bool& before = was_open[device_id];
            // A printer that has just come (back) online: fetch its files
            // and history once.
            if (open && !before) refreshes.request(device_id, true, true);
            before = open;
        }
        if (print_wanted.load() && status.machine_state == zorim::kMachineIdle) print_ready.store(true);
        view.on_status(device_id, std::move(status));
    });
    plugin.set_file_list_arrived_fn(agent, [&](std::string device_id, std::string reply) {
        view.on_file_list(device_id, reply);
    });
    plugin.set_file_meta_arrived_fn(agent, [&](std::string device_id, std::string reply) {
        view.on_event(device_id, "file metadata (" + std::to_string(reply.size()) + " bytes)");
    });
    plugin.set_print_history_arrived_fn(agent, [&](std::string device_id, std::string reply) {
        view.on_history(device_id, reply);
    });
    plugin.set_error_arrived_fn(agent, [&](std::string device_id, std::string error) {
        view.on_event(device_id, "error: " + error);
    });
    plugin.set_file_changed_fn(agent, [&](std::string device_id, std::string) {
        view.on_event(device_id, "files changed");
        refreshes.request(device_id, true, false);
    });
    plugin.set_history_changed_fn(agent, [&](std::string device_id, std::string) {
        view.on_event(device_id, "history changed");
        refreshes.request(device_id, false, true);
    });

    plugin.start(agent);
    for (const auto& [device_id, address] : printers) {
        view.add_printer(device_id, address);
        plugin.connect_printer(agent, device_id, address, "", "");
    }

    const std::string title = "zorim demo host - plug-in " + version + " - log and plug-in console lines in " +
                              log_dir + (options.duration_seconds > 0 ? "" : " - Ctrl-C to quit");
    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    enum class Outage { planned, running, over } outage = options.outage_at > 0 ? Outage::planned : Outage::over;
    std::vector<std::string> last_lines;
    while (!g_quit.load()) {
        if (options.duration_seconds > 0 && elapsed() >= options.duration_seconds) break;
        const bool changed = view.wait_for_change(200);
        refreshes.run(plugin, agent);

        if (print_ready.exchange(false) && print_wanted.exchange(false)) {
            // A host's own JSON-RPC text, passed on unchanged by the plug-in.
            plugin.send_message_to_printer(agent, printers.front().first,
                                           R"({"jsonrpc":"2.0","method":"printer.print.start",)"
                                           R"("params":{"filename":"cube_sim.gcode"},"id":9001})");
            view.on_event(printers.front().first, "asked the printer to print cube_sim.gcode");
        }
        if (outage == Outage::planned && elapsed() >= options.outage_at) {
            simulator->stop();
            view.on_event(printers.front().first, "simulated printer switched off");
            outage = Outage::running;
        } else if (outage == Outage::running && elapsed() >= options.outage_at + options.outage_for) {
            simulator->start();
            view.on_event(printers.front().first, "simulated printer switched on again");
            outage = Outage::over;
        }

        if (!changed) continue;
        if (terminal) {
            std::fputs(("\x1b[H\x1b[2J" + view.render_screen(title)).c_str(), out);
        } else {
            // Without a terminal: one line per printer whenever it changes,
            // and every event.
            for (const std::string& event : view.take_new_events()) std::fprintf(out, "event: %s\n", event.c_str());
            const std::vector<std::string> lines = view.render_lines();
            for (const std::string& line : lines) {
                bool seen = false;
                for (const std::string& old : last_lines) seen = seen || old == line;
                if (!seen) std::fprintf(out, "%s\n", line.c_str());
            }
            last_lines = lines;
        }
        std::fflush(out);
    }

    plugin.destroy_agent(agent);
    guard.agent = nullptr;
    if (simulator) simulator->stop();
    std::fprintf(out, "zorim_demo_host: stopped cleanly\n");
    std::fflush(out);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // On Windows the arguments come in the ANSI code page; taken again from
    // the UTF-16 command line, they are UTF-8 like every path here.
    const boost::nowide::args utf8_arguments(argc, argv);
    const Options options = parse_options(argc, argv);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::cerr << "zorim_demo_host: " << e.what() << "\n";
        return 1;
    }
}
