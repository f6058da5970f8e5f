// The newest job of the printer's print history, kept in the status record.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "zorim_network/machine_status.h"

namespace zorim {

// Folds one Moonraker history job object into `record`. Members whose key is
// absent or null keep their value; a member of the wrong type is skipped and
// described in `problems`. A `job` that is not an object, or a "metadata"
// that is not one, changes nothing at that level. A job whose "job_id" is
// another than the record's is another print, maybe of a file without a
// slicer header: the members that describe the file (its name and every
// metadata member) are cleared before it is folded in, so that they never
// show the earlier job's file. Returns whether `job` was an object.
bool apply_job_fields(PrintJobRecord& record, const nlohmann::json& job, std::vector<std::string>& problems);

}  // namespace zorim
