// A history job of any shape folds into the newest-job record without an
// exception.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "files/print_history.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const nlohmann::json job = nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
    if (job.is_discarded()) return 0;
    zorim::PrintJobRecord record;
    std::vector<std::string> problems;
    zorim::apply_job_fields(record, job, problems);
    return 0;
}
