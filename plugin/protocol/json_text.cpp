#include "protocol/json_text.h"

#include <nlohmann/json.hpp>

namespace zorim {

std::string json_string_content(std::string_view value) {
    const std::string quoted =
        nlohmann::json(std::string(value)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return quoted.substr(1, quoted.size() - 2);
}

}  // namespace zorim
