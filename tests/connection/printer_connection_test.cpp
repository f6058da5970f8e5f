// A printer's link: what its open, fail, close and pong events do to the
// status record, the reports and the log.
#include <regex>
#include <thread>

#include "support/agent_fixture.h"

namespace zorim::test {
namespace {

bool offline(const StatusReport& r) {
    return r.status.connection_state == kConnectionClosed && r.status.machine_state == kMachineOffline;
}

TEST_F(AgentTest, APrinterThatIsSwitchedOffIsReportedOfflineOnce) {
    start_agent();
    zorim_network_connect_printer(agent.get(), kPrinter, refused_address(), "", "");

    StatusReport report;
    ASSERT_TRUE(statuses.wait_for(offline, 5s, 0, &report));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(statuses.size(), 1u);
    EXPECT_EQ(report.device_id, kPrinter);
    EXPECT_EQ(report.status.fan.max_power, 1.0);
    EXPECT_EQ(report.status.box_fan.max_power, 1.0);
    EXPECT_EQ(report.status.job_state, 0);
    EXPECT_EQ(report.status.firmware_state, 0);
    EXPECT_EQ(report.status.heartbeat_state, 0);
    EXPECT_EQ(report.status.extruder.temperature, 0.0);
    EXPECT_EQ(connection()->link_state(), kLinkFailed);

    const std::string text = log.text();
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(on_fail:printer-1,Underlying Transport Error,\d+,1006,\n)")))
        << text;
}

TEST_F(AgentTest, APrinterClosingWithGoingAwayIsReportedOfflineWithTheCodeInTheLog) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    const std::size_t reports = statuses.size();

    simulator->close_all(1001, "restart");
    ASSERT_TRUE(statuses.wait_for(offline, 5s, reports));
    ASSERT_TRUE(log.wait_for("on_close:printer-1,close code: 1001 (Going away), close reason: restart\n"));
    EXPECT_EQ(statuses.size(), reports + 1);
    EXPECT_EQ(connection()->link_state(), kLinkClosed);
}

TEST_F(AgentTest, ALinkDroppedWithoutCloseFrameIsClosedWithAbnormalClosure) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    const std::size_t reports = statuses.size();

    simulator->drop_all();
    ASSERT_TRUE(statuses.wait_for(offline, 5s, reports));
    EXPECT_TRUE(log.wait_for("on_close:printer-1,close code: 1006 (Abnormal close), close reason: \n"));
}

TEST_F(AgentTest, OpeningMarksTheLinkOpenAndAliveWithoutAReport) {
    start_simulator();
    start_agent();
    simulator->set_answer_requests(false);  // no subscription, so no status report either
    connect();
    ASSERT_TRUE(simulator->wait_for_texts(2, 5s));

    const MachineStatus status = connection()->status_copy();
    EXPECT_EQ(status.connection_state, kConnectionOpen);
    EXPECT_EQ(status.heartbeat_state, kHeartbeatAlive);
    EXPECT_EQ(statuses.size(), 0u);
}

TEST_F(AgentTest, ASilentPrinterIsReportedAsMissingPongsButStaysConnected) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    simulator->set_answer_pings(false);
    const std::size_t reports = statuses.size();

    agent->run_keepalive_pass();
    ASSERT_TRUE(simulator->wait_for_pings(1, 5s));
    EXPECT_EQ(simulator->pings()[0], "heartbeat");
    EXPECT_TRUE(console.wait_for("ping printer-1\n"));

    StatusReport report;
    ASSERT_TRUE(statuses.wait_for(
        [](const StatusReport& r) { return r.status.heartbeat_state == kHeartbeatTimedOut; }, 5s, reports, &report));
    EXPECT_TRUE(log.contains("heartbeat timeout" + std::string(kPrinter) + "\n"));
    EXPECT_EQ(report.status.connection_state, kConnectionOpen);
    EXPECT_EQ(connection()->link_state(), kLinkOpen);
    EXPECT_EQ(simulator->open_connections(), 1u);

    // A pong that comes again sets the heartbeat back without a report of
    // its own; the next report of any kind carries it.
    simulator->set_answer_pings(true);
    // A status element first, so that the pass's watchdog finds the
    // subscription alive and asks for nothing (whose answer would report).
    const std::size_t before_update = statuses.size();
    simulator->notify_status_update(R"({"extruder":{"temperature":30.0}})");
    ASSERT_TRUE(wait_until([&] { return statuses.size() == before_update + 2; }));
    const std::size_t after_timeout = statuses.size();
    agent->run_keepalive_pass();
    ASSERT_TRUE(console.wait_for("pong msg:heartbeatprinter-1\n"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(statuses.size(), after_timeout);
    EXPECT_EQ(connection()->status_copy().heartbeat_state, kHeartbeatAlive);

    simulator->notify_klippy_ready();
    ASSERT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.firmware_state == kFirmwareReady; },
                                  5s, after_timeout, &report));
    EXPECT_EQ(report.status.heartbeat_state, kHeartbeatAlive);
}

TEST_F(AgentTest, BinaryFramesAreIgnored) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    simulator->send_binary(R"({"jsonrpc":"2.0","method":"notify_filelist_changed","params":[]})");
    simulator->notify_klippy_ready();  // a text that follows is still handled
    ASSERT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.firmware_state == kFirmwareReady; }));
    EXPECT_EQ(file_changes.size(), 0u);
    EXPECT_FALSE(log.contains("notify_filelist_changed"));
}

}  // namespace
}  // namespace zorim::test
