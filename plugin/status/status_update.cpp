// The connection's side of the status model: every status element and every
// G-code console text the printer sends is folded into the record here, on
// the network thread.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "boundary/diagnostic_log.h"
#include "connection/printer_connection.h"
#include "connection/printer_manager.h"
#include "status/status_model.h"

namespace zorim {

void PrinterConnection::apply_status_update(PrinterManager& manager, const nlohmann::json& element) {
    status_update_count_.fetch_add(1);
    std::vector<std::string> problems;
    update_status([&](MachineStatus& status) {
        apply_object_parsers(status, element, problems);
        derive_states(status);
    });
    for (const std::string& problem : problems) {
        log_record(Severity::error, "status update from " + device_id_ + ": skipped " + problem);
    }
    report_status(manager);
}

void PrinterConnection::apply_gcode_response(const std::string& text) {
    // No report of its own: the change reaches the host with the next one.
    update_status([&](MachineStatus& status) { apply_gcode_phrases(status, text); });
}

}  // namespace zorim
