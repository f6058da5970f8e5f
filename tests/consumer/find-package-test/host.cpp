// A minimal host: links the plug-in, connects one printer and waits until
// the plug-in reports it connected and idle.
//
//   zorim_consumer_host <printer address> <log dir>
//
// Exit status: 0 when the printer was reported connected and idle within
// 20 seconds, 1 when it was not, 2 on wrong usage.
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>

#include <zorim_network/zorim_network.h>

namespace {

constexpr char kDeviceId[] = "printer-1";
constexpr auto kReadyTimeout = std::chrono::seconds(20);

// Filled on the plug-in's network thread, read by main().
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    zorim::MachineStatus latest;
    std::string device_id;
    int count = 0;
};

bool connected_and_idle(const zorim::MachineStatus& status) {
    return status.connection_state == zorim::kConnectionOpen && status.machine_state == zorim::kMachineIdle;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: zorim_consumer_host <printer address> <log dir>\n";
        return 2;
    }
    Reports reports;

    void* agent = zorim_network_create_agent(argv[2], 4);
    if (agent == nullptr) {
        std::cerr << "zorim_network_create_agent failed\n";
        return 1;
    }
    // The callback holds up every printer while it runs: it only copies the
    // record and wakes main().
    zorim_set_machine_status_changed_fn(agent, [&reports](std::string device_id, zorim::MachineStatus status) {
        std::lock_guard<std::mutex> lock(reports.mutex);
        reports.latest = std::move(status);
        reports.device_id = std::move(device_id);
        ++reports.count;
        reports.changed.notify_all();
    });
    zorim_network_start(agent);
    zorim_network_connect_printer(agent, kDeviceId, argv[1], "", "");

    bool ready = false;
    zorim::MachineStatus status;
    std::string device_id;
    int count = 0;
    {
        std::unique_lock<std::mutex> lock(reports.mutex);
        ready = reports.changed.wait_for(lock, kReadyTimeout, [&] { return connected_and_idle(reports.latest); });
        status = reports.latest;
        device_id = reports.device_id;
        count = reports.count;
    }
    // Ends the plug-in's threads; no callback runs after it returns.
    zorim_network_destroy_agent(agent);

    std::cout << "zorim_network " << zorim_network_get_version() << ", printer at " << argv[1] << "\n"
              << "  reports: " << count << ", last for \"" << device_id << "\"\n"
              << "  connection_state " << status.connection_state << ", machine_state " << status.machine_state
              << ", job_state " << status.job_state << ", firmware_state " << status.firmware_state
              << ", heartbeat_state " << status.heartbeat_state << "\n"
              << "  model \"" << status.model << "\", software \"" << status.software_version
              << "\", Klipper \"" << status.webhooks.state << "\"\n"
              << "  extruder " << status.extruder.temperature << " / " << status.extruder.target
              << " C, bed " << status.heater_bed.temperature << " / " << status.heater_bed.target
              << " C, print state \"" << status.print_stats.state << "\"\n";
    if (!ready) {
        std::cout << "the printer was not reported connected and idle within "
                  << std::chrono::seconds(kReadyTimeout).count() << " s\n";
        return 1;
    }
    if (device_id != kDeviceId) {
        std::cout << "the report named \"" << device_id << "\", not \"" << kDeviceId << "\"\n";
        return 1;
    }
    std::cout << "connected and idle\n";
    return 0;
}
