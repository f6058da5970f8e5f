// The printer status record handed to the host by value on every change.
//
// Host and plug-in are built with the same compiler and standard library, so
// this record crosses the boundary as raw bytes: member order, types and
// offsets are part of the host interface and are pinned by the assertions at
// the end of this file. Never reorder, resize or insert members.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zorim_network/layout_checks.h"

namespace zorim {

// Klipper "webhooks": the Klipper host's state as Moonraker sees it.
struct Webhooks {
    std::string state;
    std::string state_message;
};

// Klipper "gcode_move": G-code level positions and factors (mm, mm/s, ratios).
struct GcodeMove {
    double speed_factor = 0.0;
    double speed = 0.0;
    double extrude_factor = 0.0;
    double homing_origin[4] = {0.0, 0.0, 0.0, 0.0};
    double position[4] = {0.0, 0.0, 0.0, 0.0};
    double gcode_position[4] = {0.0, 0.0, 0.0, 0.0};
    bool absolute_coordinates = false;
    bool absolute_extrude = false;
};

// Klipper "toolhead": kinematic limits and the commanded position.
struct Toolhead {
    double print_time = 0.0;
    double estimated_print_time = 0.0;
    double position[4] = {0.0, 0.0, 0.0, 0.0};
    double max_velocity = 0.0;
    double max_accel = 0.0;
    double max_accel_to_decel = 0.0;
    double square_corner_velocity = 0.0;
    double axis_minimum[4] = {0.0, 0.0, 0.0, 0.0};
    double axis_maximum[4] = {0.0, 0.0, 0.0, 0.0};
    std::int32_t stalls = 0;
    std::string homed_axes;
    std::string extruder;
};

// Klipper "extruder" (degrees Celsius, power 0..1) and the model's ceiling.
struct Extruder {
    double temperature = 0.0;
    double target = 0.0;
    double power = 0.0;
    double pressure_advance = 0.0;
    double smooth_time = 0.0;
    bool can_extrude = false;
    double max_temperature = 0.0;
};

// Klipper "heater_bed" (degrees Celsius, power 0..1) and the model's ceiling.
struct HeaterBed {
    double temperature = 0.0;
    double target = 0.0;
    double power = 0.0;
    double max_temperature = 0.0;
};

// A fan: speed 0..1 as Klipper reports it, rpm when a tachometer exists.
struct Fan {
    double speed = 0.0;
    std::int32_t rpm = 0;
    double max_power = 1.0;
};

// Klipper "idle_timeout": "Idle", "Ready" or "Printing" and seconds busy.
struct IdleTimeout {
    double printing_time = 0.0;
    std::string state;
};

// Klipper "virtual_sdcard": the file being printed and the read position.
struct VirtualSdcard {
    bool is_active = false;
    double progress = 0.0;
    std::int32_t file_position = 0;
    std::int32_t file_size = 0;
    std::string file_path;
};

struct PrintStatsInfo {
    std::int32_t total_layer = 0;
    std::int32_t current_layer = 0;
};

// Klipper "print_stats": the current job (seconds, mm of filament).
struct PrintStats {
    double total_duration = 0.0;
    double print_duration = 0.0;
    double filament_used = 0.0;
    PrintStatsInfo info;
    std::string filename;
    std::string state;
    std::string message;
};

// Klipper "display_status": progress 0..1. `message` is kept for layout only.
struct DisplayStatus {
    double progress = 0.0;
    std::string message;
};

// The newest job of the printer's print history, as Moonraker reports it
// (times in seconds since the epoch, durations in seconds, lengths in mm).
struct PrintJobRecord {
    double end_time = 0.0;
    double start_time = 0.0;
    double filament_used = 0.0;
    double print_duration = 0.0;
    double total_duration = 0.0;
    bool exists = false;
    std::string status;
    std::string job_id;
    std::string filename;
    std::string filament_name;
    std::string filament_type;
    std::string thumbnail_path;
    std::string uuid;
    std::string slicer;
    std::string slicer_version;
    double estimated_time = 0.0;
    double filament_total = 0.0;
    double filament_weight_total = 0.0;
    double modified = 0.0;
    double size = 0.0;
    double first_layer_bed_temp = 0.0;
    double first_layer_extr_temp = 0.0;
    double first_layer_height = 0.0;
    double layer_height = 0.0;
    double metadata_height = 0.0;
    double gcode_start_byte = 0.0;
    double gcode_end_byte = 0.0;
    double nozzle_diameter = 0.0;
};

// machine_state values.
enum MachineStateValue : std::int32_t {
    kMachineUnknown = 0,
    kMachineReconnecting = 1,
    kMachineOffline = 2,
    kMachineIdle = 4,
    kMachineBusy = 5,
    kMachineCalibrating = 6,
    kMachineFirmwareNotReady = 7,
};

// job_state values (print_stats "state").
enum JobStateValue : std::int32_t {
    kJobUnknown = 0,
    kJobStandby = 1,
    kJobPrinting = 2,
    kJobPaused = 3,
    kJobComplete = 4,
    kJobCancelled = 5,
    kJobError = 6,
};

// connection_state values.
enum ConnectionStateValue : std::int32_t {
    kConnectionNotOpened = 0,
    kConnectionOpen = 1,
    kConnectionClosed = 3,
};

// heartbeat_state values.
enum HeartbeatStateValue : std::int32_t {
    kHeartbeatNone = 0,
    kHeartbeatTimedOut = 1,
    kHeartbeatAlive = 2,
};

// firmware_state values (Klipper host state).
enum FirmwareStateValue : std::int32_t {
    kFirmwareUnknown = 0,
    kFirmwareReady = 1,
    kFirmwareDisconnected = 3,
    kFirmwareShutdown = 4,  // shut down, or in its error state: cannot print
};

// load_filament_state / unload_filament_state values.
enum FilamentStateValue : std::int32_t {
    kFilamentNone = 0,
    kFilamentHeated = 2,
    kFilamentDone = 3,
};

// led_colour values.
enum LedColourValue : std::int32_t {
    kLedWhite = 0,
    kLedOrange = 1,
    kLedRed = 2,
};

struct MachineStatus {
    std::int32_t load_filament_state = 0;
    std::int32_t unload_filament_state = 0;
    std::int32_t heartbeat_state = 0;
    std::int32_t machine_state = 0;
    std::int32_t job_state = 0;
    std::int32_t connection_state = 0;
    std::int32_t firmware_state = 0;
    std::string reserved_text;
    bool reserved_flag = false;
    bool drying_heater_on = false;
    // The interface places led_colour at 72, not at its natural 68.
    unsigned char layout_padding_66[6] = {0, 0, 0, 0, 0, 0};
    std::int32_t led_colour = 0;
    bool box_led_on = false;
    bool box_fan_on = false;
    std::string model;
    std::string software_version;
    Webhooks webhooks;
    GcodeMove gcode_move;
    Toolhead toolhead;
    bool save_config_pending = false;
    Extruder extruder;
    HeaterBed heater_bed;
    Fan fan;
    Fan box_fan;
    IdleTimeout idle_timeout;
    VirtualSdcard virtual_sdcard;
    PrintStats print_stats;
    DisplayStatus display_status;
    double mesh_min[2] = {0.0, 0.0};
    double mesh_max[2] = {0.0, 0.0};
    PrintJobRecord last_job;
};

}  // namespace zorim

// ---------------------------------------------------------------------------
// Layout of the host interface (layout_checks.h says why).
static_assert(sizeof(double) == 8 && alignof(double) == 8, "the interface needs 8-byte aligned doubles");

ZORIM_LAYOUT_CHECKS_BEGIN

static_assert(sizeof(zorim::Webhooks) == 64, "Webhooks is 64 bytes");
ZORIM_ASSERT_OFFSET(zorim::Webhooks, state, 0);
ZORIM_ASSERT_OFFSET(zorim::Webhooks, state_message, 32);

static_assert(sizeof(zorim::GcodeMove) == 128, "GcodeMove is 128 bytes");
ZORIM_ASSERT_OFFSET(zorim::GcodeMove, speed_factor, 0);
ZORIM_ASSERT_OFFSET(zorim::GcodeMove, speed, 8);
ZORIM_ASSERT_OFFSET(zorim::GcodeMove, extrude_factor, 16);
ZORIM_ASSERT_OFFSET(zorim::GcodeMove, homing_origin, 24);
ZORIM_ASSERT_OFFSET(zorim::GcodeMove, position, 56);
ZORIM_ASSERT_OFFSET(zorim::GcodeMove, gcode_position, 88);
ZORIM_ASSERT_OFFSET(zorim::GcodeMove, absolute_coordinates, 120);
ZORIM_ASSERT_OFFSET(zorim::GcodeMove, absolute_extrude, 121);

static_assert(sizeof(zorim::Toolhead) == 216, "Toolhead is 216 bytes");
ZORIM_ASSERT_OFFSET(zorim::Toolhead, print_time, 0);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, estimated_print_time, 8);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, position, 16);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, max_velocity, 48);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, max_accel, 56);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, max_accel_to_decel, 64);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, square_corner_velocity, 72);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, axis_minimum, 80);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, axis_maximum, 112);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, stalls, 144);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, homed_axes, 152);
ZORIM_ASSERT_OFFSET(zorim::Toolhead, extruder, 184);

static_assert(sizeof(zorim::Extruder) == 56, "Extruder is 56 bytes");
ZORIM_ASSERT_OFFSET(zorim::Extruder, temperature, 0);
ZORIM_ASSERT_OFFSET(zorim::Extruder, target, 8);
ZORIM_ASSERT_OFFSET(zorim::Extruder, power, 16);
ZORIM_ASSERT_OFFSET(zorim::Extruder, pressure_advance, 24);
ZORIM_ASSERT_OFFSET(zorim::Extruder, smooth_time, 32);
ZORIM_ASSERT_OFFSET(zorim::Extruder, can_extrude, 40);
ZORIM_ASSERT_OFFSET(zorim::Extruder, max_temperature, 48);

static_assert(sizeof(zorim::HeaterBed) == 32, "HeaterBed is 32 bytes");
ZORIM_ASSERT_OFFSET(zorim::HeaterBed, temperature, 0);
ZORIM_ASSERT_OFFSET(zorim::HeaterBed, target, 8);
ZORIM_ASSERT_OFFSET(zorim::HeaterBed, power, 16);
ZORIM_ASSERT_OFFSET(zorim::HeaterBed, max_temperature, 24);

static_assert(sizeof(zorim::Fan) == 24, "Fan is 24 bytes");
ZORIM_ASSERT_OFFSET(zorim::Fan, speed, 0);
ZORIM_ASSERT_OFFSET(zorim::Fan, rpm, 8);
ZORIM_ASSERT_OFFSET(zorim::Fan, max_power, 16);

static_assert(sizeof(zorim::IdleTimeout) == 40, "IdleTimeout is 40 bytes");
ZORIM_ASSERT_OFFSET(zorim::IdleTimeout, printing_time, 0);
ZORIM_ASSERT_OFFSET(zorim::IdleTimeout, state, 8);

static_assert(sizeof(zorim::VirtualSdcard) == 56, "VirtualSdcard is 56 bytes");
ZORIM_ASSERT_OFFSET(zorim::VirtualSdcard, is_active, 0);
ZORIM_ASSERT_OFFSET(zorim::VirtualSdcard, progress, 8);
ZORIM_ASSERT_OFFSET(zorim::VirtualSdcard, file_position, 16);
ZORIM_ASSERT_OFFSET(zorim::VirtualSdcard, file_size, 20);
ZORIM_ASSERT_OFFSET(zorim::VirtualSdcard, file_path, 24);

static_assert(sizeof(zorim::PrintStatsInfo) == 8, "PrintStatsInfo is 8 bytes");
ZORIM_ASSERT_OFFSET(zorim::PrintStatsInfo, total_layer, 0);
ZORIM_ASSERT_OFFSET(zorim::PrintStatsInfo, current_layer, 4);

static_assert(sizeof(zorim::PrintStats) == 128, "PrintStats is 128 bytes");
ZORIM_ASSERT_OFFSET(zorim::PrintStats, total_duration, 0);
ZORIM_ASSERT_OFFSET(zorim::PrintStats, print_duration, 8);
ZORIM_ASSERT_OFFSET(zorim::PrintStats, filament_used, 16);
ZORIM_ASSERT_OFFSET(zorim::PrintStats, info, 24);
ZORIM_ASSERT_OFFSET(zorim::PrintStats, filename, 32);
ZORIM_ASSERT_OFFSET(zorim::PrintStats, state, 64);
ZORIM_ASSERT_OFFSET(zorim::PrintStats, message, 96);

static_assert(sizeof(zorim::DisplayStatus) == 40, "DisplayStatus is 40 bytes");
ZORIM_ASSERT_OFFSET(zorim::DisplayStatus, progress, 0);
ZORIM_ASSERT_OFFSET(zorim::DisplayStatus, message, 8);

static_assert(sizeof(zorim::PrintJobRecord) == 440, "PrintJobRecord is 440 bytes");
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, end_time, 0);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, start_time, 8);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, filament_used, 16);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, print_duration, 24);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, total_duration, 32);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, exists, 40);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, status, 48);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, job_id, 80);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, filename, 112);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, filament_name, 144);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, filament_type, 176);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, thumbnail_path, 208);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, uuid, 240);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, slicer, 272);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, slicer_version, 304);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, estimated_time, 336);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, filament_total, 344);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, filament_weight_total, 352);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, modified, 360);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, size, 368);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, first_layer_bed_temp, 376);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, first_layer_extr_temp, 384);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, first_layer_height, 392);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, layer_height, 400);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, metadata_height, 408);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, gcode_start_byte, 416);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, gcode_end_byte, 424);
ZORIM_ASSERT_OFFSET(zorim::PrintJobRecord, nozzle_diameter, 432);

static_assert(sizeof(zorim::MachineStatus) == 1432, "MachineStatus is 1432 bytes");
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, load_filament_state, 0);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, unload_filament_state, 4);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, heartbeat_state, 8);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, machine_state, 12);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, job_state, 16);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, connection_state, 20);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, firmware_state, 24);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, reserved_text, 32);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, reserved_flag, 64);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, drying_heater_on, 65);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, led_colour, 72);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, box_led_on, 76);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, box_fan_on, 77);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, model, 80);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, software_version, 112);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, webhooks, 144);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, gcode_move, 208);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, toolhead, 336);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, save_config_pending, 552);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, extruder, 560);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, heater_bed, 616);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, fan, 648);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, box_fan, 672);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, idle_timeout, 696);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, virtual_sdcard, 736);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, print_stats, 792);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, display_status, 920);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, mesh_min, 960);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, mesh_max, 976);
ZORIM_ASSERT_OFFSET(zorim::MachineStatus, last_job, 992);

ZORIM_LAYOUT_CHECKS_END
