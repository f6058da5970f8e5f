// The newest print-history job in the status record, and the history-change
// notifications that bring new jobs and signal the host.
#include "files/print_history.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "protocol/message_router.h"
#include "support/test_support.h"

namespace zorim {
namespace {

using nlohmann::json;

std::vector<std::string> apply(PrintJobRecord& record, const std::string& job) {
    std::vector<std::string> problems;
    apply_job_fields(record, json::parse(job), problems);
    return problems;
}

// The job of the first "added" history notification in the recorded session.
json recorded_added_job() {
    for (const std::string& frame : test::read_fixture_lines("klipper_sim_session.jsonl")) {
        const json message = json::parse(frame);
        if (message.value("method", "") != "notify_history_changed") continue;
        const json& element = message.at("params").at(0);
        if (element.at("action") == "added") return element.at("job");
    }
    ADD_FAILURE() << "the recording holds no added job";
    return json::object();
}

TEST(PrintJob, ARecordedAddedJobFillsEveryMemberItCarries) {
    PrintJobRecord record;
    std::vector<std::string> problems;
    apply_job_fields(record, recorded_added_job(), problems);
    EXPECT_TRUE(problems.empty()) << problems.front();

    EXPECT_DOUBLE_EQ(record.end_time, 0.0);  // null while the job runs
    EXPECT_DOUBLE_EQ(record.start_time, 1796791597.800202);
    EXPECT_DOUBLE_EQ(record.filament_used, 0.0);
    EXPECT_DOUBLE_EQ(record.print_duration, 0.0);
    EXPECT_DOUBLE_EQ(record.total_duration, 0.15158622799992827);
    EXPECT_TRUE(record.exists);
    EXPECT_EQ(record.status, "in_progress");
    EXPECT_EQ(record.job_id, "000003");
    EXPECT_EQ(record.filename, "cube_sim.gcode");
    EXPECT_EQ(record.filament_name, "Generic PLA");
    EXPECT_EQ(record.filament_type, "PLA");
    EXPECT_EQ(record.thumbnail_path, ".thumbs/cube_sim-32x32.png");
    EXPECT_EQ(record.uuid, "596a3d6a-5b23-417c-90cb-7b341e612c3f");
    EXPECT_EQ(record.slicer, "TestSlicer");
    EXPECT_EQ(record.slicer_version, "1.0.0");
    EXPECT_DOUBLE_EQ(record.estimated_time, 65.0);
    EXPECT_DOUBLE_EQ(record.filament_total, 40.0);
    EXPECT_DOUBLE_EQ(record.filament_weight_total, 0.03);
    EXPECT_DOUBLE_EQ(record.modified, 1796791182.1019735);
    EXPECT_DOUBLE_EQ(record.size, 3313.0);
    EXPECT_DOUBLE_EQ(record.first_layer_bed_temp, 60.0);
    EXPECT_DOUBLE_EQ(record.first_layer_extr_temp, 200.0);
    EXPECT_DOUBLE_EQ(record.first_layer_height, 0.2);
    EXPECT_DOUBLE_EQ(record.layer_height, 0.2);
    EXPECT_DOUBLE_EQ(record.metadata_height, 2.0);  // the server calls it "object_height"
    EXPECT_DOUBLE_EQ(record.gcode_start_byte, 407.0);
    EXPECT_DOUBLE_EQ(record.gcode_end_byte, 2839.0);
    EXPECT_DOUBLE_EQ(record.nozzle_diameter, 0.4);
}

TEST(PrintJob, TheHeightIsMetadataHeightWhenPresentOtherwiseObjectHeight) {
    struct Case {
        const char* job;
        double height;
    };
    const Case cases[] = {
        {R"({"metadata":{"object_height":7.5}})", 7.5},
        {R"({"metadata":{"metadata_height":5.0,"object_height":7.5}})", 5.0},
        {R"({"metadata":{"object_height":7.5,"metadata_height":5.0}})", 5.0},
        {R"({"metadata":{"metadata_height":null,"object_height":7.5}})", 7.5},
        {R"({"metadata":{"metadata_height":5.0,"object_height":null}})", 5.0},
        {R"({"metadata":{"object_height":null}})", 1.0},  // the previous job's height stays
        {R"({"metadata":{}})", 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.job);
        PrintJobRecord record;
        record.metadata_height = 1.0;
        EXPECT_TRUE(apply(record, c.job).empty());
        EXPECT_DOUBLE_EQ(record.metadata_height, c.height);
    }
    PrintJobRecord record;
    const std::vector<std::string> problems = apply(record, R"({"metadata":{"object_height":"tall"}})");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("job/metadata/object_height: ", 0), 0u) << problems[0];
}

TEST(PrintJob, IntegersAreHeldAsDoubles) {
    PrintJobRecord record;
    apply(record, R"({"end_time":1700000000,"metadata":{"size":512,"gcode_end_byte":18446744073709551615}})");
    EXPECT_EQ(record.size, 512.0);
    EXPECT_EQ(record.end_time, 1700000000.0);
    EXPECT_DOUBLE_EQ(record.gcode_end_byte, 18446744073709551615.0);
}

TEST(PrintJob, MissingOrNullMembersKeepTheirValuesButAnotherJobClearsItsFilesMembers) {
    PrintJobRecord record;
    apply(record, R"({"job_id":"1","filename":"a.gcode","status":"completed","end_time":10,
                      "metadata":{"slicer":"S1","size":100,"object_height":2,"thumbnails":[{"relative_path":"a.png"}]}})");
    apply(record, R"({"job_id":"2","filename":"b.gcode","status":null,"end_time":null,
                      "metadata":{"size":null,"slicer_version":"2"}})");
    EXPECT_EQ(record.job_id, "2");
    EXPECT_EQ(record.filename, "b.gcode");
    EXPECT_EQ(record.status, "completed");
    EXPECT_DOUBLE_EQ(record.end_time, 10.0);
    EXPECT_EQ(record.slicer, "");  // a.gcode's, cleared: b.gcode has none
    EXPECT_EQ(record.slicer_version, "2");
    EXPECT_DOUBLE_EQ(record.size + record.metadata_height, 0.0);
    EXPECT_EQ(record.thumbnail_path, "");

    apply(record, R"({"job_id":"2","metadata":null})");
    EXPECT_EQ(record.slicer_version, "2");  // the same job: merged
}

TEST(PrintJob, OnlyTheLastThumbnailCounts) {
    PrintJobRecord record;
    apply(record, R"({"metadata":{"thumbnails":[{"relative_path":"small.png"},{"relative_path":"mid.png"},
                                                 {"relative_path":"large.png"}]}})");
    EXPECT_EQ(record.thumbnail_path, "large.png");

    // A last element without a usable path changes nothing; earlier ones are not looked at.
    for (const char* job : {R"({"metadata":{"thumbnails":[{"relative_path":"x.png"},{"width":32}]}})",
                            R"({"metadata":{"thumbnails":[{"relative_path":"x.png"},{"relative_path":null}]}})",
                            R"({"metadata":{"thumbnails":[{"relative_path":"x.png"},"y.png"]}})",
                            R"({"metadata":{"thumbnails":[]}})",
                            R"({"metadata":{"thumbnails":{"relative_path":"x.png"}}})",
                            R"({"metadata":{"thumbnails":null}})"}) {
        SCOPED_TRACE(job);
        EXPECT_TRUE(apply(record, job).empty());
        EXPECT_EQ(record.thumbnail_path, "large.png");
    }
}

TEST(PrintJob, NonObjectsChangeNothingAtTheirLevel) {
    PrintJobRecord record;
    for (const char* job : {"null", "5", R"("job")", R"([{"job_id":"x"}])"}) {
        EXPECT_TRUE(apply(record, job).empty()) << job;
    }
    EXPECT_EQ(record.job_id, "");

    EXPECT_TRUE(apply(record, R"({"job_id":"4","metadata":[{"slicer":"S"}]})").empty());
    EXPECT_EQ(record.job_id, "4");
    EXPECT_EQ(record.slicer, "");
}

TEST(PrintJob, WronglyTypedMembersAreSkippedAndTheRestApplied) {
    PrintJobRecord record;
    record.status = "completed";
    const std::vector<std::string> problems =
        apply(record, R"({"status":5,"exists":"yes","end_time":"late","job_id":"7","filename":["a"],
                          "metadata":{"slicer":false,"size":"big","layer_height":0.3,
                                      "thumbnails":[{"relative_path":12}]}})");
    EXPECT_EQ(problems.size(), 7u);
    for (const char* key : {"status", "exists", "end_time", "filename", "slicer", "size", "relative_path"}) {
        bool named = false;
        for (const std::string& problem : problems) named = named || problem.find(key) != std::string::npos;
        EXPECT_TRUE(named) << "no problem names " << key;
    }
    EXPECT_EQ(record.status, "completed");
    EXPECT_FALSE(record.exists);
    EXPECT_EQ(record.job_id, "7");
    EXPECT_DOUBLE_EQ(record.layer_height, 0.3);
    EXPECT_EQ(record.thumbnail_path, "");
}

// --- History notifications ---------------------------------------------------------------

class HistoryChanged : public ::testing::Test {
protected:
    MachineStatus status;
    RouteResult result;

    void notify(const std::string& params_member) {
        apply(R"({"jsonrpc":"2.0","method":"notify_history_changed")" + params_member + "}");
    }
    void apply(const std::string& message) {
        apply_history_changed(PrinterView{"dev", true, true}, json::parse(message), status, result);
    }
    std::size_t signals() const { return count(ActionKind::report_history_changed); }
    std::vector<std::string> errors() const {
        std::vector<std::string> texts;
        for (const Action& action : result.actions) {
            if (action.kind == ActionKind::log_error) texts.push_back(action.text);
        }
        return texts;
    }
    std::size_t count(ActionKind kind) const {
        std::size_t n = 0;
        for (const Action& action : result.actions) n += action.kind == kind ? 1 : 0;
        return n;
    }
    const PrintJobRecord& last_job() const { return status.last_job; }
};

TEST_F(HistoryChanged, AddedAndFinishedJobsAreParsedInOrderReportedOnceThenSignalledOnce) {
    notify(R"(,"params":[{"action":"added","job":{"job_id":"1","filename":"a.gcode","metadata":{"slicer":"S1"}}},
                         {"action":"finished","job":{"job_id":"1","status":"completed"}}])");
    ASSERT_EQ(result.actions.size(), 2u);  // nothing else: no log
    EXPECT_EQ(result.actions[0].kind, ActionKind::report_status);
    EXPECT_EQ(result.actions[1].kind, ActionKind::report_history_changed);
    EXPECT_EQ(result.records.at(0).last_job.status, "completed");
    EXPECT_EQ(last_job().filename, "a.gcode");  // the second job does not carry one
    EXPECT_EQ(last_job().slicer, "S1");
}

TEST_F(HistoryChanged, OtherActionsAndElementsChangeNothingButStillSignal) {
    notify(R"(,"params":[{"action":"deleted","job":{"job_id":"F"}},
                         {"action":"Added","job":{"job_id":"C"}},
                         {"action":"added"},
                         {"action":"added","job":null},
                         {"action":null,"job":{"job_id":"N"}},
                         {"job":{"job_id":"J"}},
                         "added",
                         7])");
    EXPECT_EQ(signals(), 1u);
    EXPECT_EQ(last_job().job_id, "");

    notify(R"(,"params":{"action":"added","job":{"job_id":"O"}})");
    notify(R"(,"params":null)");
    notify(R"(,"params":[])");
    EXPECT_EQ(signals(), 4u);
    EXPECT_EQ(count(ActionKind::report_status), 0u);
    EXPECT_EQ(last_job().job_id, "");
    EXPECT_TRUE(errors().empty()) << errors().front();
}

TEST_F(HistoryChanged, WithoutParamsThereIsNoSignal) {
    notify("");
    EXPECT_EQ(signals(), 0u);
}

TEST_F(HistoryChanged, AnActionThatIsNotTextIsLoggedAndOnlyItsElementSkipped) {
    notify(R"(,"params":[{"action":1,"job":{"job_id":"bad"}},{"action":"added","job":{"job_id":"good"}}])");
    EXPECT_EQ(last_job().job_id, "good");
    EXPECT_EQ(signals(), 1u);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_NE(errors()[0].find("dev"), std::string::npos);
}

TEST_F(HistoryChanged, AWronglyTypedJobMemberIsLoggedAndTheRestOfTheJobKept) {
    notify(R"(,"params":[{"action":"added","job":{"job_id":"9","exists":"yes","metadata":{"size":"big","slicer":"S"}}}])");
    EXPECT_EQ(last_job().job_id, "9");
    EXPECT_EQ(last_job().slicer, "S");
    EXPECT_EQ(signals(), 1u);
    ASSERT_EQ(errors().size(), 2u);
    EXPECT_NE(errors()[0].find("exists"), std::string::npos) << errors()[0];
    EXPECT_NE(errors()[1].find("size"), std::string::npos) << errors()[1];
}

TEST_F(HistoryChanged, TheRecordedNotificationsMakeTheLastJobFollowThePrint) {
    const std::vector<std::string> frames = test::read_fixture_lines("klipper_sim_session.jsonl");
    // Frame 41 adds job 000003; frame 551 reports it finished.
    apply(frames.at(40));
    apply(frames.at(550));
    EXPECT_EQ(signals(), 2u);
    EXPECT_EQ(result.records.at(0).last_job.status, "in_progress");
    const PrintJobRecord& job = last_job();
    EXPECT_EQ(job.job_id, "000003");
    EXPECT_EQ(job.status, "completed");
    EXPECT_DOUBLE_EQ(job.end_time, 1796791688.685584);
    EXPECT_DOUBLE_EQ(job.total_duration, 90.91424146999987);
    EXPECT_EQ(job.thumbnail_path, ".thumbs/cube_sim-32x32.png");
    EXPECT_DOUBLE_EQ(job.size, 3313.0);
    EXPECT_TRUE(errors().empty()) << errors().front();
}

}  // namespace
}  // namespace zorim
