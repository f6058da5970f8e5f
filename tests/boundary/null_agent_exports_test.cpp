// Every one of the 107 exports, called through the shared library's entry
// points as a host calls them, with a null agent and live by-value arguments.
// Under AddressSanitizer a string, list, map or record that is not released
// shows up as a leak; callbacks are counted directly.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>

#include "inert_export_calls.h"
#include "zorim_network/zorim_network.h"

namespace {

using zorim_test::heap_text;

// Callbacks for the working setters, all sharing one counter: its value counts
// calls, its use count the callback objects still alive.
class CountedCallbacks {
public:
    template <typename Fn>
    Fn make() const {
        return Fn([calls = calls_, ballast = heap_text("callback")](auto&&...) { ++*calls; });
    }
    int calls() const { return *calls_; }
    long live() const { return calls_.use_count() - 1; }

private:
    std::shared_ptr<int> calls_ = std::make_shared<int>(0);
};

TEST(NullAgentExportsTest, WorkingExportsAnswerZeroAndReleaseTheirArguments) {
    CountedCallbacks callbacks;
    EXPECT_EQ(zorim_network_start(nullptr), 0);
    EXPECT_EQ(zorim_network_connect_printer(nullptr, heap_text("device"), heap_text("address"), heap_text("unused"),
                                            heap_text("unused")),
              0);
    EXPECT_EQ(zorim_network_send_message_to_printer(nullptr, heap_text("device"), heap_text("text")), 0);
    EXPECT_EQ(zorim_network_track_enable(nullptr, false), 0);
    EXPECT_EQ(zorim_network_track_enable(nullptr, true), 0);

    EXPECT_EQ(zorim_set_machine_status_changed_fn(nullptr, callbacks.make<zorim::MachineStatusChangedFn>()), 0);
    EXPECT_EQ(zorim_set_file_list_arrived_fn(nullptr, callbacks.make<zorim::FileListArrivedFn>()), 0);
    EXPECT_EQ(zorim_set_file_meta_arrived_fn(nullptr, callbacks.make<zorim::FileMetaArrivedFn>()), 0);
    EXPECT_EQ(zorim_set_print_history_arrived_fn(nullptr, callbacks.make<zorim::PrintHistoryArrivedFn>()), 0);
    EXPECT_EQ(zorim_set_error_arrived_fn(nullptr, callbacks.make<zorim::ErrorArrivedFn>()), 0);
    EXPECT_EQ(zorim_set_file_changed_fn(nullptr, callbacks.make<zorim::FileChangedFn>()), 0);
    EXPECT_EQ(zorim_set_history_changed_fn(nullptr, callbacks.make<zorim::HistoryChangedFn>()), 0);

    EXPECT_EQ(zorim_get_file_list_fn(nullptr, heap_text("device")), 0);
    EXPECT_EQ(zorim_get_file_meta_fn(nullptr, heap_text("device"), heap_text("file")), 0);
    EXPECT_EQ(zorim_delete_file_fn(nullptr, heap_text("device"), heap_text("file")), 0);
    EXPECT_EQ(zorim_get_print_history_fn(nullptr, heap_text("device"), 0, 50, heap_text("order")), 0);
    EXPECT_EQ(zorim_network_disconnect_printer(nullptr, heap_text("device")), 0);
    EXPECT_EQ(zorim_network_destroy_agent(nullptr), 0);

    EXPECT_EQ(callbacks.calls(), 0) << "a callback was called without an agent";
    EXPECT_EQ(callbacks.live(), 0) << "a callback outlived its call";
}

TEST(NullAgentExportsTest, InertExportsAnswerTheirFixedResultsThroughTheLibrary) {
    zorim_test::LiveArguments args(nullptr);
    const auto calls = zorim_test::call_every_inert_export(args);
    ASSERT_EQ(calls.size(), 88u);
    for (const auto& call : calls) {
        SCOPED_TRACE(call.name);
        EXPECT_EQ(call.callback_calls, 0);
        EXPECT_EQ(call.live_callbacks, 0);
        if (call.result_kind == "bool_true") {
            EXPECT_EQ(call.value, 1);
        } else if (call.result_kind == "empty_text") {
            ASSERT_NE(call.text, nullptr);
            EXPECT_STREQ(call.text, "");
        } else {
            EXPECT_EQ(call.value, 0);
        }
    }
}

// The exports that need no agent work before the first agent and after the
// last one is gone; the agent's own creation releases its log directory text.
TEST(NullAgentExportsTest, AgentlessExportsAnswerTheSameAroundAnAgentsLife) {
    const char* version = zorim_network_get_version();
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version, "01.09.03.50");
    const char* user_name = zorim_network_get_user_name();

    const std::filesystem::path log_dir =
        std::filesystem::temp_directory_path() / ("zorim-null-agent-test-" + std::to_string(std::random_device{}()));
    void* agent = zorim_network_create_agent(log_dir.string(), 2);
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(zorim_network_get_version(), version);
    EXPECT_EQ(zorim_network_destroy_agent(agent), 0);

    EXPECT_EQ(zorim_network_get_version(), version);
    EXPECT_EQ(zorim_network_get_user_name(), user_name);
    EXPECT_TRUE(zorim_network_check_debug_consistent());
    EXPECT_FALSE(zorim_network_is_user_login());

    std::error_code ignored;
    std::filesystem::remove_all(log_dir, ignored);
}

}  // namespace
