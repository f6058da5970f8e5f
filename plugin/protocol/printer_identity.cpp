#include "protocol/printer_identity.h"

#include <nlohmann/json.hpp>

#include "status/json_members.h"

namespace zorim {
namespace {

void replace_first(std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
}

}  // namespace

std::string model_for_hostname(const std::string& hostname, const std::string& cpu_info) {
    if (hostname == "zorim") {
        if (cpu_info.find("4 core") != std::string::npos) return "Zorim Alto";
        if (cpu_info.find("2 core") != std::string::npos) return "Zorim Brio";
        return hostname;
    }
    if (hostname == "nimbi-hub") return "Zorim Corsa";
    // Net effect: one space after the first "Zorim" of the name.
    std::string model = hostname;
    replace_first(model, "Zorim ", "Zorim");
    replace_first(model, "Zorim", "Zorim ");
    return model;
}

void apply_printer_info(MachineStatus& status, const nlohmann::json& result) {
    // Three independent steps; a wrongly typed member stops the reading at
    // that member (its type error reaches the caller, which logs it), and
    // what was applied before stays.
    if (has_non_null(result, "state")) {
        const std::string state = result["state"].get<std::string>();
        std::int32_t firmware_state = -1;
        if (state == "ready") firmware_state = kFirmwareReady;
        // Klipper's "error" (a configuration it could not load, a controller
        // it cannot reach) cannot print any more than a shutdown can: the
        // host sees the firmware as not ready, never as idle. "startup"
        // passes and changes nothing.
        else if (state == "shutdown" || state == "error") firmware_state = kFirmwareShutdown;
        else if (state == "disconnected") firmware_state = kFirmwareDisconnected;
        if (firmware_state >= 0) status.firmware_state = firmware_state;
    }
    if (has_non_null(result, "hostname")) {
        const std::string hostname = result["hostname"].get<std::string>();
        status.model = hostname;
        // Only the "zorim" host name reads cpu_info; a missing one is an error there.
        const std::string cpu_info = hostname == "zorim" ? result.at("cpu_info").get<std::string>() : std::string();
        status.model = model_for_hostname(hostname, cpu_info);
    }
    if (has_non_null(result, "software_version")) {
        status.software_version = result["software_version"].get<std::string>();
    }
}

}  // namespace zorim
