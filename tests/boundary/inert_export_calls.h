// Calls every fixed-result service export once with live by-value arguments
// and records what came back and what was left behind. Shared by the test
// that links the exports' objects and the one that goes through the shared
// library's entry points.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "zorim_network/service_exports.h"

namespace zorim_test {

// Longer than any small-string buffer, so every text owns heap memory and a
// text that is not released shows up as a leak under LeakSanitizer.
inline std::string heap_text(const char* label) {
    return std::string(label) + ':' + std::string(120, 'x');
}

// Hands out fresh arguments for each call. Every callback shares one counter:
// its value counts calls, its use count counts callback objects still alive.
class LiveArguments {
public:
    explicit LiveArguments(void* agent) : agent_(agent) {}

    void* agent() const { return agent_; }
    std::intptr_t word() const { return -7; }
    std::string text() const { return heap_text("text"); }

    zorim::ServiceCallback callback() const {
        // The text capture is too large for std::function's inline buffer, so
        // the callback itself lives on the heap too.
        return [calls = calls_, ballast = heap_text("callback")](std::string) { ++*calls; };
    }

    std::vector<std::string> list() const { return {heap_text("list 0"), heap_text("list 1"), heap_text("list 2")}; }

    std::map<std::string, std::string> map() const {
        return {{heap_text("key 0"), heap_text("value 0")}, {heap_text("key 1"), heap_text("value 1")}};
    }

    zorim::PrintRequest print_request() const {
        zorim::PrintRequest request;
        for (std::string* member : {&request.device_id, &request.device_name, &request.device_address,
                                    &request.job_name, &request.project_name, &request.preset_name,
                                    &request.file_path, &request.config_path, &request.remote_folder,
                                    &request.remote_file, &request.remote_file_checksum,
                                    &request.material_mapping, &request.material_mapping_detail,
                                    &request.connection_kind, &request.comments, &request.source_profile_id,
                                    &request.source_design_id, &request.source_model_id, &request.print_kind,
                                    &request.destination_file, &request.account_name, &request.access_code,
                                    &request.extra_options, &request.notes}) {
            *member = heap_text("print request");
        }
        request.plate_index = 3;
        request.secure_transfer = true;
        request.option_flags = 0xffu;
        request.nozzle_diameter = 0.4;
        return request;
    }

    zorim::PublishRequest publish_request() const {
        return {heap_text("title"), heap_text("description"), heap_text("project"),
                heap_text("thumbnail"), heap_text("design"), heap_text("config")};
    }

    int callback_calls() const { return *calls_; }
    long live_callbacks() const { return calls_.use_count() - 1; }

private:
    void* agent_;
    std::shared_ptr<int> calls_ = std::make_shared<int>(0);
};

struct InertCall {
    std::string name;
    std::string result_kind;       // the row's result token, e.g. "i32_zero"
    long long value = 0;           // int32 and bool results
    const char* text = nullptr;    // empty_text results
    int callback_calls = 0;        // callbacks called during the call
    long live_callbacks = 0;       // callback objects still alive afterwards
};

template <typename Call>
InertCall run_inert_call(const char* name, const char* result_kind, const LiveArguments& args, Call call) {
    InertCall outcome{name, result_kind};
    const int calls_before = args.callback_calls();
    using Result = decltype(call());
    if constexpr (std::is_void_v<Result>) {
        call();
    } else if constexpr (std::is_pointer_v<Result>) {
        outcome.text = call();
    } else {
        outcome.value = static_cast<long long>(call());
    }
    outcome.callback_calls = args.callback_calls() - calls_before;
    outcome.live_callbacks = args.live_callbacks();
    return outcome;
}

#define ZORIM_TEST_LEAD_ARG_none
#define ZORIM_TEST_LEAD_ARG_word args.agent()
#define ZORIM_TEST_ARG_word args.word()
#define ZORIM_TEST_ARG_string args.text()
#define ZORIM_TEST_ARG_callback args.callback()
#define ZORIM_TEST_ARG_list args.list()
#define ZORIM_TEST_ARG_map args.map()
#define ZORIM_TEST_ARG_print_request args.print_request()
#define ZORIM_TEST_ARG_publish_request args.publish_request()

// The arguments are temporaries of the call expression inside the lambda, so
// they are gone by the time run_inert_call looks at the counters.
#define ZORIM_TEST_CALL_ROW(name, result, kinds)                                  \
    calls.push_back(run_inert_call(#name, #result, args, [&] {                    \
        return name(ZORIM_INERT_MAP_KINDS(ZORIM_TEST_LEAD_ARG_, ZORIM_TEST_ARG_, kinds)); \
    }));

inline std::vector<InertCall> call_every_inert_export(const LiveArguments& args) {
    std::vector<InertCall> calls;
    ZORIM_INERT_EXPORTS(ZORIM_TEST_CALL_ROW)
    return calls;
}

#undef ZORIM_TEST_CALL_ROW

}  // namespace zorim_test
