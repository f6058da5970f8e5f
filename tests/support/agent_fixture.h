// A started agent with short timing, a simulated printer, and recorders for
// everything the agent says: console lines, log records, host callbacks.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "connection/printer_connection.h"
#include "connection/printer_manager.h"
#include "printer_simulator.h"
#include "support/test_support.h"
#include "zorim_network/zorim_network.h"

namespace zorim::test {

class AgentTest : public ::testing::Test {
protected:
    static constexpr char kPrinter[] = "printer-1";

    // A printer that changes only when asked (no streaming, no clock).
    static sim::SimulatorOptions quiet_printer() {
        sim::SimulatorOptions options;
        options.live = false;
        options.proc_stat_period = std::chrono::milliseconds(0);
        return options;
    }

    void start_simulator(sim::SimulatorOptions options = quiet_printer()) {
        simulator = std::make_unique<sim::PrinterSimulator>(std::move(options));
        simulator->start();
    }

    // An agent whose keep-alive thread never fires on its own (tests run
    // passes by hand) unless a shorter period is given.
    void start_agent(ManagerTiming timing = fast_timing(std::chrono::hours(1))) {
        agent = std::make_unique<PrinterManager>(timing);
        zorim_set_machine_status_changed_fn(agent.get(), statuses.callback());
        zorim_set_file_list_arrived_fn(agent.get(), file_lists.callback());
        zorim_set_file_meta_arrived_fn(agent.get(), file_metas.callback());
        zorim_set_print_history_arrived_fn(agent.get(), histories.callback());
        zorim_set_error_arrived_fn(agent.get(), errors.callback());
        zorim_set_file_changed_fn(agent.get(), file_changes.callback());
        zorim_set_history_changed_fn(agent.get(), history_changes.callback());
        zorim_network_start(agent.get());
    }

    void connect(const std::string& device_id = kPrinter) {
        zorim_network_connect_printer(agent.get(), device_id, simulator->url_for_plugin(), "", "");
    }

    std::shared_ptr<PrinterConnection> connection(const std::string& device_id = kPrinter) {
        return agent->find(device_id);
    }

    // Connected, opened, and the first status of the subscription applied.
    void connect_and_subscribe(const std::string& device_id = kPrinter) {
        connect(device_id);
        ASSERT_TRUE(statuses.wait_for([&](const StatusReport& r) {
            return r.device_id == device_id && r.status.machine_state == kMachineIdle;
        })) << "no status report after the subscription";
    }

    // An address where nothing listens: a port that was just free.
    static std::string refused_address() {
        sim::PrinterSimulator probe(quiet_printer());
        probe.start();
        const std::string address = probe.url_for_plugin();
        probe.stop();
        return address;
    }

    void TearDown() override {
        agent.reset();  // stops it while the recorders and the printer still exist
        if (simulator) simulator->stop();
    }

    ConsoleCapture console;
    LogCapture log{9};
    StatusRecorder statuses;
    TextRecorder file_lists, file_metas, histories, errors, file_changes, history_changes;
    std::unique_ptr<sim::PrinterSimulator> simulator;
    std::unique_ptr<PrinterManager> agent;
};

}  // namespace zorim::test
