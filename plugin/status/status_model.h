// The status model: how Klipper's objects fold into the status record, and
// how the record's state members follow from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "zorim_network/machine_status.h"

namespace zorim {

// Runs every object parser, in their fixed order, on one status element (an
// object keyed by Klipper object name; anything else changes nothing). A
// member whose value has the wrong type is skipped and described in
// `problems`; the other members of the element are still applied.
void apply_object_parsers(MachineStatus& status, const nlohmann::json& element, std::vector<std::string>& problems);

// --- A status element read straight from its text ----------------------------
//
// A reader may hand the parsers the values it found instead of a parsed
// element: for each member that a field starts at, the fields it feeds and
// the value, in the order of the text. The record then changes exactly as
// apply_object_parsers changes it for the parsed element.

// One bit per field of the parser table, in the order the fields are applied.
using FieldMask = std::uint64_t;

// A value as the reader found it. Strings hold their characters as written
// (the reader takes no escapes); objects and arrays hold their whole JSON
// text, and an array also the numbers it starts with.
struct FieldValue {
    enum class Kind : std::uint8_t { null, boolean, integer, unsigned_integer, floating, text, composite };
    static constexpr std::size_t kLeadingNumbers = 4;

    Kind kind;
    // Arrays: how many of `numbers` hold its first elements, all numbers, and
    // whether the array has no more elements than those.
    std::uint8_t leading_numbers;
    bool whole_array;
    union {
        bool boolean;
        std::int64_t integer;
        std::uint64_t unsigned_integer;
        double floating;
    };
    const char* text;  // text and composite: the characters
    std::size_t text_size;
    double numbers[kLeadingNumbers];

    bool is_number() const { return kind == Kind::integer || kind == Kind::unsigned_integer || kind == Kind::floating; }
    // A number as the number rule reads it: converted to a double.
    double as_double() const {
        if (kind == Kind::integer) return static_cast<double>(integer);
        if (kind == Kind::unsigned_integer) return static_cast<double>(unsigned_integer);
        return floating;
    }
};

struct FieldEntry {
    FieldMask fields;
    FieldValue value;
};

// The fields of every parser of one Klipper object.
struct ObjectFields;
// Null when no parser reads `object`.
const ObjectFields* object_fields_of(std::string_view object);
// All the fields of the object: a repeated object, or one that is not an
// object, replaces what its earlier value gave them.
FieldMask all_fields(const ObjectFields& object);
// The fields whose path starts at `key` in the object.
FieldMask fields_at(const ObjectFields& object, std::string_view key);

// Applies the values, a later entry winning over an earlier one for a field,
// with the rules, order and problems of apply_object_parsers.
void apply_field_entries(MachineStatus& status, const FieldEntry* begin, const FieldEntry* end,
                         std::vector<std::string>& problems);

// machine_state and job_state from the record as it stands.
void derive_states(MachineStatus& status);

// The effect of a G-code console text on the record: the first of the known
// phrases found in `text` wins. Returns whether one was found.
bool apply_gcode_phrases(MachineStatus& status, const std::string& text);

}  // namespace zorim
