// Every status element, whatever its shape and types, folds into the record
// without an exception: wrongly typed members are skipped and described.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "status/status_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const nlohmann::json element =
        nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
    if (element.is_discarded()) return 0;
    zorim::MachineStatus status;
    std::vector<std::string> problems;
    zorim::apply_object_parsers(status, element, problems);
    zorim::derive_states(status);
    zorim::apply_gcode_phrases(status, std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
