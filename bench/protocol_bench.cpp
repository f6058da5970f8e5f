// The per-message path of the network thread, fed with recorded traffic:
// parse, route, fold into the status record, copy the record for the host.
// Also the request composer and the send queue, which every request crosses.
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "connection/message_queue.h"
#include "connection/printer_connection.h"
#include "connection/printer_manager.h"
#include "protocol/message_router.h"
#include "protocol/request_catalogue.h"
#include "protocol/subscription.h"
#include "support/test_support.h"

namespace zorim {
namespace {

std::vector<std::string> recorded_frames(const std::string& method) {
    std::vector<std::string> frames;
    for (const std::string& line : test::read_fixture_lines("klipper_sim_session.jsonl")) {
        if (line.find("\"method\":\"" + method + "\"") != std::string::npos) frames.push_back(line);
    }
    return frames;
}

// One printer whose host callback takes every record copy, as a host does.
struct Printer {
    Printer() : connection(std::make_shared<PrinterConnection>("bench", LinkHandle{}, "ws://bench/websocket")) {
        manager.set_machine_status_changed_fn([this](std::string, MachineStatus status) {
            benchmark::DoNotOptimize(status);
            ++reports;
        });
    }
    PrinterManager manager;
    std::shared_ptr<PrinterConnection> connection;
    std::size_t reports = 0;
};

void BM_DispatchRecordedStatusUpdates(benchmark::State& state) {
    const std::vector<std::string> frames = recorded_frames("notify_status_update");
    Printer printer;
    std::size_t bytes = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        const std::string& frame = frames[next++ % frames.size()];
        printer.connection->dispatch_message(printer.manager, frame);
        bytes += frame.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["reports"] = static_cast<double>(printer.reports);
}
BENCHMARK(BM_DispatchRecordedStatusUpdates);

// The least that the host interface lets a status frame's two reports cost:
// the record, as the recorded stream leaves it, copied for each report and
// handed to the host's std::function by value, where the host lets it go.
void BM_TwoReportsByValue(benchmark::State& state) {
    Printer printer;
    for (const std::string& frame : recorded_frames("notify_status_update")) {
        printer.connection->dispatch_message(printer.manager, frame);
    }
    const MachineStatus record = printer.connection->status_copy();
    const MachineStatusChangedFn host = [](std::string id, MachineStatus status) {
        benchmark::DoNotOptimize(id);
        benchmark::DoNotOptimize(status);
    };
    const std::string device_id = "bench";
    for (auto _ : state) {
        for (int report = 0; report < 2; ++report) {
            MachineStatus copy = record;
            host(device_id, std::move(copy));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_TwoReportsByValue);

void BM_DispatchProcStat(benchmark::State& state) {
    const std::vector<std::string> frames = recorded_frames("notify_proc_stat_update");
    Printer printer;
    for (auto _ : state) printer.connection->dispatch_message(printer.manager, frames.front());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DispatchProcStat);

// The router alone, without a connection, lock or callback, per kind of
// recorded message: where a frame's time goes before the host sees it.
void BM_RouteRecordedMessages(benchmark::State& state, const std::string& method, bool copy_records) {
    const std::vector<std::string> frames = recorded_frames(method);
    if (frames.empty()) {
        state.SkipWithError("no such frame in the recording");
        return;
    }
    MachineStatus status;
    std::size_t next = 0;
    for (auto _ : state) {
        RouteResult result;
        route_message(PrinterView{"bench", true, copy_records}, frames[next++ % frames.size()], status, result);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK_CAPTURE(BM_RouteRecordedMessages, status_update, std::string("notify_status_update"), true);
// The same frames routed from the full parse: what the status shortcut saves.
void BM_RouteRecordedStatusFromFullParse(benchmark::State& state) {
    const std::vector<std::string> frames = recorded_frames("notify_status_update");
    MachineStatus status;
    std::size_t next = 0;
    for (auto _ : state) {
        RouteResult result;
        route_message_from_full_parse(PrinterView{"bench", true, true}, frames[next++ % frames.size()], status,
                                      result);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_RouteRecordedStatusFromFullParse);
BENCHMARK_CAPTURE(BM_RouteRecordedMessages, status_update_unwatched, std::string("notify_status_update"), false);
BENCHMARK_CAPTURE(BM_RouteRecordedMessages, proc_stat_update, std::string("notify_proc_stat_update"), true);
BENCHMARK_CAPTURE(BM_RouteRecordedMessages, gcode_response, std::string("notify_gcode_response"), true);
BENCHMARK_CAPTURE(BM_RouteRecordedMessages, history_changed, std::string("notify_history_changed"), true);

void BM_RewriteObjectsList(benchmark::State& state) {
    std::string reply;
    for (const std::string& line : test::read_fixture_lines("klipper_sim_session.jsonl")) {
        if (line.find("\"objects\":[") != std::string::npos) {
            reply = line;
            break;
        }
    }
    for (auto _ : state) benchmark::DoNotOptimize(rewrite_objects_list(reply));
}
BENCHMARK(BM_RewriteObjectsList);

void BM_ComposeEscapedRequest(benchmark::State& state) {
    const std::string name = "prints/2026 \"calibration\" cube\\v2.gcode";
    for (auto _ : state) {
        benchmark::DoNotOptimize(compose_request(kFileMetadata, {RequestArg::host_text(name)}));
    }
}
BENCHMARK(BM_ComposeEscapedRequest);

void BM_SendQueueHandOff(benchmark::State& state) {
    MessageQueue queue;
    std::thread consumer([&] {
        OutgoingMessage record;
        while (queue.pop(record)) benchmark::DoNotOptimize(record);
    });
    const std::string text(200, 'x');
    for (auto _ : state) queue.push(OutgoingMessage{"bench", kFileList, 0, true, text});
    queue.close();
    consumer.join();
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_SendQueueHandOff)->UseRealTime();

}  // namespace
}  // namespace zorim

BENCHMARK_MAIN();
