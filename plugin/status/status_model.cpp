#include "status/status_model.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include "status/reading_rules.h"

namespace zorim {
namespace {

using nlohmann::json;

// --- The parser table ----------------------------------------------------------
//
// One row per Klipper object, in the order the parsers run; one field per key,
// in the order the keys are read. Adding a key is adding a field.

enum class Rule {
    number,        // float64 member
    integer,       // int32 member
    layer,         // int32 member, only from a JSON integer; anything else is ignored
    flag,          // bool member
    text_cleared,  // text member; null stores the empty text
    text_kept,     // text member; null keeps the text
    array,         // float64[N] member
    switch_on,     // bool member: on when the number is greater than 0.1
    colour,        // led_colour takes the field's colour when the number is greater than 0.1
};

enum class Ceiling { none, extruder, heater_bed };

using NumberAt = double* (*)(MachineStatus&);
using IntegerAt = std::int32_t* (*)(MachineStatus&);
using FlagAt = bool* (*)(MachineStatus&);
using TextAt = std::string* (*)(MachineStatus&);

struct Field {
    std::array<const char*, 3> path{};  // keys below the object; unused ones null
    Rule rule = Rule::number;
    NumberAt number = nullptr;          // number and array rules
    IntegerAt integer = nullptr;
    FlagAt flag = nullptr;              // flag and switch rules
    TextAt text = nullptr;
    std::size_t slots = 0;              // array rule
    std::int32_t colour = 0;            // colour rule
    Ceiling ceiling = Ceiling::none;    // set after the number is stored
};

struct Path {
    Path(const char* key) : keys{key, nullptr, nullptr} {}  // NOLINT: a single key reads naturally
    Path(std::initializer_list<const char*> list) {
        std::size_t i = 0;
        for (const char* key : list) keys[i++] = key;
    }
    std::array<const char*, 3> keys{};
};

Field field(Path path, Rule rule) {
    Field f;
    f.path = path.keys;
    f.rule = rule;
    return f;
}
Field number(Path path, NumberAt at, Ceiling ceiling = Ceiling::none) {
    Field f = field(path, Rule::number);
    f.number = at;
    f.ceiling = ceiling;
    return f;
}
Field integer(Path path, IntegerAt at, Rule rule = Rule::integer) {
    Field f = field(path, rule);
    f.integer = at;
    return f;
}
Field layer(Path path, IntegerAt at) { return integer(path, at, Rule::layer); }
Field flag(Path path, FlagAt at, Rule rule = Rule::flag) {
    Field f = field(path, rule);
    f.flag = at;
    return f;
}
Field switch_on(Path path, FlagAt at) { return flag(path, at, Rule::switch_on); }
Field text(Path path, TextAt at, Rule rule) {
    Field f = field(path, rule);
    f.text = at;
    return f;
}
Field text_cleared(Path path, TextAt at) { return text(path, at, Rule::text_cleared); }
Field text_kept(Path path, TextAt at) { return text(path, at, Rule::text_kept); }
Field array(Path path, NumberAt at, std::size_t slots) {
    Field f = field(path, Rule::array);
    f.number = at;
    f.slots = slots;
    return f;
}
Field colour(Path path, std::int32_t value) {
    Field f = field(path, Rule::colour);
    f.colour = value;
    return f;
}

#define AT(member) [](MachineStatus& s) { return &s.member; }
#define SLOTS(member) \
    [](MachineStatus& s) -> double* { return s.member; }, sizeof(MachineStatus{}.member) / sizeof(double)

struct ObjectParser {
    const char* object;
    std::vector<Field> fields;
};

const std::vector<ObjectParser>& object_parsers() {
    static const std::vector<ObjectParser> parsers = {
        {"output_pin box_led", {switch_on("value", AT(box_led_on))}},
        {"fan_generic box_fan", {switch_on("value", AT(box_fan_on))}},
        {"output_pin drying_box_heater", {switch_on("value", AT(drying_heater_on))}},
        // Examined white, orange, red: with several on, the last one wins.
        {"output_pin LED_WHITE", {colour("value", kLedWhite)}},
        {"output_pin LED_ORANGE", {colour("value", kLedOrange)}},
        {"output_pin LED_RED", {colour("value", kLedRed)}},
        {"webhooks",
         {text_cleared("state", AT(webhooks.state)), text_cleared("state_message", AT(webhooks.state_message))}},
        {"gcode_move",
         {number("speed_factor", AT(gcode_move.speed_factor)), number("speed", AT(gcode_move.speed)),
          number("extrude_factor", AT(gcode_move.extrude_factor)),
          flag("absolute_coordinates", AT(gcode_move.absolute_coordinates)),
          flag("absolute_extrude", AT(gcode_move.absolute_extrude)),
          array("homing_origin", SLOTS(gcode_move.homing_origin)), array("position", SLOTS(gcode_move.position)),
          array("gcode_position", SLOTS(gcode_move.gcode_position))}},
        {"toolhead",
         {text_kept("homed_axes", AT(toolhead.homed_axes)), text_kept("extruder", AT(toolhead.extruder)),
          number("print_time", AT(toolhead.print_time)),
          number("estimated_print_time", AT(toolhead.estimated_print_time)),
          number("max_velocity", AT(toolhead.max_velocity)), number("max_accel", AT(toolhead.max_accel)),
          number("max_accel_to_decel", AT(toolhead.max_accel_to_decel)),
          number("square_corner_velocity", AT(toolhead.square_corner_velocity)),
          integer("stalls", AT(toolhead.stalls)),
          // The toolhead's homing origin lands in the gcode_move record and,
          // running later, wins over gcode_move's own within one element.
          array("homing_origin", SLOTS(gcode_move.homing_origin)), array("position", SLOTS(toolhead.position)),
          array("axis_minimum", SLOTS(toolhead.axis_minimum)), array("axis_maximum", SLOTS(toolhead.axis_maximum))}},
        {"configfile",
         {flag("save_config_pending", AT(save_config_pending)),
          number({"settings", "fan", "max_power"}, AT(fan.max_power))}},
        {"extruder",
         {flag("can_extrude", AT(extruder.can_extrude)), number("temperature", AT(extruder.temperature)),
          number("target", AT(extruder.target), Ceiling::extruder), number("power", AT(extruder.power)),
          number("pressure_advance", AT(extruder.pressure_advance)),
          number("smooth_time", AT(extruder.smooth_time))}},
        {"heater_bed",
         {number("temperature", AT(heater_bed.temperature)),
          number("target", AT(heater_bed.target), Ceiling::heater_bed), number("power", AT(heater_bed.power))}},
        {"fan", {number("speed", AT(fan.speed)), integer("rpm", AT(fan.rpm))}},
        {"fan_generic box_fan", {number("speed", AT(box_fan.speed)), integer("rpm", AT(box_fan.rpm))}},
        // The pin's value is read after the generic fan's speed and wins.
        {"output_pin BOXFAN_pin", {number("value", AT(box_fan.speed))}},
        {"idle_timeout",
         {number("printing_time", AT(idle_timeout.printing_time)), text_kept("state", AT(idle_timeout.state))}},
        {"virtual_sdcard",
         {flag("is_active", AT(virtual_sdcard.is_active)), number("progress", AT(virtual_sdcard.progress)),
          integer("file_position", AT(virtual_sdcard.file_position)),
          integer("file_size", AT(virtual_sdcard.file_size)),
          text_cleared("file_path", AT(virtual_sdcard.file_path))}},
        {"print_stats",
         {number("total_duration", AT(print_stats.total_duration)),
          number("print_duration", AT(print_stats.print_duration)),
          number("filament_used", AT(print_stats.filament_used)), text_cleared("filename", AT(print_stats.filename)),
          text_cleared("state", AT(print_stats.state)), text_cleared("message", AT(print_stats.message)),
          layer({"info", "total_layer"}, AT(print_stats.info.total_layer)),
          layer({"info", "current_layer"}, AT(print_stats.info.current_layer))}},
        {"display_status", {number("progress", AT(display_status.progress))}},
        {"bed_mesh", {array("mesh_min", SLOTS(mesh_min)), array("mesh_max", SLOTS(mesh_max))}},
    };
    return parsers;
}

#undef AT
#undef SLOTS

// Temperature ceilings by model name, compared whole and case-sensitively.
struct ModelCeiling {
    std::string_view model;
    double extruder;
    double heater_bed;
};

constexpr ModelCeiling kModelCeilings[] = {
    {"Zorim Alto", 350.0, 120.0},
    {"Zorim Brio", 300.0, 110.0},
    {"Zorim Corsa", 300.0, 110.0},
};

void apply_ceiling(MachineStatus& status, Ceiling ceiling) {
    for (const ModelCeiling& row : kModelCeilings) {
        if (row.model != status.model) continue;
        if (ceiling == Ceiling::extruder) status.extruder.max_temperature = row.extruder;
        if (ceiling == Ceiling::heater_bed) status.heater_bed.max_temperature = row.heater_bed;
        return;
    }
}

constexpr double kSwitchThreshold = 0.1;

// The number of the lowest set bit; `bits` is not zero.
std::size_t lowest_row(std::uint64_t bits) {
#if defined(_MSC_VER)
    unsigned long row = 0;
    _BitScanForward64(&row, bits);
    return row;
#else
    return static_cast<std::size_t>(__builtin_ctzll(bits));
#endif
}

// Applies one field to the record. `value` is the field's value, present in
// its object (it may be null).
void apply_field(MachineStatus& status, const Field& field, const json& value) {
    if (value.is_null()) {
        if (field.rule == Rule::text_cleared) field.text(status)->clear();
        return;  // every other rule leaves the member as it is
    }
    switch (field.rule) {
        case Rule::number:
            *field.number(status) = read_number(value);
            if (field.ceiling != Ceiling::none) apply_ceiling(status, field.ceiling);
            break;
        case Rule::integer:
            *field.integer(status) = read_integer(value);
            break;
        case Rule::layer:
            if (value.is_number_integer()) *field.integer(status) = read_integer(value);
            break;
        case Rule::flag:
            *field.flag(status) = read_flag(value);
            break;
        case Rule::text_cleared:
        case Rule::text_kept:
            *field.text(status) = read_text(value);
            break;
        case Rule::array:
            read_array(value, field.number(status), field.slots);
            break;
        case Rule::switch_on:
            *field.flag(status) = read_number(value) > kSwitchThreshold;
            break;
        case Rule::colour:
            if (read_number(value) > kSwitchThreshold) status.led_colour = field.colour;
            break;
    }
}

// The value a field's path leads to below its first key's `value`, or null
// when a level is missing or not an object.
const json* follow_rest(const json& value, const Field& field) {
    const json* level = &value;
    for (std::size_t i = 1; i < field.path.size() && field.path[i] != nullptr; ++i) {
        if (!level->is_object()) return nullptr;
        auto found = level->find(field.path[i]);
        if (found == level->end()) return nullptr;
        level = &*found;
    }
    return level;
}

// Fields are numbered across all parsers, in the order they are applied; a
// mask holds one bit per field.
constexpr std::size_t kMaxRows = 64;

std::string describe_path(const char* object, const Field& field) {
    std::string path = object;
    for (const char* key : field.path) {
        if (key == nullptr) break;
        path += '/';
        path += key;
    }
    return path;
}

}  // namespace

// --- Values read straight from the text -------------------------------------
//
// The fields of all parsers numbered in table order, which is the order
// apply_object_parsers applies them in, and by object name the fields each
// key starts.

struct ObjectFields {
    FieldMask all = 0;
    std::vector<std::pair<std::string_view, FieldMask>> by_key;
};

namespace {

struct FlatField {
    const char* object;
    const Field* field;
};

// Object names to their fields, looked up once per object of every status
// element: open addressing over a power of two with an inline hash, which
// costs a fraction of a general map's lookup.
class ObjectIndex {
public:
    ObjectFields& add(std::string_view name) {
        Slot& slot = slots_[slot_of(name)];
        if (slot.fields == nullptr) {
            if (++used_ * 2 > kSlots) throw std::logic_error("too many parsed objects for the object index");
            slot.name = name;
            slot.fields = std::make_unique<ObjectFields>();
        }
        return *slot.fields;
    }

    const ObjectFields* find(std::string_view name) const { return slots_[slot_of(name)].fields.get(); }

private:
    static constexpr std::size_t kSlots = 128;
    struct Slot {
        std::string_view name;
        std::unique_ptr<ObjectFields> fields;  // null while the slot is free
    };

    // The length and three characters tell Klipper's object names apart well
    // enough; probing settles the rest.
    static std::size_t hash(std::string_view name) {
        if (name.empty()) return 0;
        auto at = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(name[i])); };
        std::uint32_t h = static_cast<std::uint32_t>(name.size()) * 2654435761u;
        h ^= at(0) * 40503u ^ at(name.size() - 1) * 2246822519u ^ at(name.size() / 2) * 3266489917u;
        return h ^ (h >> 15);
    }
    // The slot holding `name`, or the free slot where it would go.
    std::size_t slot_of(std::string_view name) const {
        for (std::size_t i = hash(name);; ++i) {
            const std::size_t at = i & (kSlots - 1);
            if (slots_[at].fields == nullptr || slots_[at].name == name) return at;
        }
    }

    std::array<Slot, kSlots> slots_;
    std::size_t used_ = 0;
};

struct FieldTable {
    std::vector<FlatField> fields;  // by field number
    ObjectIndex by_object;
};

const FieldTable& field_table() {
    static const FieldTable table = [] {
        FieldTable built;
        for (const ObjectParser& parser : object_parsers()) {
            ObjectFields& object = built.by_object.add(parser.object);
            for (const Field& field : parser.fields) {
                if (built.fields.size() == kMaxRows) throw std::logic_error("too many fields for a field mask");
                const FieldMask bit = FieldMask{1} << built.fields.size();
                built.fields.push_back(FlatField{parser.object, &field});
                object.all |= bit;
                auto key = std::find_if(object.by_key.begin(), object.by_key.end(),
                                        [&](const auto& entry) { return entry.first == field.path[0]; });
                if (key == object.by_key.end()) object.by_key.emplace_back(field.path[0], bit);
                else key->second |= bit;
            }
        }
        return built;
    }();
    return table;
}

bool single_key(const Field& field) { return field.path[1] == nullptr; }

bool is_text_rule(Rule rule) { return rule == Rule::text_cleared || rule == Rule::text_kept; }

json scalar_json(const FieldValue& value) {
    switch (value.kind) {
        case FieldValue::Kind::null: return json(nullptr);
        case FieldValue::Kind::boolean: return json(value.boolean);
        case FieldValue::Kind::integer: return json(value.integer);
        case FieldValue::Kind::unsigned_integer: return json(value.unsigned_integer);
        case FieldValue::Kind::floating: return json(value.floating);
        case FieldValue::Kind::text: return json(std::string(value.text, value.text_size));
        case FieldValue::Kind::composite: break;
    }
    return json::parse(value.text, value.text + value.text_size);
}

// One field from the value its first key holds. The frequent cases are
// applied directly; everything else goes through the parsed value and
// apply_field, which is what they mean.
void apply_field_value(MachineStatus& status, const Field& field, const FieldValue& value) {
    if (single_key(field)) {
        if (field.rule == Rule::number && value.is_number()) {
            // read_number: any JSON number, as a double.
            *field.number(status) = value.as_double();
            if (field.ceiling != Ceiling::none) apply_ceiling(status, field.ceiling);
            return;
        }
        if (value.kind == FieldValue::Kind::text && is_text_rule(field.rule)) {
            field.text(status)->assign(value.text, value.text_size);
            return;
        }
        if (value.kind == FieldValue::Kind::composite && field.rule == Rule::array &&
            (value.whole_array || value.leading_numbers >= field.slots)) {
            // read_array stores the leading numbers and stops at the slots.
            double* target = field.number(status);
            const std::size_t count = std::min<std::size_t>(value.leading_numbers, field.slots);
            for (std::size_t i = 0; i < count; ++i) target[i] = value.numbers[i];
            return;
        }
    }
    const json parsed = scalar_json(value);
    if (const json* target = follow_rest(parsed, field)) apply_field(status, field, *target);
}

}  // namespace

const ObjectFields* object_fields_of(std::string_view object) {
    const FieldTable& table = field_table();
    return table.by_object.find(object);
}

FieldMask all_fields(const ObjectFields& object) { return object.all; }

FieldMask fields_at(const ObjectFields& object, std::string_view key) {
    for (const auto& entry : object.by_key) {
        // The first character settles most mismatches without a comparison call.
        if (entry.first.size() == key.size() && !key.empty() && entry.first[0] == key[0] && entry.first == key) {
            return entry.second;
        }
    }
    return 0;
}

namespace {

// Applies the fields of `given` in their order; `apply(number, field)` does
// one. A field whose value has the wrong type is skipped and described in
// `problems`; the others are still applied.
template <typename Apply>
void apply_given(FieldMask given, std::vector<std::string>& problems, Apply&& apply) {
    const FieldTable& table = field_table();
    for (; given != 0; given &= given - 1) {
        const std::size_t number = lowest_row(given);
        const FlatField& flat = table.fields[number];
        try {
            apply(number, *flat.field);
        } catch (const std::exception& e) {
            problems.push_back(describe_path(flat.object, *flat.field) + ": " + e.what());
        }
    }
}

}  // namespace

void apply_field_entries(MachineStatus& status, const FieldEntry* begin, const FieldEntry* end,
                         std::vector<std::string>& problems) {
    std::array<const FieldValue*, kMaxRows> values;  // read only where `given` has the bit
    FieldMask given = 0;
    for (const FieldEntry* entry = begin; entry != end; ++entry) {
        given |= entry->fields;
        for (FieldMask bits = entry->fields; bits != 0; bits &= bits - 1) values[lowest_row(bits)] = &entry->value;
    }
    apply_given(given, problems,
                [&](std::size_t number, const Field& field) { apply_field_value(status, field, *values[number]); });
}

void apply_object_parsers(MachineStatus& status, const json& element, std::vector<std::string>& problems) {
    if (!element.is_object()) return;
    // Each object and key is looked up once; the fields then run in order.
    std::array<const json*, kMaxRows> starts;  // read only where `given` has the bit
    FieldMask given = 0;
    for (auto object = element.begin(); object != element.end(); ++object) {
        const ObjectFields* fields = object_fields_of(object.key());
        if (fields == nullptr || !object.value().is_object()) continue;
        for (auto member = object.value().begin(); member != object.value().end(); ++member) {
            const FieldMask mask = fields_at(*fields, member.key());
            given |= mask;
            for (FieldMask bits = mask; bits != 0; bits &= bits - 1) starts[lowest_row(bits)] = &member.value();
        }
    }
    apply_given(given, problems, [&](std::size_t number, const Field& field) {
        if (const json* value = follow_rest(*starts[number], field)) apply_field(status, field, *value);
    });
}

void derive_states(MachineStatus& status) {
    if (status.connection_state == kConnectionClosed) {
        status.machine_state = kMachineOffline;
        return;
    }
    if (status.firmware_state == kFirmwareDisconnected || status.firmware_state == kFirmwareShutdown) {
        status.machine_state = kMachineFirmwareNotReady;
        return;
    }
    if (status.machine_state != kMachineCalibrating) status.machine_state = kMachineIdle;

    struct PrintState {
        std::string_view text;
        std::int32_t job_state;
        bool busy;
    };
    static constexpr PrintState kPrintStates[] = {
        {"standby", kJobStandby, false},  {"printing", kJobPrinting, true},
        {"paused", kJobPaused, true},     {"complete", kJobComplete, false},
        {"cancelled", kJobCancelled, false}, {"error", kJobError, false},
    };
    for (const PrintState& row : kPrintStates) {
        if (row.text != status.print_stats.state) continue;
        status.job_state = row.job_state;
        if (row.busy) status.machine_state = kMachineBusy;
        return;
    }
}

bool apply_gcode_phrases(MachineStatus& status, const std::string& text) {
    enum class Target { unload, load, machine };
    struct Phrase {
        std::string_view text;
        Target target;
        std::int32_t value;
    };
    // The order matters: the unload phrases contain the load phrases, and the
    // completion phrases are tested before the start phrases.
    static constexpr Phrase kPhrases[] = {
        {"unload_filament heating completed", Target::unload, kFilamentHeated},
        {"unload_filament done", Target::unload, kFilamentDone},
        {"load_filament heating completed", Target::load, kFilamentHeated},
        {"load_filament done", Target::load, kFilamentDone},
        {"BedLevel Done", Target::machine, kMachineIdle},
        {"bed level done", Target::machine, kMachineIdle},
        {"Vibration Compensation Done", Target::machine, kMachineIdle},
        {"Measuring Resonances done", Target::machine, kMachineIdle},
        {"BED LEVEL START", Target::machine, kMachineCalibrating},
        {"MEASURING RESONANCES START", Target::machine, kMachineCalibrating},
    };
    for (const Phrase& phrase : kPhrases) {
        if (text.find(phrase.text) == std::string::npos) continue;
        switch (phrase.target) {
            case Target::unload: status.unload_filament_state = phrase.value; break;
            case Target::load: status.load_filament_state = phrase.value; break;
            case Target::machine: status.machine_state = phrase.value; break;
        }
        return true;
    }
    return false;
}

}  // namespace zorim
