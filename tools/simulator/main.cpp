// zorim_printer_sim: the printer simulator as a standalone program. Runs until
// SIGINT or SIGTERM.
#include "printer_simulator.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void request_stop(int) { stop_requested = true; }

void usage(std::ostream& out) {
    out << "usage: zorim_printer_sim [options]\n"
           "  --port N            port to listen on (default 0: any free port)\n"
           "  --host ADDR         address to listen on (default 127.0.0.1)\n"
           "  --hostname NAME     printer.info hostname\n"
           "  --cpu-info TEXT     printer.info cpu_info\n"
           "  --state STATE       Klipper state: ready, startup, shutdown, error\n"
           "  --recording NAME    start from this recording's state (default "
        << zorim::sim::default_recording
        << ")\n"
           "  --time-scale X      simulated seconds per second (default 1)\n"
           "  --no-live           no heating, printing or ticking on its own\n"
           "  --quiet             print only the address\n"
           "  --verbose           also print every received request\n"
           "  --list-recordings   print the recording names and exit\n";
}

// The value after an option, or exit with a message.
std::string value_of(int argc, char** argv, int& i) {
    if (i + 1 >= argc) {
        std::cerr << "zorim_printer_sim: " << argv[i] << " needs a value\n";
        std::exit(2);
    }
    return argv[++i];
}

double number_of(const std::string& option, const std::string& text) {
    try {
        std::size_t used = 0;
        const double value = std::stod(text, &used);
        if (used == text.size()) return value;
    } catch (const std::exception&) {
    }
    std::cerr << "zorim_printer_sim: " << option << " takes a number, not \"" << text << "\"\n";
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    zorim::sim::SimulatorOptions options;
    bool quiet = false;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port") {
            const double port = number_of(arg, value_of(argc, argv, i));
            if (port < 0 || port > 65535 || port != static_cast<int>(port)) {
                std::cerr << "zorim_printer_sim: --port takes 0 to 65535\n";
                return 2;
            }
            options.port = static_cast<std::uint16_t>(port);
        } else if (arg == "--host") {
            options.host = value_of(argc, argv, i);
        } else if (arg == "--hostname") {
            options.hostname = value_of(argc, argv, i);
        } else if (arg == "--cpu-info") {
            options.cpu_info = value_of(argc, argv, i);
        } else if (arg == "--state") {
            options.state = value_of(argc, argv, i);
        } else if (arg == "--recording") {
            options.recording = value_of(argc, argv, i);
        } else if (arg == "--time-scale") {
            options.time_scale = number_of(arg, value_of(argc, argv, i));
        } else if (arg == "--no-live") {
            options.live = false;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--list-recordings") {
            for (const auto& name : zorim::sim::recording_names()) std::cout << name << '\n';
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return 0;
        } else {
            std::cerr << "zorim_printer_sim: unknown option " << arg << '\n';
            usage(std::cerr);
            return 2;
        }
    }
    options.log = [](const std::string& line) { std::cout << line << std::endl; };
    options.log_connections = !quiet;
    options.log_requests = verbose && !quiet;

    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);
    try {
        zorim::sim::PrinterSimulator simulator(options);
        simulator.start();
        std::cout << "printer simulator listening on " << simulator.websocket_url() << " (plug-in address "
                  << simulator.url_for_plugin() << ")" << std::endl;
        while (!stop_requested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        simulator.stop();
    } catch (const std::exception& error) {
        std::cerr << "zorim_printer_sim: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
