// Any text a printer sends goes through the message router: nothing may
// escape it, crash it or leave the record in a state the next message trips
// on. The router is plain code over data, so no connection or agent is needed.
//
// Each input is also routed from the full parse, without the shortcuts the
// router takes for frequent notifications, onto a second record: both must
// list the same actions and end with the same record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "protocol/message_router.h"

namespace {

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
template <std::size_t N>
bool same(const double (&a)[N], const double (&b)[N]) { return std::memcmp(a, b, sizeof a) == 0; }
template <typename T>
bool same(const T& a, const T& b) { return a == b; }

bool same_record(const zorim::MachineStatus& a, const zorim::MachineStatus& b) {
#define SAME(member) same(a.member, b.member)
    return SAME(load_filament_state) && SAME(unload_filament_state) && SAME(machine_state) && SAME(job_state) &&
           SAME(firmware_state) && SAME(drying_heater_on) && SAME(led_colour) && SAME(box_led_on) &&
           SAME(box_fan_on) && SAME(webhooks.state) && SAME(webhooks.state_message) &&
           SAME(gcode_move.speed_factor) && SAME(gcode_move.speed) && SAME(gcode_move.extrude_factor) &&
           SAME(gcode_move.homing_origin) && SAME(gcode_move.position) && SAME(gcode_move.gcode_position) &&
           SAME(gcode_move.absolute_coordinates) && SAME(gcode_move.absolute_extrude) &&
           SAME(toolhead.print_time) && SAME(toolhead.estimated_print_time) && SAME(toolhead.position) &&
           SAME(toolhead.max_velocity) && SAME(toolhead.max_accel) && SAME(toolhead.max_accel_to_decel) &&
           SAME(toolhead.square_corner_velocity) && SAME(toolhead.axis_minimum) && SAME(toolhead.axis_maximum) &&
           SAME(toolhead.stalls) && SAME(toolhead.homed_axes) && SAME(toolhead.extruder) &&
           SAME(save_config_pending) && SAME(extruder.temperature) && SAME(extruder.target) &&
           SAME(extruder.power) && SAME(extruder.pressure_advance) && SAME(extruder.smooth_time) &&
           SAME(extruder.can_extrude) && SAME(extruder.max_temperature) && SAME(heater_bed.temperature) &&
           SAME(heater_bed.target) && SAME(heater_bed.power) && SAME(heater_bed.max_temperature) &&
           SAME(fan.speed) && SAME(fan.rpm) && SAME(fan.max_power) && SAME(box_fan.speed) && SAME(box_fan.rpm) &&
           SAME(idle_timeout.printing_time) && SAME(idle_timeout.state) && SAME(virtual_sdcard.is_active) &&
           SAME(virtual_sdcard.progress) && SAME(virtual_sdcard.file_position) &&
           SAME(virtual_sdcard.file_size) && SAME(virtual_sdcard.file_path) &&
           SAME(print_stats.total_duration) && SAME(print_stats.print_duration) &&
           SAME(print_stats.filament_used) && SAME(print_stats.info.total_layer) &&
           SAME(print_stats.info.current_layer) && SAME(print_stats.filename) && SAME(print_stats.state) &&
           SAME(print_stats.message) && SAME(display_status.progress) && SAME(mesh_min) && SAME(mesh_max) &&
           SAME(last_job.exists) && SAME(last_job.filename) && SAME(last_job.end_time);
#undef SAME
}

bool same_actions(const zorim::RouteResult& a, const zorim::RouteResult& b) {
    if (a.actions.size() != b.actions.size() || a.records.size() != b.records.size()) return false;
    if (a.status_updates != b.status_updates) return false;
    for (std::size_t i = 0; i < a.actions.size(); ++i) {
        const zorim::Action& x = a.actions[i];
        const zorim::Action& y = b.actions[i];
        if (x.kind != y.kind || x.id != y.id || x.text != y.text) return false;
    }
    for (std::size_t i = 0; i < a.records.size(); ++i) {
        if (!same_record(a.records[i], b.records[i])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zorim::MachineStatus status;     // carried across inputs, as a connection carries it
    static zorim::MachineStatus reference;  // the same, routed from the full parse
    static bool link_open = false;
    link_open = !link_open;
    const std::string payload(reinterpret_cast<const char*>(data), size);
    const zorim::PrinterView printer{"fuzz", link_open, true};
    zorim::RouteResult result;
    zorim::route_message(printer, payload, status, result);
    std::size_t reports = 0;
    for (const zorim::Action& action : result.actions) reports += action.kind == zorim::ActionKind::report_status;
    if (reports != result.records.size()) __builtin_trap();

    zorim::RouteResult expected;
    zorim::route_message_from_full_parse(printer, payload, reference, expected);
    if (!same_actions(result, expected) || !same_record(status, reference)) __builtin_trap();
    return 0;
}
