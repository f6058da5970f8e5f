// The printer's identity from its printer.info reply: Klipper state, a model
// name derived from the host name, and the software version.
#pragma once

#include <string>

namespace zorim {

// The model name for a host name. `cpu_info` only matters for the host name
// "zorim", whose model depends on the core count.
std::string model_for_hostname(const std::string& hostname, const std::string& cpu_info);

}  // namespace zorim
