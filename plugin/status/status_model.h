// The status model: how Klipper's objects fold into the status record, and
// how the record's state members follow from it.
#pragma once

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

// The members of a status element that the object parsers read: the objects
// they parse and, in each, the first keys of its fields. A reader may leave
// everything else out of an element and the parsers give the same record.
struct ReadKeys;
// The keys read in `object`, or null when no parser reads the object.
const ReadKeys* read_keys_of(std::string_view object);
bool reads_key(const ReadKeys& keys, std::string_view key);

// machine_state and job_state from the record as it stands.
void derive_states(MachineStatus& status);

// The effect of a G-code console text on the record: the first of the known
// phrases found in `text` wins. Returns whether one was found.
bool apply_gcode_phrases(MachineStatus& status, const std::string& text);

}  // namespace zorim
