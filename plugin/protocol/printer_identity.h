// The printer's identity from its printer.info reply: Klipper state, a model
// name derived from the host name, and the software version.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "zorim_network/machine_status.h"

namespace zorim {

// The model name for a host name. `cpu_info` only matters for the host name
// "zorim", whose model depends on the core count.
std::string model_for_hostname(const std::string& hostname, const std::string& cpu_info);

// Folds a printer.info result into the record: firmware_state from Klipper's
// state, the model from the host name, the software version. A wrongly typed
// member throws the JSON library's type error at that member; what was
// applied before it stays.
void apply_printer_info(MachineStatus& status, const nlohmann::json& result);

}  // namespace zorim
