// The requests as a printer receives them, and their answers as the host
// receives them: the real agent against the printer simulator.
#include <thread>

#include <nlohmann/json.hpp>

#include "support/agent_fixture.h"

namespace zorim::test {
namespace {

using nlohmann::json;

class RequestsOnTheWire : public AgentTest {
protected:
    void SetUp() override {
        start_simulator();
        start_agent();
        connect_and_subscribe();
    }

    // The first request of `method` the printer received from `from` on.
    json received(const std::string& method, std::size_t from) {
        const auto text = simulator->wait_for_request(method, 5s, from);
        if (!text) {
            ADD_FAILURE() << "the printer received no " << method;
            return json();
        }
        return json::parse(text->text);
    }

    // A report now, so that the record's latest values reach the host.
    MachineStatus report_now() {
        const std::size_t from = statuses.size();
        simulator->notify_klippy_ready();
        StatusReport report;
        EXPECT_TRUE(statuses.wait_for([](const StatusReport&) { return true; }, 5s, from, &report));
        return report.status;
    }
};

TEST_F(RequestsOnTheWire, FileNamesReachThePrinterExactlyAsTheHostGaveThem) {
    for (const std::string name : {"quote\"d.gcode", "back\\slash.gcode", "tab\tand\nnewline.gcode",
                                   "gr\xC3\xBC\xC3\x9F" "e.gcode", "plain-name_01.gcode"}) {
        simulator->add_file(name);
        const std::size_t from = simulator->text_count();
        const std::size_t answers = file_metas.size();
        zorim_get_file_meta_fn(agent.get(), kPrinter, name);

        const json request = received("server.files.metadata", from);
        EXPECT_EQ(request["params"]["filename"], name);
        ASSERT_TRUE(file_metas.wait_for_count(answers + 1));
        const json reply = json::parse(file_metas.events().back().text);
        EXPECT_EQ(reply["id"], 5);
        ASSERT_TRUE(reply.contains("result")) << "the printer could not read the request for " << name << ": "
                                              << reply.dump();
        EXPECT_EQ(reply["result"]["filename"], name);
    }
}

TEST_F(RequestsOnTheWire, ACraftedFileNameCannotAddASecondPathToADeletion) {
    const std::string crafted = R"(a.gcode","path":"config/printer.cfg)";
    simulator->add_file("a.gcode");
    const std::size_t from = simulator->text_count();
    zorim_delete_file_fn(agent.get(), kPrinter, crafted);

    const json request = received("server.files.delete_file", from);
    ASSERT_EQ(request["params"].size(), 1u);
    EXPECT_EQ(request["params"]["path"], "gcodes/" + crafted);
    EXPECT_EQ(request["id"], 8);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(simulator->has_file("a.gcode"));
}

TEST_F(RequestsOnTheWire, FileListHistoryPageAndDeletionReachTheHost) {
    zorim_get_file_list_fn(agent.get(), kPrinter);
    ASSERT_TRUE(file_lists.wait_for_count(1));
    const json files = json::parse(file_lists.events()[0].text);
    EXPECT_EQ(file_lists.events()[0].device_id, kPrinter);
    EXPECT_EQ(files["id"], 4);
    bool listed = false;
    for (const json& file : files["result"]["files"]) listed = listed || file["filename"] == "x.gcode";
    EXPECT_TRUE(listed);

    zorim_get_print_history_fn(agent.get(), kPrinter, 0, 2, "desc");
    ASSERT_TRUE(histories.wait_for_count(1));
    const json history = json::parse(histories.events()[0].text);
    EXPECT_EQ(history["id"], 7);
    EXPECT_LE(history["result"]["jobs"].size(), 2u);

    zorim_delete_file_fn(agent.get(), kPrinter, "x.gcode");
    ASSERT_TRUE(file_changes.wait_for_count(1));
    EXPECT_EQ(file_changes.events()[0].text, "");
    EXPECT_FALSE(simulator->has_file("x.gcode"));
    EXPECT_TRUE(log.wait_for("file changed:printer-1"));
    EXPECT_TRUE(connection()->pending_snapshot().empty());
}

TEST_F(RequestsOnTheWire, AMoveOutOfRangeReachesTheErrorCallback) {
    zorim_network_send_message_to_printer(
        agent.get(), kPrinter, R"({"jsonrpc":"2.0","method":"printer.gcode.script","params":{"script":"G28"},"id":100})");
    zorim_network_send_message_to_printer(
        agent.get(), kPrinter,
        R"({"jsonrpc":"2.0","method":"printer.gcode.script","params":{"script":"G1 X9999"},"id":101})");
    ASSERT_TRUE(errors.wait_for_count(1));
    EXPECT_EQ(errors.events()[0].text, "Move out of range");
    EXPECT_EQ(errors.events()[0].device_id, kPrinter);
}

TEST_F(RequestsOnTheWire, ASubscriptionWithALoadedFileFetchesTheNewestJob) {
    // Reconnect to a printer that has a file loaded.
    zorim_network_disconnect_printer(agent.get(), kPrinter);
    simulator->set_status_fields("print_stats", R"({"filename":"cube_sim.gcode"})");
    const std::size_t from = simulator->text_count();
    connect_and_subscribe();

    const auto request = simulator->wait_for_request("server.history.list", 5s, from);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->text,
              R"({"jsonrpc":"2.0","method":"server.history.list","params":{"start":0,"limit":1,"order":"desc"},"id":6})");
    const json jobs = json::parse(simulator->history_json());
    ASSERT_FALSE(jobs.empty());
    const json& newest = jobs.back();
    ASSERT_TRUE(wait_until([&] { return connection()->status_copy().last_job.job_id == newest["job_id"]; }));
    const MachineStatus status = report_now();
    EXPECT_EQ(status.last_job.job_id, newest["job_id"].get<std::string>());
    EXPECT_EQ(status.last_job.filename, newest["filename"].get<std::string>());
}

TEST_F(AgentTest, TheLastJobFollowsAPrintToItsEnd) {
    sim::SimulatorOptions options;  // a live printer: heating takes about a second
    options.time_scale = 100.0;
    options.job_seconds = 2.0;
    start_simulator(options);
    start_agent();
    connect_and_subscribe();
    zorim_network_send_message_to_printer(
        agent.get(), kPrinter,
        R"({"jsonrpc":"2.0","method":"printer.print.start","params":{"filename":"cube_sim.gcode"},"id":102})");
    std::size_t added = 0;
    ASSERT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.last_job.status == "in_progress"; }, 5s,
                                  0, nullptr, &added));
    StatusReport done;
    ASSERT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.last_job.status == "completed"; }, 20s,
                                  added + 1, &done));
    const json job = json::parse(simulator->history_json()).back();
    EXPECT_EQ(done.status.last_job.job_id, job["job_id"].get<std::string>());
    EXPECT_DOUBLE_EQ(done.status.last_job.end_time, job["end_time"].get<double>());
    EXPECT_DOUBLE_EQ(done.status.last_job.total_duration, job["total_duration"].get<double>());
}

}  // namespace
}  // namespace zorim::test
