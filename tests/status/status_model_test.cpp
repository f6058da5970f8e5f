// How Klipper's objects fold into the status record, how the state members
// follow from it, and what the G-code console phrases do.
#include "status/status_model.h"

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "protocol/message_router.h"
#include "status/reading_rules.h"
#include "support/test_support.h"

namespace zorim {
namespace {

using nlohmann::json;

// Folds one status element (JSON text) into `status`; a wrongly typed member
// fails the test unless the caller collects the problems itself.
void fold(MachineStatus& status, const std::string& element) {
    std::vector<std::string> problems;
    apply_object_parsers(status, json::parse(element), problems);
    EXPECT_TRUE(problems.empty()) << "unexpected problems, first: " << (problems.empty() ? "" : problems.front());
}

MachineStatus folded(const std::string& element) {
    MachineStatus status;
    fold(status, element);
    return status;
}

std::vector<std::string> fold_with_problems(MachineStatus& status, const std::string& element) {
    std::vector<std::string> problems;
    apply_object_parsers(status, json::parse(element), problems);
    return problems;
}

// --- Reading rules ----------------------------------------------------------------------

TEST(ReadingRules, NumbersTakeEveryJsonNumberAndNothingElse) {
    EXPECT_DOUBLE_EQ(read_number(json(3)), 3.0);
    EXPECT_DOUBLE_EQ(read_number(json(-3)), -3.0);
    EXPECT_DOUBLE_EQ(read_number(json(0.25)), 0.25);
    EXPECT_DOUBLE_EQ(read_number(json::parse("18446744073709551615")), 18446744073709551615.0);
    for (const char* wrong : {"true", "false", "\"1.5\"", "[1]", "{}"}) {
        EXPECT_THROW(read_number(json::parse(wrong)), ReadingError) << wrong;
    }
}

TEST(ReadingRules, IntegersKeepTheirLow32BitsAndFloatsAreTruncatedTowardZero) {
    EXPECT_EQ(read_integer(json(true)), 1);
    EXPECT_EQ(read_integer(json(false)), 0);
    EXPECT_EQ(read_integer(json(-7)), -7);
    EXPECT_EQ(read_integer(json::parse("3000000000")), -1294967296);
    EXPECT_EQ(read_integer(json::parse("4294967297")), 1);
    EXPECT_EQ(read_integer(json::parse("-4294967297")), -1);
    EXPECT_EQ(read_integer(json::parse("18446744073709551615")), -1);
    EXPECT_EQ(read_integer(json(2.9)), 2);
    EXPECT_EQ(read_integer(json(-2.9)), -2);
    EXPECT_EQ(read_integer(json(3000000000.5)), -1294967296);
    for (const char* wrong : {"\"7\"", "[7]", "{\"a\":7}"}) {
        EXPECT_THROW(read_integer(json::parse(wrong)), ReadingError) << wrong;
    }
}

TEST(ReadingRules, FloatsBeyondAnyIntegerAreReadWithoutUndefinedBehaviour) {
    // A plain cast of these is undefined; the sanitizer builds catch one.
    for (double huge : {1e300, -1e300, 9.3e18, -9.3e18, std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()}) {
        EXPECT_NO_THROW(static_cast<void>(read_integer(json(huge)))) << huge;
    }
    EXPECT_THROW(read_integer(json(std::nan(""))), ReadingError);
}

TEST(ReadingRules, ArraysFillSlotsFromTheFirstAndLeaveTheRest) {
    double slots[4] = {9, 9, 9, 9};
    read_array(json::parse("[10.0, 20.0, 5.0]"), slots, 4);
    EXPECT_EQ(std::vector<double>(slots, slots + 4), (std::vector<double>{10, 20, 5, 9}));
    read_array(json::parse("[1, 2, 3, 4, 5]"), slots, 4);
    EXPECT_EQ(std::vector<double>(slots, slots + 4), (std::vector<double>{1, 2, 3, 4}));
    read_array(json::parse("[]"), slots, 4);
    EXPECT_EQ(std::vector<double>(slots, slots + 4), (std::vector<double>{1, 2, 3, 4}));

    // Not an array: an object's values in key order, a single number as one.
    read_array(json::parse(R"({"y": 8, "x": 7})"), slots, 4);
    EXPECT_EQ(std::vector<double>(slots, slots + 4), (std::vector<double>{7, 8, 3, 4}));
    read_array(json(42), slots, 4);
    EXPECT_EQ(std::vector<double>(slots, slots + 4), (std::vector<double>{42, 8, 3, 4}));

    EXPECT_THROW(read_array(json::parse(R"([1, "2", 3])"), slots, 4), ReadingError);
    EXPECT_THROW(read_array(json("text"), slots, 4), ReadingError);
    EXPECT_THROW(read_array(json::parse("[true]"), slots, 4), ReadingError);
}

// --- Object lookup --------------------------------------------------------------------------

TEST(StatusParsers, OnlyObjectsUnderTheirExactNameAreRead) {
    const MachineStatus untouched;
    for (const char* element : {"1234.5", "[{\"extruder\":{\"temperature\":200}}]", "\"extruder\"", "null",
                                R"({"Extruder":{"temperature":200}})", R"({"extruder ":{"temperature":200}})",
                                R"({"extruder":null})", R"({"extruder":[200]})", R"({"extruder":200})"}) {
        SCOPED_TRACE(element);
        const MachineStatus status = folded(element);
        EXPECT_EQ(status.extruder.temperature, untouched.extruder.temperature);
    }
}

// --- Job progress ----------------------------------------------------------------------------

TEST(StatusParsers, PrintStatsTextsAreClearedByNullAndKeptWhenAbsent) {
    MachineStatus status;
    fold(status, R"({"print_stats":{"filename":"cube.gcode","state":"printing","message":"m",
                     "total_duration":12.5,"print_duration":10,"filament_used":3.25}})");
    EXPECT_EQ(status.print_stats.filename, "cube.gcode");
    EXPECT_EQ(status.print_stats.state, "printing");
    EXPECT_EQ(status.print_stats.message, "m");
    EXPECT_DOUBLE_EQ(status.print_stats.total_duration, 12.5);
    EXPECT_DOUBLE_EQ(status.print_stats.print_duration, 10.0);
    EXPECT_DOUBLE_EQ(status.print_stats.filament_used, 3.25);

    fold(status, R"({"print_stats":{"print_duration":11}})");
    EXPECT_EQ(status.print_stats.filename, "cube.gcode");
    EXPECT_EQ(status.print_stats.state, "printing");

    fold(status, R"({"print_stats":{"filename":null,"state":null,"message":null,"total_duration":null}})");
    EXPECT_EQ(status.print_stats.filename, "");
    EXPECT_EQ(status.print_stats.state, "");
    EXPECT_EQ(status.print_stats.message, "");
    EXPECT_DOUBLE_EQ(status.print_stats.total_duration, 12.5);
}

TEST(StatusParsers, LayerNumbersComeOnlyFromJsonIntegers) {
    MachineStatus status;
    fold(status, R"({"print_stats":{"info":{"total_layer":120,"current_layer":7}}})");
    EXPECT_EQ(status.print_stats.info.total_layer, 120);
    EXPECT_EQ(status.print_stats.info.current_layer, 7);

    // Ignored without a problem: floats, null, other types, an info that is
    // null or not an object.
    fold(status, R"({"print_stats":{"info":{"total_layer":null,"current_layer":8.0}}})");
    fold(status, R"({"print_stats":{"info":{"total_layer":"121","current_layer":true}}})");
    fold(status, R"({"print_stats":{"info":null}})");
    fold(status, R"({"print_stats":{"info":[1,2]}})");
    EXPECT_EQ(status.print_stats.info.total_layer, 120);
    EXPECT_EQ(status.print_stats.info.current_layer, 7);

    fold(status, R"({"print_stats":{"info":{"current_layer":8}}})");
    EXPECT_EQ(status.print_stats.info.total_layer, 120);
    EXPECT_EQ(status.print_stats.info.current_layer, 8);
}

TEST(StatusParsers, VirtualSdcardFollowsItsRules) {
    MachineStatus status;
    fold(status, R"({"virtual_sdcard":{"is_active":true,"progress":0.25,"file_position":1007,
                     "file_size":3000000000,"file_path":"/home/printer/gcodes/cube.gcode"}})");
    EXPECT_TRUE(status.virtual_sdcard.is_active);
    EXPECT_DOUBLE_EQ(status.virtual_sdcard.progress, 0.25);
    EXPECT_EQ(status.virtual_sdcard.file_position, 1007);
    EXPECT_EQ(status.virtual_sdcard.file_size, -1294967296);
    EXPECT_EQ(status.virtual_sdcard.file_path, "/home/printer/gcodes/cube.gcode");

    fold(status, R"({"virtual_sdcard":{"file_path":null,"is_active":null,"progress":null}})");
    EXPECT_EQ(status.virtual_sdcard.file_path, "");
    EXPECT_TRUE(status.virtual_sdcard.is_active);
    EXPECT_DOUBLE_EQ(status.virtual_sdcard.progress, 0.25);
}

TEST(StatusParsers, DisplayStatusReadsOnlyItsProgress) {
    MachineStatus status;
    fold(status, R"({"display_status":{"progress":0.5,"message":"Layer 3/10"}})");
    EXPECT_DOUBLE_EQ(status.display_status.progress, 0.5);
    EXPECT_EQ(status.display_status.message, "");
}

TEST(StatusParsers, IdleTimeoutKeepsItsStateOnNullWhileWebhooksClearsIt) {
    MachineStatus status;
    fold(status, R"({"idle_timeout":{"state":"Printing","printing_time":12.0},
                     "webhooks":{"state":"ready","state_message":"Printer is ready"}})");
    fold(status, R"({"idle_timeout":{"state":null},"webhooks":{"state":null,"state_message":null}})");
    EXPECT_EQ(status.idle_timeout.state, "Printing");
    EXPECT_DOUBLE_EQ(status.idle_timeout.printing_time, 12.0);
    EXPECT_EQ(status.webhooks.state, "");
    EXPECT_EQ(status.webhooks.state_message, "");
}

// --- Motion and thermal --------------------------------------------------------------------

TEST(StatusParsers, PositionArraysFillFromTheFirstSlot) {
    MachineStatus status;
    fold(status, R"({"gcode_move":{"position":[1,2,3,4],"gcode_position":[5,6,7,8]},
                     "toolhead":{"position":[1,2,3,4]}})");
    fold(status, R"({"gcode_move":{"position":[10.0,20.0,5.0],"gcode_position":[1,2,3,4,5],"homing_origin":null},
                     "toolhead":{"position":[10.0,20.0,5.0]},"bed_mesh":{"mesh_min":[0,0,1],"mesh_max":[200.5,190]}})");
    EXPECT_EQ(std::vector<double>(status.gcode_move.position, status.gcode_move.position + 4),
              (std::vector<double>{10, 20, 5, 4}));
    EXPECT_EQ(std::vector<double>(status.gcode_move.gcode_position, status.gcode_move.gcode_position + 4),
              (std::vector<double>{1, 2, 3, 4}));
    EXPECT_EQ(std::vector<double>(status.toolhead.position, status.toolhead.position + 4),
              (std::vector<double>{10, 20, 5, 4}));
    EXPECT_EQ(std::vector<double>(status.mesh_min, status.mesh_min + 2), (std::vector<double>{0, 0}));
    EXPECT_EQ(std::vector<double>(status.mesh_max, status.mesh_max + 2), (std::vector<double>{200.5, 190}));
}

TEST(StatusParsers, TheToolheadsHomingOriginWinsOverGcodeMovesInOneElement) {
    MachineStatus status;
    fold(status, R"({"toolhead":{"homing_origin":[9,9,9,9]},"gcode_move":{"homing_origin":[1,2,3,4]}})");
    EXPECT_EQ(std::vector<double>(status.gcode_move.homing_origin, status.gcode_move.homing_origin + 4),
              (std::vector<double>{9, 9, 9, 9}));
}

TEST(StatusParsers, GcodeMoveFlagsAndFactorsChangeOneByOne) {
    MachineStatus status;
    fold(status, R"({"gcode_move":{"absolute_coordinates":true,"absolute_extrude":true,"speed_factor":1.5}})");
    fold(status, R"({"gcode_move":{"absolute_extrude":false}})");
    EXPECT_TRUE(status.gcode_move.absolute_coordinates);
    EXPECT_FALSE(status.gcode_move.absolute_extrude);
    EXPECT_DOUBLE_EQ(status.gcode_move.speed_factor, 1.5);
}

TEST(StatusParsers, ToolheadTextsAreKeptOnNullAndStallsAreTruncated) {
    MachineStatus status;
    fold(status, R"({"toolhead":{"homed_axes":"xyz","extruder":"extruder","stalls":2.9,"max_velocity":300,
                     "max_accel":3000,"max_accel_to_decel":1500,"square_corner_velocity":5.0,
                     "print_time":1.5,"estimated_print_time":2.5}})");
    EXPECT_EQ(status.toolhead.stalls, 2);
    fold(status, R"({"toolhead":{"homed_axes":null,"extruder":null}})");
    EXPECT_EQ(status.toolhead.homed_axes, "xyz");
    EXPECT_EQ(status.toolhead.extruder, "extruder");
    fold(status, R"({"toolhead":{"homed_axes":""}})");
    EXPECT_EQ(status.toolhead.homed_axes, "");
    EXPECT_DOUBLE_EQ(status.toolhead.max_velocity, 300.0);
    EXPECT_DOUBLE_EQ(status.toolhead.max_accel, 3000.0);
    EXPECT_DOUBLE_EQ(status.toolhead.max_accel_to_decel, 1500.0);
    EXPECT_DOUBLE_EQ(status.toolhead.square_corner_velocity, 5.0);
    EXPECT_DOUBLE_EQ(status.toolhead.print_time, 1.5);
    EXPECT_DOUBLE_EQ(status.toolhead.estimated_print_time, 2.5);
}

TEST(StatusParsers, TheFansMaxPowerComesFromTheConfigurationOnly) {
    MachineStatus status;
    EXPECT_DOUBLE_EQ(status.fan.max_power, 1.0);
    EXPECT_DOUBLE_EQ(status.box_fan.max_power, 1.0);
    fold(status, R"({"configfile":{"save_config_pending":true,"settings":{"fan":{"max_power":0.8}}}})");
    EXPECT_DOUBLE_EQ(status.fan.max_power, 0.8);
    EXPECT_TRUE(status.save_config_pending);

    for (const char* element : {R"({"configfile":{"settings":{"extruder":{"max_power":0.5}}}})",
                                R"({"configfile":{"settings":{"fan":null}}})",
                                R"({"configfile":{"settings":["fan"]}})",
                                R"({"configfile":{"settings":{"fan":{"max_power":null}}}})",
                                R"({"fan":{"max_power":0.3},"fan_generic box_fan":{"max_power":0.3}})"}) {
        fold(status, element);
    }
    EXPECT_DOUBLE_EQ(status.fan.max_power, 0.8);
    EXPECT_DOUBLE_EQ(status.box_fan.max_power, 1.0);
    EXPECT_TRUE(status.save_config_pending);
}

TEST(StatusParsers, TemperatureCeilingsFollowTheModelWhenATargetArrives) {
    struct Case {
        const char* model;
        double extruder;
        double bed;
    };
    for (const Case& c : {Case{"Zorim Alto", 350.0, 120.0}, Case{"Zorim Brio", 300.0, 110.0},
                          Case{"Zorim Corsa", 300.0, 110.0}, Case{"", 0.0, 0.0}, Case{"zorim alto", 0.0, 0.0},
                          Case{"Zorim Alto ", 0.0, 0.0}}) {
        SCOPED_TRACE(c.model);
        MachineStatus status;
        status.model = c.model;
        fold(status, R"({"extruder":{"target":210},"heater_bed":{"target":60}})");
        EXPECT_DOUBLE_EQ(status.extruder.target, 210.0);
        EXPECT_DOUBLE_EQ(status.heater_bed.target, 60.0);
        EXPECT_DOUBLE_EQ(status.extruder.max_temperature, c.extruder);
        EXPECT_DOUBLE_EQ(status.heater_bed.max_temperature, c.bed);
    }
}

TEST(StatusParsers, CeilingsChangeOnlyWithASetTarget) {
    MachineStatus status;
    status.model = "Zorim Alto";
    fold(status, R"({"extruder":{"target":200},"heater_bed":{"target":60}})");
    status.model = "Zorim Brio";
    fold(status, R"({"extruder":{"temperature":180,"target":null},"heater_bed":{"temperature":55}})");
    EXPECT_DOUBLE_EQ(status.extruder.max_temperature, 350.0);
    EXPECT_DOUBLE_EQ(status.heater_bed.max_temperature, 120.0);

    // An unknown model leaves the earlier ceiling.
    status.model = "vm";
    fold(status, R"({"extruder":{"target":0},"heater_bed":{"target":0}})");
    EXPECT_DOUBLE_EQ(status.extruder.max_temperature, 350.0);
    EXPECT_DOUBLE_EQ(status.heater_bed.max_temperature, 120.0);

    // A target of the wrong type is not stored and sets no ceiling.
    status.model = "Zorim Brio";
    EXPECT_EQ(fold_with_problems(status, R"({"extruder":{"target":"hot"}})").size(), 1u);
    EXPECT_DOUBLE_EQ(status.extruder.target, 0.0);
    EXPECT_DOUBLE_EQ(status.extruder.max_temperature, 350.0);
}

// --- Chamber peripherals ------------------------------------------------------------------

TEST(StatusParsers, SwitchesAreOnAboveOneTenthOnly) {
    MachineStatus status;
    fold(status, R"({"output_pin box_led":{"value":0.11}})");
    EXPECT_TRUE(status.box_led_on);
    fold(status, R"({"output_pin box_led":{"value":0.1}})");
    EXPECT_FALSE(status.box_led_on);
    fold(status, R"({"output_pin box_led":{"value":1}})");
    EXPECT_TRUE(status.box_led_on);
    fold(status, R"({"output_pin box_led":{"value":null}})");
    EXPECT_TRUE(status.box_led_on);
    fold(status, R"({"output_pin box_led":{}})");
    EXPECT_TRUE(status.box_led_on);

    fold(status, R"({"output_pin drying_box_heater":{"value":0.5},"fan_generic box_fan":{"value":0.2}})");
    EXPECT_TRUE(status.drying_heater_on);
    EXPECT_TRUE(status.box_fan_on);
    fold(status, R"({"output_pin drying_box_heater":{"value":0},"fan_generic box_fan":{"value":0.05}})");
    EXPECT_FALSE(status.drying_heater_on);
    EXPECT_FALSE(status.box_fan_on);
}

TEST(StatusParsers, TheLastColouredLightAboveTheThresholdWinsAndNothingResetsIt) {
    MachineStatus status;
    fold(status, R"({"output_pin LED_WHITE":{"value":1.0},"output_pin LED_RED":{"value":1.0}})");
    EXPECT_EQ(status.led_colour, 2);
    fold(status, R"({"output_pin LED_ORANGE":{"value":0.5}})");
    EXPECT_EQ(status.led_colour, 1);
    fold(status, R"({"output_pin LED_WHITE":{"value":0},"output_pin LED_ORANGE":{"value":0},
                     "output_pin LED_RED":{"value":0.1}})");
    EXPECT_EQ(status.led_colour, 1);
    fold(status, R"({"output_pin LED_WHITE":{"value":0.2},"output_pin LED_ORANGE":{"value":0.2}})");
    EXPECT_EQ(status.led_colour, 1);
    fold(status, R"({"output_pin LED_WHITE":{"value":0.2}})");
    EXPECT_EQ(status.led_colour, 0);
}

TEST(StatusParsers, FanSpeedsAndRpmFollowTheirObjects) {
    MachineStatus status;
    fold(status, R"({"fan":{"speed":0.2,"rpm":1200}})");
    fold(status, R"({"fan":{"speed":0.5,"rpm":null}})");
    EXPECT_DOUBLE_EQ(status.fan.speed, 0.5);
    EXPECT_EQ(status.fan.rpm, 1200);
    fold(status, R"({"fan":{"rpm":3500.7}})");
    EXPECT_EQ(status.fan.rpm, 3500);

    // The box fan's switch and speed come from different keys.
    fold(status, R"({"fan_generic box_fan":{"speed":0.4,"rpm":900}})");
    EXPECT_DOUBLE_EQ(status.box_fan.speed, 0.4);
    EXPECT_EQ(status.box_fan.rpm, 900);
    EXPECT_FALSE(status.box_fan_on);
    fold(status, R"({"fan_generic box_fan":{"speed":0.4},"output_pin BOXFAN_pin":{"value":0.8}})");
    EXPECT_DOUBLE_EQ(status.box_fan.speed, 0.8);
    EXPECT_FALSE(status.box_fan_on);
    EXPECT_DOUBLE_EQ(status.fan.speed, 0.5);
}

// --- Wrongly typed members --------------------------------------------------------------------

TEST(StatusParsers, AWronglyTypedMemberIsSkippedAndTheRestOfTheElementApplied) {
    MachineStatus status;
    status.print_stats.filename = "old.gcode";
    const std::vector<std::string> problems = fold_with_problems(status, R"({
        "extruder":{"temperature":"hot","target":200,"can_extrude":1},
        "print_stats":{"filename":5,"state":"printing","print_duration":"long"},
        "virtual_sdcard":{"is_active":1,"progress":0.5},
        "toolhead":{"position":[1,"2",3],"homed_axes":7,"stalls":"none","max_velocity":true},
        "output_pin box_led":{"value":"on"},
        "webhooks":{"state":"ready"}})");
    EXPECT_EQ(problems.size(), 10u);
    for (const char* path : {"extruder/temperature", "extruder/can_extrude", "print_stats/filename",
                             "print_stats/print_duration", "virtual_sdcard/is_active", "toolhead/position",
                             "toolhead/homed_axes", "toolhead/stalls", "toolhead/max_velocity",
                             "output_pin box_led/value"}) {
        bool named = false;
        for (const std::string& problem : problems) named = named || problem.find(path) != std::string::npos;
        EXPECT_TRUE(named) << "no problem names " << path;
    }
    EXPECT_DOUBLE_EQ(status.extruder.temperature, 0.0);
    EXPECT_DOUBLE_EQ(status.extruder.target, 200.0);
    EXPECT_EQ(status.print_stats.filename, "old.gcode");
    EXPECT_EQ(status.print_stats.state, "printing");
    EXPECT_DOUBLE_EQ(status.virtual_sdcard.progress, 0.5);
    EXPECT_EQ(status.webhooks.state, "ready");
}

// --- Derivation --------------------------------------------------------------------------------

MachineStatus derived(std::int32_t connection_state, std::int32_t firmware_state, std::int32_t machine_state,
                      std::int32_t job_state, const std::string& print_state) {
    MachineStatus status;
    status.connection_state = connection_state;
    status.firmware_state = firmware_state;
    status.machine_state = machine_state;
    status.job_state = job_state;
    status.print_stats.state = print_state;
    derive_states(status);
    return status;
}

TEST(Derivation, PrintStatesGiveTheirJobStateAndBusyOrIdle) {
    struct Case {
        const char* state;
        std::int32_t job;
        std::int32_t machine;
    };
    // Unknown texts leave job_state as it was (here 0).
    for (const Case& c : {Case{"standby", 1, 4}, Case{"printing", 2, 5}, Case{"paused", 3, 5}, Case{"complete", 4, 4},
                          Case{"cancelled", 5, 4}, Case{"error", 6, 4}, Case{"", 0, 4}, Case{"Printing", 0, 4},
                          Case{"startup", 0, 4}}) {
        SCOPED_TRACE(c.state);
        for (std::int32_t connection_state : {0, 1}) {
            const MachineStatus status = derived(connection_state, 1, 0, 0, c.state);
            EXPECT_EQ(status.job_state, c.job);
            EXPECT_EQ(status.machine_state, c.machine);
        }
    }
}

TEST(Derivation, AClosedConnectionOrAFirmwareNotReadyOverridesThePrintState) {
    for (const char* state : {"printing", "standby", ""}) {
        SCOPED_TRACE(state);
        MachineStatus status = derived(3, 1, 6, 3, state);
        EXPECT_EQ(status.machine_state, 2);
        EXPECT_EQ(status.job_state, 3);
        status = derived(3, 4, 5, 3, state);
        EXPECT_EQ(status.machine_state, 2);
        for (std::int32_t firmware_state : {3, 4}) {
            status = derived(1, firmware_state, 6, 3, state);
            EXPECT_EQ(status.machine_state, 7);
            EXPECT_EQ(status.job_state, 3);
        }
    }
    EXPECT_EQ(derived(1, 0, 0, 0, "standby").machine_state, 4);  // firmware not known yet is not "not ready"
}

TEST(Derivation, CalibratingIsKeptUntilAPrintRuns) {
    MachineStatus status;
    status.machine_state = 6;
    status.print_stats.state = "standby";
    derive_states(status);
    EXPECT_EQ(status.machine_state, 6);
    status.print_stats.state = "complete";
    derive_states(status);
    EXPECT_EQ(status.machine_state, 6);
    status.print_stats.state = "printing";
    derive_states(status);
    EXPECT_EQ(status.machine_state, 5);
    status.print_stats.state = "complete";
    derive_states(status);
    EXPECT_EQ(status.machine_state, 4);
}

// --- G-code phrases -------------------------------------------------------------------------------

TEST(GcodePhrases, EachPhraseHasItsEffect) {
    struct Case {
        const char* phrase;
        std::int32_t load, unload, machine;
    };
    for (const Case& c : {Case{"unload_filament heating completed", 0, 2, 9},
                          Case{"unload_filament done", 0, 3, 9},
                          Case{"load_filament heating completed", 2, 0, 9},
                          Case{"load_filament done", 3, 0, 9},
                          Case{"BedLevel Done", 0, 0, 4},
                          Case{"bed level done", 0, 0, 4},
                          Case{"Vibration Compensation Done", 0, 0, 4},
                          Case{"Measuring Resonances done", 0, 0, 4},
                          Case{"BED LEVEL START", 0, 0, 6},
                          Case{"MEASURING RESONANCES START", 0, 0, 6}}) {
        SCOPED_TRACE(c.phrase);
        MachineStatus status;
        status.machine_state = 9;  // a value no phrase writes, to see whether one did
        const std::string text =
            std::string(R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":["// )") + c.phrase + "\"]}";
        EXPECT_TRUE(apply_gcode_phrases(status, text));
        EXPECT_EQ(status.load_filament_state, c.load);
        EXPECT_EQ(status.unload_filament_state, c.unload);
        EXPECT_EQ(status.machine_state, c.machine);
    }
}

TEST(GcodePhrases, TheFirstPhraseInTableOrderWinsAndOtherSpellingsMatchNothing) {
    MachineStatus status;
    apply_gcode_phrases(status, "BED LEVEL START ... bed level done");
    EXPECT_EQ(status.machine_state, 4);
    apply_gcode_phrases(status, "MEASURING RESONANCES START; load_filament done");
    EXPECT_EQ(status.load_filament_state, 3);
    EXPECT_EQ(status.machine_state, 4);

    MachineStatus other;
    other.machine_state = 6;
    for (const char* text : {"Bed Level Done", "BEDLEVEL DONE", "bed level start", "Unload_Filament Done",
                             "measuring resonances done", "load filament done", ""}) {
        EXPECT_FALSE(apply_gcode_phrases(other, text)) << text;
    }
    EXPECT_EQ(other.machine_state, 6);
    EXPECT_EQ(other.load_filament_state, 0);
    EXPECT_EQ(other.unload_filament_state, 0);
}

TEST(GcodePhrases, FilamentProgressIsNeverReset) {
    MachineStatus status;
    apply_gcode_phrases(status, "load_filament done");
    apply_gcode_phrases(status, "ok");
    apply_gcode_phrases(status, "unload_filament heating completed");
    EXPECT_EQ(status.load_filament_state, 3);
    EXPECT_EQ(status.unload_filament_state, 2);
    apply_gcode_phrases(status, "load_filament heating completed");
    EXPECT_EQ(status.load_filament_state, 2);
}

// --- Status elements through the router ------------------------------------------------------

class StatusUpdate : public ::testing::Test {
protected:
    MachineStatus status;
    RouteResult result;
    const PrinterView printer{"dev", true, true};

    void update(const std::string& element) { apply_status_element(printer, json::parse(element), status, result); }
    void route(const std::string& message) { route_message(printer, message, status, result); }
    std::size_t reports() const { return result.records.size(); }
    const MachineStatus& last_report() const { return result.records.back(); }
    std::vector<std::string> errors() const {
        std::vector<std::string> texts;
        for (const Action& action : result.actions) {
            if (action.kind == ActionKind::log_error) texts.push_back(action.text);
        }
        return texts;
    }
};

TEST_F(StatusUpdate, EveryElementCountsDerivesAndReportsEvenWithoutObjects) {
    update("1234.5");
    update("{}");
    ASSERT_EQ(reports(), 2u);
    EXPECT_EQ(result.status_updates, 2);
    EXPECT_EQ(last_report().machine_state, 4);
    EXPECT_DOUBLE_EQ(last_report().fan.max_power, 1.0);

    // Without a receiver no record is copied, but the element is still counted.
    RouteResult uncopied;
    apply_status_element(PrinterView{"dev", true, false}, json::parse("{}"), status, uncopied);
    EXPECT_TRUE(uncopied.records.empty());
    ASSERT_EQ(uncopied.actions.size(), 1u);
    EXPECT_EQ(uncopied.actions[0].kind, ActionKind::report_status);
    EXPECT_EQ(uncopied.status_updates, 1);
}

TEST_F(StatusUpdate, APrintStateTakesEffectInItsOwnElementsReport) {
    update(R"({"print_stats":{"state":"paused"}})");
    EXPECT_EQ(last_report().job_state, 3);
    EXPECT_EQ(last_report().machine_state, 5);
    update(R"({"print_stats":{"state":"printing"}})");
    update(R"({"extruder":{"temperature":210.0}})");
    EXPECT_EQ(last_report().job_state, 2);
    EXPECT_EQ(last_report().machine_state, 5);
    EXPECT_DOUBLE_EQ(last_report().extruder.temperature, 210.0);
}

TEST_F(StatusUpdate, CalibrationFromTheConsoleShowsInTheNextReport) {
    update(R"({"print_stats":{"state":"standby"}})");
    const std::size_t before = reports();
    route(R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":["BED LEVEL START"]})");
    EXPECT_EQ(reports(), before);
    update(R"({"extruder":{"temperature":25.0}})");
    EXPECT_EQ(last_report().machine_state, 6);
    update(R"({"print_stats":{"state":"printing"}})");
    EXPECT_EQ(last_report().machine_state, 5);
    update(R"({"print_stats":{"state":"complete"}})");
    EXPECT_EQ(last_report().machine_state, 4);
}

TEST_F(StatusUpdate, AWronglyTypedMemberIsLoggedAndTheElementStillReported) {
    update(R"({"extruder":{"temperature":"hot","target":200},"print_stats":{"state":"printing"}})");
    ASSERT_EQ(reports(), 1u);
    EXPECT_DOUBLE_EQ(last_report().extruder.target, 200.0);
    EXPECT_EQ(last_report().machine_state, 5);
    // The record is logged before it is reported.
    ASSERT_EQ(result.actions.size(), 2u);
    EXPECT_EQ(result.actions[1].kind, ActionKind::report_status);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_NE(errors()[0].find("dev"), std::string::npos) << errors()[0];
    EXPECT_NE(errors()[0].find("extruder/temperature"), std::string::npos) << errors()[0];
}

TEST_F(StatusUpdate, TheCeilingFollowsTheIdentityFromPrinterInfo) {
    route(R"({"jsonrpc":"2.0","result":{"hostname":"zorim","cpu_info":"4 core"},"id":3})");
    update(R"({"extruder":{"target":210},"heater_bed":{"target":60}})");
    EXPECT_DOUBLE_EQ(last_report().extruder.max_temperature, 350.0);
    EXPECT_DOUBLE_EQ(last_report().heater_bed.max_temperature, 120.0);
}

TEST_F(StatusUpdate, TheRecordedSubscriptionReplyFillsTheRecord) {
    // Sixth frame: the reply to the subscription of all 26 objects.
    const json reply = json::parse(test::read_fixture_lines("klipper_sim_session.jsonl").at(5));
    update(reply.at("result").at("status").dump());

    EXPECT_TRUE(errors().empty()) << errors().front();
    const MachineStatus& s = last_report();
    EXPECT_EQ(s.webhooks.state, "ready");
    EXPECT_EQ(s.webhooks.state_message, "Printer is ready");
    EXPECT_DOUBLE_EQ(s.gcode_move.speed, 1500.0);
    EXPECT_TRUE(s.gcode_move.absolute_coordinates);
    EXPECT_EQ(std::vector<double>(s.toolhead.axis_maximum, s.toolhead.axis_maximum + 4),
              (std::vector<double>{220, 220, 200, 0}));
    EXPECT_DOUBLE_EQ(s.toolhead.print_time, 87.65539746);
    EXPECT_DOUBLE_EQ(s.toolhead.max_velocity, 300.0);
    EXPECT_DOUBLE_EQ(s.toolhead.max_accel, 3000.0);
    EXPECT_DOUBLE_EQ(s.toolhead.max_accel_to_decel, 0.0);  // this Klipper no longer sends it
    EXPECT_DOUBLE_EQ(s.toolhead.square_corner_velocity, 5.0);
    EXPECT_EQ(s.toolhead.extruder, "extruder");
    EXPECT_DOUBLE_EQ(s.extruder.smooth_time, 0.04);
    EXPECT_FALSE(s.extruder.can_extrude);
    EXPECT_EQ(s.idle_timeout.state, "Idle");
    EXPECT_EQ(s.print_stats.state, "standby");
    EXPECT_EQ(s.print_stats.filename, "");
    EXPECT_EQ(s.print_stats.info.total_layer, 0);
    EXPECT_EQ(s.virtual_sdcard.file_path, "");
    EXPECT_DOUBLE_EQ(s.fan.max_power, 1.0);
    EXPECT_EQ(s.fan.rpm, 0);
    EXPECT_FALSE(s.save_config_pending);
    EXPECT_EQ(s.job_state, 1);
    EXPECT_EQ(s.machine_state, 4);
}

TEST_F(StatusUpdate, RecordedPrintingUpdatesFoldIntoTheJobsProgress) {
    // Every status element of the recorded session up to the end of its first
    // print (frame 550 reports "complete").
    const std::vector<std::string> frames = test::read_fixture_lines("klipper_sim_session.jsonl");
    bool saw_printing = false;
    for (std::size_t i = 0; i <= 549; ++i) {
        const json message = json::parse(frames.at(i));
        if (message.value("method", "") == "notify_status_update") {
            for (const json& element : message.at("params")) apply_status_element(printer, element, status, result);
        } else if (message.contains("result") && message.at("result").is_object() &&
                   message.at("result").contains("status")) {
            apply_status_element(printer, message.at("result").at("status"), status, result);
        }
        saw_printing = saw_printing || (reports() > 0 && last_report().machine_state == 5);
    }
    EXPECT_TRUE(saw_printing);
    EXPECT_TRUE(errors().empty()) << errors().front();
    const MachineStatus& s = last_report();
    EXPECT_EQ(s.print_stats.state, "complete");
    EXPECT_EQ(s.print_stats.filename, "cube_sim.gcode");
    EXPECT_EQ(s.job_state, 4);
    EXPECT_EQ(s.machine_state, 4);
    EXPECT_EQ(s.virtual_sdcard.file_size, 3313);
    EXPECT_GT(s.print_stats.print_duration, 30.0);
    EXPECT_DOUBLE_EQ(s.display_status.progress, 1.0);
}

}  // namespace
}  // namespace zorim
