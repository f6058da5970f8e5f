#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "expected_exports.h"
#include "inert_export_calls.h"
#include "zorim_network/service_exports.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZORIM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORIM_TEST_ASAN 1
#endif
#endif
#if defined(ZORIM_TEST_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using zorim_test::InertCall;
using zorim_test::LiveArguments;

std::string kinds_without_parentheses(std::string kinds) {
    return kinds.substr(1, kinds.size() - 2);
}

std::string result_in_interface_words(const std::string& token) {
    if (token == "i32_zero") return "int32 0";
    if (token == "bool_false") return "bool false";
    if (token == "bool_true") return "bool true";
    if (token == "nothing") return "nothing";
    if (token == "empty_text") return "empty text";
    return "unknown result token " + token;
}

// A non-null agent that must never be looked at: its bytes are checked for
// writes, and under AddressSanitizer any read of them aborts the test.
class UntouchableAgent {
public:
    UntouchableAgent() {
        bytes_.fill(0xa5);
#if defined(ZORIM_TEST_ASAN)
        ASAN_POISON_MEMORY_REGION(bytes_.data(), bytes_.size());
#endif
    }
    ~UntouchableAgent() { unpoison(); }
    UntouchableAgent(const UntouchableAgent&) = delete;
    UntouchableAgent& operator=(const UntouchableAgent&) = delete;

    void* pointer() { return bytes_.data(); }

    bool untouched() {
        unpoison();
        for (unsigned char byte : bytes_) {
            if (byte != 0xa5) return false;
        }
        return true;
    }

private:
    void unpoison() {
#if defined(ZORIM_TEST_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(bytes_.data(), bytes_.size());
#endif
    }

    alignas(16) std::array<unsigned char, 256> bytes_{};
};

void expect_fixed_result(const InertCall& call) {
    SCOPED_TRACE(call.name);
    EXPECT_EQ(call.callback_calls, 0) << "a callback was called";
    EXPECT_EQ(call.live_callbacks, 0) << "a callback was kept";
    if (call.result_kind == "i32_zero" || call.result_kind == "bool_false") {
        EXPECT_EQ(call.value, 0);
    } else if (call.result_kind == "bool_true") {
        EXPECT_EQ(call.value, 1);
    } else if (call.result_kind == "empty_text") {
        ASSERT_NE(call.text, nullptr);
        EXPECT_STREQ(call.text, "");
    } else {
        EXPECT_EQ(call.result_kind, "nothing");
    }
}

TEST(InertExportsTest, TableMatchesTheHostInterface) {
    struct Row {
        std::string name, kinds, result;
    };
    std::vector<Row> rows;
#define ZORIM_TEST_ROW(name, result, kinds) \
    rows.push_back({#name, kinds_without_parentheses(#kinds), result_in_interface_words(#result)});
    ZORIM_INERT_EXPORTS(ZORIM_TEST_ROW)
#undef ZORIM_TEST_ROW

    ASSERT_EQ(rows.size(), zorim_test::kInertExports.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& expected = zorim_test::kInertExports[i];
        EXPECT_EQ(rows[i].name, expected.name);
        EXPECT_EQ(rows[i].kinds, expected.kinds) << expected.name;
        EXPECT_EQ(rows[i].result, expected.result) << expected.name;
    }
}

TEST(InertExportsTest, EveryExportReleasesItsArgumentsAndAnswersItsFixedResult) {
    UntouchableAgent agent;
    for (void* agent_pointer : {static_cast<void*>(nullptr), agent.pointer()}) {
        SCOPED_TRACE(agent_pointer ? "agent given" : "null agent");
        LiveArguments args(agent_pointer);
        const std::vector<InertCall> first = zorim_test::call_every_inert_export(args);
        const std::vector<InertCall> second = zorim_test::call_every_inert_export(args);
        ASSERT_EQ(first.size(), 88u);
        ASSERT_EQ(second.size(), 88u);
        for (std::size_t i = 0; i < first.size(); ++i) {
            expect_fixed_result(first[i]);
            expect_fixed_result(second[i]);
            EXPECT_EQ(first[i].text, second[i].text) << first[i].name << " moved its text";
        }
        EXPECT_EQ(args.callback_calls(), 0);
    }
    EXPECT_TRUE(agent.untouched());
}

TEST(InertExportsTest, StatusQueriesAnswerNotLoggedInNotConnectedConsistent) {
    EXPECT_FALSE(zorim_network_is_user_login());
    EXPECT_FALSE(zorim_network_is_server_connected());
    EXPECT_FALSE(zorim_network_start_discovery());
    EXPECT_TRUE(zorim_network_check_debug_consistent());
}

TEST(InertExportsTest, StartPrintCallsNoCallbackAndReleasesRecordAndCallbacks) {
    auto called = std::make_shared<int>(0);
    auto make_callback = [&called] {
        return zorim::ServiceCallback(
            [called, ballast = zorim_test::heap_text("print callback")](std::string) { ++*called; });
    };
    zorim::ServiceCallback update = make_callback();
    zorim::ServiceCallback cancel = make_callback();
    zorim::ServiceCallback wait = make_callback();
    ASSERT_EQ(called.use_count(), 4);

    LiveArguments args(nullptr);
    EXPECT_EQ(zorim_network_start_print(nullptr, args.print_request(), std::move(update), std::move(cancel),
                                        std::move(wait)),
              0);
    EXPECT_EQ(*called, 0);
    EXPECT_EQ(called.use_count(), 1) << "the callbacks outlived the call";
}

TEST(InertExportsTest, TextAnswersKeepOneEmptyTextPerExport) {
    const char* user_name = zorim_network_get_user_name();
    const char* info_url = zorim_network_get_studio_info_url();
    const char* setting_id = zorim_network_request_setting_id(nullptr, zorim_test::heap_text("setting"));
    for (const char* text : {user_name, info_url, setting_id}) {
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(zorim_network_get_user_name(), user_name);
        EXPECT_EQ(zorim_network_get_studio_info_url(), info_url);
        EXPECT_EQ(zorim_network_request_setting_id(reinterpret_cast<void*>(0x1), std::string()), setting_id);
    }
}

TEST(InertExportsTest, AnswerTheSameFromManyThreadsAtOnce) {
    const std::vector<InertCall> reference = zorim_test::call_every_inert_export(LiveArguments(nullptr));
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::vector<std::vector<InertCall>> last_round(kThreads);
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            LiveArguments args(nullptr);
            for (int round = 0; round < kRounds; ++round) {
                last_round[t] = zorim_test::call_every_inert_export(args);
                for (std::size_t i = 0; i < reference.size(); ++i) {
                    const InertCall& call = last_round[t][i];
                    if (call.value != reference[i].value || call.text != reference[i].text ||
                        call.callback_calls != 0) {
                        ++mismatches[t];
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
        ASSERT_EQ(last_round[t].size(), reference.size());
        for (const InertCall& call : last_round[t]) expect_fixed_result(call);
    }
}

}  // namespace
