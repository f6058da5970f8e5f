// What the model's sources share: Moonraker's fixed names, the request
// error, JSON helpers. Internal to the simulator.
#pragma once

#include "printer_model.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace zorim::sim {

inline constexpr double ambient = 25.0;
inline constexpr const char* gcodes_root = "gcodes";
inline constexpr const char* gcodes_dir_on_printer = "/home/printer/printer_data/gcodes/";
inline constexpr const char* shutdown_advice =
    "\nOnce the underlying issue is corrected, use the\n"
    "\"FIRMWARE_RESTART\" command to reset the firmware, reload the\n"
    "config, and restart the host software.\n"
    "Printer is shutdown\n";

// A request that Moonraker refuses: answered with its code and message.
class PrinterModel::RequestError : public std::runtime_error {
public:
    RequestError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// Dumps never throw on text that is not valid UTF-8: a request may carry any
// bytes, and the answer must still go out.
inline std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Rounds to a number of decimals given as a power of ten; dividing by the
// exact power keeps 10.0 at 10.0.
inline double round_to(double value, double scale) { return std::round(value * scale) / scale; }

// A member of a request's parameters, or null when absent.
inline const Json* member(const Json& params, const char* key) {
    if (!params.is_object()) return nullptr;
    const auto it = params.find(key);
    return it == params.end() ? nullptr : &*it;
}

}  // namespace zorim::sim
