// The simulated printer's behaviour, driven without a network: its replies
// are compared with the recorded traffic byte for byte where the recording
// has the same exchange.
#include "printer_model.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorim::sim {
namespace {

ModelOptions quiet_printer(const std::string& recording = std::string(default_recording)) {
    ModelOptions options;
    options.recording = recording;
    options.live = false;
    return options;
}

// The first frame of a recording that contains `needle`.
std::string recorded(const std::string& recording, const std::string& needle) {
    std::ifstream file(std::string(ZORIM_FIXTURE_DIR) + "/" + recording + ".jsonl");
    for (std::string line; std::getline(file, line);) {
        if (line.find(needle) != std::string::npos) return line;
    }
    throw std::runtime_error("no frame with " + needle + " in " + recording);
}

class Printer {
public:
    explicit Printer(ModelOptions options = quiet_printer()) : model(std::move(options)) {}

    std::vector<std::string> call(const std::string& method, const Json& params, int id, std::size_t connection = 0) {
        const Json request = {{"jsonrpc", "2.0"}, {"method", method}, {"params", params}, {"id", id}};
        return texts(model.handle_text(connection, request.dump(), now).out);
    }
    std::vector<std::string> gcode(const std::string& script, int id) {
        return call("printer.gcode.script", {{"script", script}}, id);
    }
    std::vector<std::string> run_for(double seconds, double step = 0.5) {
        std::vector<std::string> all;
        for (double end = now + seconds; now < end;) {
            now += step;
            for (auto& text : texts(model.advance(now))) all.push_back(std::move(text));
            for (auto& text : texts(model.flush_status(now))) all.push_back(std::move(text));
        }
        return all;
    }
    Json status(const std::string& object) const { return model.status().at(object); }

    static std::vector<std::string> texts(const std::vector<Outgoing>& out) {
        std::vector<std::string> result;
        for (const auto& message : out) result.push_back(message.text);
        return result;
    }

    PrinterModel model;
    double now = 0.0;
};

std::vector<std::string> with(const std::vector<std::string>& texts, const std::string& needle) {
    std::vector<std::string> found;
    for (const auto& text : texts) {
        if (text.find(needle) != std::string::npos) found.push_back(text);
    }
    return found;
}

TEST(PrinterModel, AnswersLikeTheRecordedPrinter) {
    Printer printer;
    EXPECT_EQ(printer.call("printer.info", Json::object(), 3),
              std::vector<std::string>{recorded("klipper_sim_session", "\"id\":3}")});
    EXPECT_EQ(printer.call("printer.objects.list", Json::object(), 4),
              std::vector<std::string>{recorded("klipper_sim_session", "\"id\":4}")});
    EXPECT_EQ(printer.call("server.files.metadata", {{"filename", "cube_sim.gcode"}}, 7),
              std::vector<std::string>{recorded("moonraker_no_klippy", "\"id\":7}")});
    EXPECT_EQ(printer.call("server.history.list", {{"start", 0}, {"limit", 2}, {"order", "desc"}}, 8),
              std::vector<std::string>{recorded("klipper_sim_pause_resume_cancel_restart", "\"id\":8}")});
    EXPECT_EQ(printer.call("no.such.method", Json::object(), 21),
              std::vector<std::string>{recorded("moonraker_no_klippy", "\"id\":21}")});
    EXPECT_EQ(printer.gcode("NO_SUCH_CMD", 9),
              (std::vector<std::string>{recorded("klipper_sim_session", "Unknown command:\\\"NO_SUCH_CMD"),
                                        recorded("klipper_sim_session", "\"id\":9}")}));
}

TEST(PrinterModel, IdentityFollowsOptionsAndSetters) {
    ModelOptions options = quiet_printer();
    options.hostname = "zorim";
    options.cpu_info = "4 core ARM";
    options.state = "startup";
    Printer printer(options);
    Json info = Json::parse(printer.call("printer.info", Json::object(), 3).at(0)).at("result");
    EXPECT_EQ(info["hostname"], "zorim");
    EXPECT_EQ(info["cpu_info"], "4 core ARM");
    EXPECT_EQ(info["state"], "startup");
    EXPECT_EQ(printer.status("webhooks")["state"], "startup");

    printer.model.set_info_field("cpu_info", 42);
    printer.model.erase_info_field("hostname");
    info = Json::parse(printer.call("printer.info", Json::object(), 3).at(0)).at("result");
    EXPECT_EQ(info["cpu_info"], 42);
    EXPECT_FALSE(info.contains("hostname"));
}

TEST(PrinterModel, MalformedRequestsGetJsonRpcErrors) {
    Printer printer;
    EXPECT_EQ(printer.model.handle_text(0, "{\"jsonrpc\":\"2.0\",\"method\":", 0).out.at(0).text,
              R"({"jsonrpc":"2.0","error":{"code":-32700,"message":"Parse error"},"id":null})");
    EXPECT_EQ(printer.model.handle_text(0, R"({"jsonrpc":"2.0","method":5,"id":2})", 0).out.at(0).text,
              R"({"jsonrpc":"2.0","error":{"code":-32600,"message":"Invalid Request"},"id":2})");
    // Without an id a request is a notification: handled, never answered.
    EXPECT_TRUE(printer.model.handle_text(0, R"({"jsonrpc":"2.0","method":"printer.info"})", 0).out.empty());
    EXPECT_EQ(printer.call("server.files.metadata", {{"filename", 5}}, 5).at(0),
              R"({"jsonrpc":"2.0","error":{"code":400,"message":"Invalid argument type: filename"},"id":5})");
}

TEST(PrinterModel, SubscriptionSendsRequestedFieldsThenOnlyChanges) {
    Printer printer;
    const Json objects = {{"webhooks", nullptr},
                          {"display_status", {"progress", "message"}},
                          {"extruder", nullptr},
                          {"no_such_object", nullptr}};
    const Json reply = Json::parse(printer.call("printer.objects.subscribe", {{"objects", objects}}, 2).at(0));
    const Json& status = reply.at("result").at("status");
    EXPECT_TRUE(reply["result"]["eventtime"].is_number());
    EXPECT_EQ(status["webhooks"], printer.status("webhooks"));
    EXPECT_EQ(status["extruder"], printer.status("extruder"));
    EXPECT_EQ(status["display_status"], (Json{{"progress", 0.0}, {"message", nullptr}}));
    EXPECT_FALSE(status.contains("no_such_object"));
    EXPECT_TRUE(printer.run_for(1.0).empty()) << "nothing changed, nothing sent";

    printer.model.merge_status("extruder", {{"target", 210.0}});
    printer.model.merge_status("heater_bed", {{"target", 60.0}});        // not subscribed
    printer.model.merge_status("display_status", {{"other", 1}});       // not a requested field
    auto sent = printer.model.flush_status(printer.now);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].connection, 0u);
    const Json update = Json::parse(sent[0].text);
    EXPECT_EQ(update["method"], "notify_status_update");
    EXPECT_EQ(update["params"][0], (Json{{"extruder", {{"target", 210.0}}}}));
    EXPECT_TRUE(update["params"][1].is_number());
    EXPECT_TRUE(printer.model.flush_status(printer.now).empty());

    // A second subscription replaces the first; a closed connection gets nothing.
    printer.call("printer.objects.subscribe", {{"objects", {{"heater_bed", {"target"}}}}}, 2);
    printer.model.merge_status("extruder", {{"target", 0.0}});
    EXPECT_TRUE(printer.model.flush_status(printer.now).empty());
    printer.model.merge_status("heater_bed", {{"target", 70.0}});
    printer.model.connection_closed(0);
    EXPECT_TRUE(printer.model.flush_status(printer.now).empty());
}

TEST(PrinterModel, MovesAreCheckedLikeKlipper) {
    Printer printer;
    const std::string recording = "klipper_sim_move_errors";
    EXPECT_EQ(printer.gcode("G1 X10 F3000", 3),
              (std::vector<std::string>{recorded(recording, "!! Must home axis first"), recorded(recording, "\"id\":3}")}));
    EXPECT_EQ(with(printer.gcode("G28", 4), "\"id\":4}"), std::vector<std::string>{recorded(recording, "\"id\":4}")});
    EXPECT_EQ(printer.status("toolhead")["homed_axes"], "xyz");
    EXPECT_EQ(printer.gcode("G1 X9999 F3000", 5),
              (std::vector<std::string>{recorded(recording, "!! Move out of range: 9999"), recorded(recording, "\"id\":5}")}));
    EXPECT_EQ(printer.gcode("G1 Z-5 F600", 6),
              (std::vector<std::string>{recorded(recording, "!! Move out of range: 0.000"), recorded(recording, "\"id\":6}")}));

    printer.gcode("G1 X10 Y20 Z5\nG91\nG1 X5", 7);
    EXPECT_EQ(printer.status("toolhead")["position"], (Json{15.0, 20.0, 5.0, 0.0}));
    EXPECT_EQ(printer.status("gcode_move")["position"], (Json{15.0, 20.0, 5.0, 0.0}));
}

TEST(PrinterModel, GcodeSetsTargetsAndFans) {
    Printer printer;
    printer.gcode("M104 S200\nM140 S60\nM106 S255", 7);
    EXPECT_EQ(printer.status("extruder")["target"], 200.0);
    EXPECT_EQ(printer.status("heater_bed")["target"], 60.0);
    EXPECT_EQ(printer.status("fan")["speed"], 1.0);
    const auto lines = printer.gcode("M105", 8);
    EXPECT_EQ(lines.at(0), R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":["B:0.0 /60.0 T0:0.0 /200.0"]})");
    printer.gcode("M109 S0\nM190 S0\nM107", 9);
    EXPECT_EQ(printer.status("extruder")["target"], 0.0);
    EXPECT_EQ(printer.status("heater_bed")["target"], 0.0);
    EXPECT_EQ(printer.status("fan")["speed"], 0.0);
}

TEST(PrinterModel, HeatersMoveTowardTheirTargetsAtRecordedRates) {
    ModelOptions options = quiet_printer();
    options.live = true;
    Printer printer(options);
    printer.gcode("M104 S200\nM140 S60", 7);
    printer.run_for(10.0);
    const double extruder = printer.status("extruder")["temperature"].get<double>();
    const double bed = printer.status("heater_bed")["temperature"].get<double>();
    EXPECT_GT(extruder, 60.0);
    EXPECT_LT(extruder, 90.0);
    EXPECT_GT(bed, 29.0);
    EXPECT_LT(bed, 33.0);
    EXPECT_EQ(printer.status("extruder")["power"], 1.0);

    printer.run_for(120.0);
    EXPECT_NEAR(printer.status("extruder")["temperature"].get<double>(), 200.0, 1.0);
    EXPECT_LE(printer.status("extruder")["temperature"].get<double>(), 200.0);

    printer.gcode("M104 S0", 8);
    printer.run_for(5.0);
    const double cooling = printer.status("extruder")["temperature"].get<double>();
    EXPECT_LT(cooling, 199.0);
    EXPECT_GT(cooling, 150.0);
    EXPECT_EQ(printer.status("extruder")["power"], 0.0);
}

TEST(PrinterModel, PrintRunsFromHeatingToCompleteAndEntersHistory) {
    ModelOptions options = quiet_printer();
    options.live = true;
    options.job_seconds = 20.0;
    Printer printer(options);
    printer.call("printer.objects.subscribe", {{"objects", {{"print_stats", nullptr}}}}, 2);
    const auto history_before = printer.model.history().size();

    const auto started = printer.call("printer.print.start", {{"filename", "cube_sim.gcode"}}, 10);
    EXPECT_EQ(started, (std::vector<std::string>{recorded("klipper_sim_session", "File opened:"),
                                                 recorded("klipper_sim_session", "File selected"),
                                                 recorded("klipper_sim_session", "\"id\":10}")}));
    EXPECT_EQ(printer.status("print_stats")["state"], "printing");
    EXPECT_EQ(printer.status("virtual_sdcard")["file_path"], "/home/printer/printer_data/gcodes/cube_sim.gcode");
    EXPECT_EQ(printer.status("extruder")["target"], 200.0);
    const auto first = printer.run_for(0.5);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_NE(first[0].find("\"state\":\"printing\""), std::string::npos);
    const Json added = Json::parse(first[1]);
    EXPECT_EQ(added["method"], "notify_history_changed");
    EXPECT_EQ(added["params"][0]["action"], "added");
    EXPECT_EQ(added["params"][0]["job"]["job_id"], "000006");
    EXPECT_EQ(added["params"][0]["job"]["status"], "in_progress");
    EXPECT_EQ(printer.model.history().size(), history_before + 1);

    // Heating first: nothing is printed until the temperatures are reached.
    printer.run_for(20.0);
    EXPECT_EQ(printer.status("print_stats")["print_duration"], 0.0);
    const auto rest = printer.run_for(200.0);
    EXPECT_EQ(printer.status("print_stats")["state"], "complete");
    EXPECT_EQ(printer.status("print_stats")["info"], (Json{{"total_layer", 10}, {"current_layer", 10}}));
    EXPECT_EQ(printer.status("print_stats")["filament_used"], 40.0);
    EXPECT_EQ(printer.status("virtual_sdcard")["progress"], 1.0);
    EXPECT_EQ(with(rest, "Done printing file").size(), 1u);
    const auto finished = with(rest, "\"action\":\"finished\"");
    ASSERT_EQ(finished.size(), 1u);
    const Json job = Json::parse(finished[0])["params"][0]["job"];
    EXPECT_EQ(job["status"], "completed");
    EXPECT_DOUBLE_EQ(job["print_duration"].get<double>(), 20.0);
    EXPECT_GT(job["total_duration"].get<double>(), 40.0);
    EXPECT_EQ(job.begin().key(), "end_time") << "notifications keep Moonraker's member order";
    const Json newest = Json::parse(printer.call("server.history.list", {{"limit", 1}}, 6).at(0));
    EXPECT_EQ(newest["result"]["jobs"][0]["job_id"], "000006");
    EXPECT_EQ(newest["result"]["jobs"][0]["status"], "completed");
}

TEST(PrinterModel, PauseResumeAndCancelDriveThePrintState) {
    Printer printer;
    EXPECT_EQ(printer.call("printer.print.start", {{"filename", "missing.gcode"}}, 4).back(),
              R"({"jsonrpc":"2.0","error":{"code":400,"message":"Unable to open file"},"id":4})");
    printer.call("printer.print.start", {{"filename", "cube_sim.gcode"}}, 4);
    EXPECT_EQ(printer.call("printer.print.start", {{"filename", "cube_sim.gcode"}}, 4).back(),
              R"({"jsonrpc":"2.0","error":{"code":400,"message":"SD busy"},"id":4})");
    printer.call("printer.print.pause", Json::object(), 5);
    EXPECT_EQ(printer.status("print_stats")["state"], "paused");
    EXPECT_EQ(printer.status("pause_resume")["is_paused"], true);
    EXPECT_EQ(printer.status("virtual_sdcard")["is_active"], false);
    printer.call("printer.print.resume", Json::object(), 6);
    EXPECT_EQ(printer.status("print_stats")["state"], "printing");
    EXPECT_EQ(printer.call("printer.print.cancel", Json::object(), 7).back(), R"({"jsonrpc":"2.0","result":"ok","id":7})");
    EXPECT_EQ(printer.status("print_stats")["state"], "cancelled");
    EXPECT_EQ(printer.status("virtual_sdcard")["file_path"], nullptr);
    const auto finished = with(printer.run_for(0.5), "\"action\":\"finished\"");
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(Json::parse(finished[0])["params"][0]["job"]["status"], "cancelled");
    EXPECT_EQ(printer.call("printer.print.resume", Json::object(), 6).front(),
              R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":["Print is not paused, resume aborted"]})");
}

TEST(PrinterModel, EmergencyStopAndRestartFollowTheRecording) {
    const std::string recording = "klipper_sim_pause_resume_cancel_restart";
    Printer printer;
    EXPECT_EQ(printer.call("printer.emergency_stop", Json::object(), 9),
              (std::vector<std::string>{recorded(recording, "Klipper state: Shutdown"), recorded(recording, "\"id\":9}")}));
    EXPECT_EQ(printer.run_for(0.5), std::vector<std::string>{recorded(recording, "notify_klippy_shutdown")});
    EXPECT_EQ(printer.call("printer.info", Json::object(), 10), std::vector<std::string>{recorded(recording, "\"id\":10}")});
    const auto refused = printer.gcode("M104 S200", 6);
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_EQ(Json::parse(refused[1])["params"][0], "!! Shutdown due to webhooks request");
    EXPECT_EQ(Json::parse(refused[2])["error"]["code"], 400);
    EXPECT_EQ(printer.status("extruder")["target"], 0.0);

    EXPECT_EQ(printer.call("printer.firmware_restart", Json::object(), 11),
              (std::vector<std::string>{recorded(recording, "\"id\":11}"), recorded(recording, "Klipper state: Disconnect"),
                                        recorded(recording, "notify_klippy_disconnected")}));
    EXPECT_EQ(printer.call("printer.info", Json::object(), 3).at(0),
              R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"},"id":3})");
    EXPECT_EQ(printer.run_for(1.0), std::vector<std::string>{recorded(recording, "notify_klippy_ready")});
    EXPECT_EQ(Json::parse(printer.call("printer.info", Json::object(), 3).at(0))["result"]["state"], "ready");
    EXPECT_EQ(printer.status("webhooks")["state_message"], "Printer is ready");
}

TEST(PrinterModel, ARestartEndsEverySubscriptionUntilTheClientSubscribesAgain) {
    // As recorded in klipper_restart_drops_subscription: after the restart the
    // heater changes, but nothing streams until the client subscribes anew.
    Printer printer;
    const Json objects = {{"objects", {{"extruder", {"target"}}}}};
    for (std::size_t connection : {0u, 1u}) printer.call("printer.objects.subscribe", objects, 2, connection);
    for (const char* method : {"printer.firmware_restart", "printer.restart"}) {
        SCOPED_TRACE(method);
        printer.call(method, Json::object(), 11);
        EXPECT_EQ(with(printer.run_for(1.5), "notify_klippy_ready").size(), 1u);
        printer.model.merge_status("extruder", {{"target", 120.0}});
        EXPECT_TRUE(printer.model.flush_status(printer.now).empty());

        printer.call("printer.objects.subscribe", objects, 2, 1);
        printer.model.merge_status("extruder", {{"target", 0.0}});
        const auto sent = printer.model.flush_status(printer.now);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].connection, 1u);
        printer.call("printer.objects.subscribe", objects, 2, 0);
    }
}

TEST(PrinterModel, FilesAreARealStore) {
    const std::string recording = "moonraker_no_klippy";
    Printer printer;
    const auto listing = [&printer] {
        const Json reply = Json::parse(printer.call("server.files.get_directory", {{"path", "gcodes"}}, 4).at(0));
        std::vector<std::string> names;
        for (const Json& file : reply["result"]["files"]) names.push_back(file["filename"].get<std::string>());
        EXPECT_EQ(reply["result"]["dirs"][0]["dirname"], ".thumbs");
        return names;
    };
    EXPECT_EQ(listing(), (std::vector<std::string>{"cube_sim.gcode", "x.gcode"}));

    EXPECT_EQ(printer.call("server.files.delete_file", {{"path", "gcodes/x.gcode"}}, 12),
              (std::vector<std::string>{recorded(recording, "\"id\":12}"),
                                        recorded(recording, "\"action\":\"delete_file\",\"item\":{\"size\":0,\"modified\":0,\"permissions\":\"\",\"path\":\"x.gcode\""),
                                        recorded(recording, "\"path\":\".thumbs/x-32x32.png\"")}));
    EXPECT_EQ(listing(), std::vector<std::string>{"cube_sim.gcode"});
    EXPECT_EQ(printer.call("server.files.metadata", {{"filename", "x.gcode"}}, 13),
              std::vector<std::string>{recorded(recording, "\"id\":13}")});
    EXPECT_EQ(printer.call("server.files.delete_file", {{"path", "gcodes/x.gcode"}}, 14),
              std::vector<std::string>{recorded(recording, "\"id\":14}")});

    // Names arrive exactly as the client wrote them, quotes included.
    const auto created = printer.model.add_file("a\"b.gcode", 10, false);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(Json::parse(created[0].text)["params"][0]["item"]["path"], "a\"b.gcode");
    const auto deleted = printer.call("server.files.delete_file", {{"path", "gcodes/a\"b.gcode"}}, 8);
    ASSERT_EQ(deleted.size(), 2u);
    EXPECT_EQ(Json::parse(deleted[1])["params"][0]["item"]["path"], "a\"b.gcode");
    EXPECT_FALSE(printer.model.has_file("a\"b.gcode"));
}

TEST(PrinterModel, HistoryPagesHonourStartLimitAndOrder) {
    Printer printer;
    const auto page = [&printer](const Json& params) {
        const Json reply = Json::parse(printer.call("server.history.list", params, 7).at(0));
        if (reply.contains("error")) return std::vector<std::string>{reply["error"]["message"].get<std::string>()};
        std::vector<std::string> ids;
        for (const Json& job : reply["result"]["jobs"]) ids.push_back(job["job_id"].get<std::string>());
        EXPECT_EQ(reply["result"]["count"], ids.size());
        return ids;
    };
    EXPECT_EQ(page(Json::object()), (std::vector<std::string>{"000005", "000004", "000003", "000001"}));
    EXPECT_EQ(page({{"start", 1}, {"limit", 2}, {"order", "asc"}}), (std::vector<std::string>{"000003", "000004"}));
    EXPECT_EQ(page({{"start", -1}, {"limit", 1}, {"order", "desc"}}), std::vector<std::string>{"000005"});
    EXPECT_EQ(page({{"start", 0}, {"limit", -1}, {"order", "asc"}}).size(), 4u);
    EXPECT_TRUE(page({{"start", 10}}).empty());
    EXPECT_EQ(page({{"order", "sideways"}}), std::vector<std::string>{"Invalid `order` value: sideways"});
    EXPECT_EQ(page({{"start", "x"}}), std::vector<std::string>{"Invalid argument type: start"});
}

TEST(PrinterModel, RecordingsChooseTheStartingState) {
    {
        const std::string recording = "moonraker_no_klippy";
        Printer printer(quiet_printer(recording));
        EXPECT_EQ(printer.call("printer.info", Json::object(), 3), std::vector<std::string>{recorded(recording, "\"id\":3}")});
        EXPECT_EQ(printer.call("printer.print.start", {{"filename", "cube_sim.gcode"}}, 19),
                  std::vector<std::string>{recorded(recording, "\"id\":19}")});
        EXPECT_EQ(printer.call("server.history.list", {{"start", 0}, {"limit", 1}, {"order", "desc"}}, 11),
                  std::vector<std::string>{recorded(recording, "\"id\":11}")});
    }
    {
        const std::string recording = "klippy_mcu_shutdown";
        Printer printer(quiet_printer(recording));
        EXPECT_EQ(printer.call("printer.info", Json::object(), 3), std::vector<std::string>{recorded(recording, "\"id\":3}")});
        const auto refused = printer.gcode("M104 S200", 6);
        ASSERT_EQ(refused.size(), 3u);
        EXPECT_EQ(refused[0], recorded(recording, "// MCU 'mcu' shutdown"));
        EXPECT_EQ(refused[1], recorded(recording, "!! MCU"));
        EXPECT_EQ(refused[2], recorded(recording, "\"id\":6}"));
    }
    {
        Printer printer(quiet_printer("klipper_sim_pause_resume_cancel_restart"));
        EXPECT_EQ(printer.status("print_stats")["state"], "complete");
        EXPECT_EQ(printer.status("display_status")["message"], "Layer 10/10");
    }
    EXPECT_THROW(PrinterModel(quiet_printer("no_such_recording")), std::invalid_argument);
}

}  // namespace
}  // namespace zorim::sim
