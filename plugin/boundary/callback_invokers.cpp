// The only way any part of the plug-in reaches a host callback. Each invoker
// calls its slot when the host has filled it and callbacks are not muted;
// otherwise the event is dropped (muting loses events, it does not queue
// them). Invokers run without any plug-in lock held.
#include "boundary/diagnostic_log.h"
#include "connection/printer_manager.h"

namespace zorim {

bool PrinterManager::machine_status_wanted() const {
    return !callbacks_muted_.load() && machine_status_changed_fn_.armed();
}

void PrinterManager::report_machine_status(std::string device_id, MachineStatus status) {
    if (callbacks_muted_.load()) return;
    machine_status_changed_fn_.invoke(std::move(device_id), std::move(status));
}

void PrinterManager::report_file_list(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    file_list_arrived_fn_.invoke(std::move(device_id), std::move(text));
}

void PrinterManager::report_file_meta(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    file_meta_arrived_fn_.invoke(std::move(device_id), std::move(text));
}

void PrinterManager::report_print_history(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    print_history_arrived_fn_.invoke(std::move(device_id), std::move(text));
}

void PrinterManager::report_error(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    error_arrived_fn_.invoke(std::move(device_id), std::move(text));
}

void PrinterManager::report_file_changed(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    const std::string record = "file changed:" + device_id;
    if (file_changed_fn_.invoke(std::move(device_id), std::move(text))) {
        log_record(Severity::debug, record);
    }
}

void PrinterManager::report_history_changed(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    const std::string record = "history changed:" + device_id;
    if (history_changed_fn_.invoke(std::move(device_id), std::move(text))) {
        log_record(Severity::debug, record);
    }
}

}  // namespace zorim
