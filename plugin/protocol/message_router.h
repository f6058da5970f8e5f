// The routing of a printer's messages as plain code over data: a message text
// and the printer's status record in; the record changed, plus the list of
// what the connection has to do about it, out. Replies (which carry an id)
// clear their pending request and are routed by id; notifications (which
// carry a method) are routed by method.
//
// Nothing here holds a link, a lock or a callback: the connection runs the
// router under its status lock and then carries out the actions, in order,
// with no lock held.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <nlohmann/json_fwd.hpp>

#include "zorim_network/machine_status.h"

namespace zorim {

// What the connection does after a message was routed. Every action is done
// in the order the router lists it, which is the order the printer's message
// asks for.
enum class ActionKind : std::uint8_t {
    console,                 // write `text` as a console line
    log_error,               // write `text` as an error record
    erase_pending,           // the request `id` was answered
    report_status,           // hand the next of the result's records to the host
    report_error,            // `text` to the host's error callback
    report_file_list,        // `text` (the whole reply) to the file-list callback
    report_file_meta,        // `text` (the whole reply) to the metadata callback
    report_print_history,    // `text` (the whole reply) to the history callback
    report_file_changed,     // the file-changed signal
    report_history_changed,  // the history-changed signal
    request_printer_info,
    request_objects_list,
    request_subscribe,       // `text`: the objects text of the request
    request_latest_job,
};

struct Action {
    ActionKind kind;
    std::int32_t id = 0;
    std::string text;
};

// The printer as the router sees it.
struct PrinterView {
    std::string_view device_id;
    bool link_open = false;     // the printer's link is open now
    bool copy_records = false;  // a status report would reach the host: copy the record for it
};

// A status notification usually brings two elements (the status and the
// event time), hence two reports: room for them is kept in place.
struct RouteResult {
    boost::container::small_vector<Action, 4> actions;
    // The record as each report_status found it, in order; empty unless the
    // view asked for copies.
    boost::container::small_vector<MachineStatus, 2> records;
    // Status elements applied (the subscription watchdog counts them).
    std::int32_t status_updates = 0;
};

// Routes one message text. A message that is malformed or wrongly typed (the
// JSON library's errors) does not throw: it leaves the actions listed before
// the fault, then an error record naming the message.
void route_message(const PrinterView& printer, const std::string& payload, MachineStatus& status,
                   RouteResult& result);

// --- The steps of the routing, for the tests and fuzzers of each ------------

// Routes one message as route_message does, but always from the full parsed
// value, without the shortcuts taken for the frequent notifications: the
// reference those shortcuts are checked against.
void route_message_from_full_parse(const PrinterView& printer, const std::string& payload, MachineStatus& status,
                                   RouteResult& result);

// One status element folded into the record: counted, parsed, states derived,
// wrongly typed members logged, and reported.
void apply_status_element(const PrinterView& printer, const nlohmann::json& element, MachineStatus& status,
                          RouteResult& result);

// A notify_history_changed message: every "added" or "finished" job is
// folded into the last job, the record is reported when a job was, and the
// host is signalled once when the message has params.
void apply_history_changed(const PrinterView& printer, const nlohmann::json& message, MachineStatus& status,
                           RouteResult& result);

// A history job folded into the last job, wrongly typed members logged.
// Returns whether `job` was an object (and so was folded in).
bool apply_print_job(const PrinterView& printer, const nlohmann::json& job, MachineStatus& status,
                     RouteResult& result);

}  // namespace zorim
