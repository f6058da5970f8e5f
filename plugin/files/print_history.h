// The newest job of the printer's print history, kept in the status record.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "zorim_network/machine_status.h"

namespace zorim {

// Folds one Moonraker history job object into `record`. Members whose key is
// absent or null keep their value (the record is never cleared); a member of
// the wrong type is skipped and described in `problems`. A `job` that is not
// an object, or a "metadata" that is not one, changes nothing at that level.
void apply_job_fields(PrintJobRecord& record, const nlohmann::json& job, std::vector<std::string>& problems);

}  // namespace zorim
