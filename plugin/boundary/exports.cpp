// The working entry points. Each one owns its by-value arguments (they are
// released on return whatever happens), accepts a null agent, and never lets
// an exception reach the host: failures become log records.
#include <exception>
#include <string>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "connection/printer_manager.h"
#include "diagnostics/console.h"
#include "diagnostics/diagnostic_log.h"
#include "zorim_network/zorim_network.h"

namespace {

using zorim::PrinterManager;
using zorim::Severity;

constexpr std::uint16_t kCloseNormal = 1000;
constexpr char kGcodeRoot[] = "gcodes";

// Runs `action` on the agent when there is one. Every export that takes an
// agent returns 0 on every path.
template <typename Fn>
std::int32_t with_agent(void* agent, const char* export_name, Fn&& action) noexcept {
    if (agent == nullptr) return 0;
    try {
        action(*static_cast<PrinterManager*>(agent));
    } catch (const std::exception& e) {
        zorim::log_record(Severity::error, std::string(export_name) + " failed: " + e.what());
    } catch (...) {
        zorim::log_record(Severity::error, std::string(export_name) + " failed: unknown exception");
    }
    return 0;
}

}  // namespace

ZORIM_NETWORK_API void* zorim_network_create_agent(std::string log_dir, std::int32_t log_level) {
#if defined(_WIN32)
    // The plug-in leaves objects in process-wide places (the file-system
    // library's path conversion, the logging core) that are destroyed at
    // process exit: keep the DLL loaded until then, whatever the host frees.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&zorim_network_create_agent), &self);
#endif
    try {
        zorim::use_utf8_paths();
    } catch (const std::exception& e) {
        zorim::console_write(std::string("UTF-8 file names are not available: ") + e.what() + "\n");
    }
    try {
        zorim::setup_diagnostic_log(log_dir, log_level);
    } catch (const std::exception& e) {
        // The agent still works without its log; say so where it can be seen.
        zorim::console_write(std::string("diagnostic log not available: ") + e.what() + "\n");
    }
    try {
        return new PrinterManager();
    } catch (const std::exception& e) {
        zorim::log_record(Severity::fatal, std::string("zorim_network_create_agent failed: ") + e.what());
        zorim::console_write(std::string("zorim_network_create_agent failed: ") + e.what() + "\n");
        return nullptr;
    }
}

ZORIM_NETWORK_API std::int32_t zorim_network_destroy_agent(void* agent) {
    if (agent == nullptr) return 0;
    auto* manager = static_cast<PrinterManager*>(agent);
    if (manager->on_plugin_thread() || manager->in_host_callback()) {
        // From inside a callback (on the plug-in's threads, or on the host's
        // own in the report of a reopen): freeing the agent would pull it
        // from under the code that called the callback. Refused; the agent
        // stays intact.
        zorim::log_record(Severity::error, "zorim_network_destroy_agent: refused inside a callback; the agent "
                                           "must be destroyed from a thread of the host");
        return -1;
    }
    zorim::flush_diagnostic_log();
    try {
        manager->stop();
    } catch (const std::exception& e) {
        zorim::log_record(Severity::error, std::string("zorim_network_destroy_agent: stop failed: ") + e.what());
    } catch (...) {
        zorim::log_record(Severity::error, "zorim_network_destroy_agent: stop failed: unknown exception");
    }
    zorim::flush_diagnostic_log();
    delete manager;
    return 0;
}

ZORIM_NETWORK_API std::int32_t zorim_network_start(void* agent) {
    return with_agent(agent, "zorim_network_start", [](PrinterManager& manager) { manager.start(); });
}

ZORIM_NETWORK_API std::int32_t zorim_network_connect_printer(void* agent, std::string device_id,
                                                             std::string address, std::string /*unused1*/,
                                                             std::string /*unused2*/) {
    return with_agent(agent, "zorim_network_connect_printer", [&](PrinterManager& manager) {
        manager.connect(device_id, "ws://" + address + "/websocket");
    });
}

ZORIM_NETWORK_API std::int32_t zorim_network_disconnect_printer(void* agent, std::string device_id) {
    return with_agent(agent, "zorim_network_disconnect_printer",
                      [&](PrinterManager& manager) { manager.close(device_id, kCloseNormal, ""); });
}

ZORIM_NETWORK_API std::int32_t zorim_network_send_message_to_printer(void* agent, std::string device_id,
                                                                     std::string text) {
    return with_agent(agent, "zorim_network_send_message_to_printer", [&](PrinterManager& manager) {
        manager.send(device_id, zorim::kHostText, std::move(text), false);
    });
}

ZORIM_NETWORK_API std::int32_t zorim_network_track_enable(void* agent, bool enable) {
    return with_agent(agent, "zorim_network_track_enable",
                      [&](PrinterManager& manager) { manager.set_callbacks_muted(!enable); });
}

ZORIM_NETWORK_API const char* zorim_network_get_version() {
    static const char kVersion[] = "01.09.03.50";
    return kVersion;
}

ZORIM_NETWORK_API std::int32_t zorim_set_machine_status_changed_fn(void* agent, zorim::MachineStatusChangedFn fn) {
    return with_agent(agent, "zorim_set_machine_status_changed_fn",
                      [&](PrinterManager& manager) { manager.set_machine_status_changed_fn(std::move(fn)); });
}

ZORIM_NETWORK_API std::int32_t zorim_set_file_list_arrived_fn(void* agent, zorim::FileListArrivedFn fn) {
    return with_agent(agent, "zorim_set_file_list_arrived_fn",
                      [&](PrinterManager& manager) { manager.set_file_list_arrived_fn(std::move(fn)); });
}

ZORIM_NETWORK_API std::int32_t zorim_set_file_meta_arrived_fn(void* agent, zorim::FileMetaArrivedFn fn) {
    return with_agent(agent, "zorim_set_file_meta_arrived_fn",
                      [&](PrinterManager& manager) { manager.set_file_meta_arrived_fn(std::move(fn)); });
}

ZORIM_NETWORK_API std::int32_t zorim_set_print_history_arrived_fn(void* agent, zorim::PrintHistoryArrivedFn fn) {
    return with_agent(agent, "zorim_set_print_history_arrived_fn",
                      [&](PrinterManager& manager) { manager.set_print_history_arrived_fn(std::move(fn)); });
}

ZORIM_NETWORK_API std::int32_t zorim_set_error_arrived_fn(void* agent, zorim::ErrorArrivedFn fn) {
    return with_agent(agent, "zorim_set_error_arrived_fn",
                      [&](PrinterManager& manager) { manager.set_error_arrived_fn(std::move(fn)); });
}

ZORIM_NETWORK_API std::int32_t zorim_set_file_changed_fn(void* agent, zorim::FileChangedFn fn) {
    return with_agent(agent, "zorim_set_file_changed_fn",
                      [&](PrinterManager& manager) { manager.set_file_changed_fn(std::move(fn)); });
}

ZORIM_NETWORK_API std::int32_t zorim_set_history_changed_fn(void* agent, zorim::HistoryChangedFn fn) {
    return with_agent(agent, "zorim_set_history_changed_fn",
                      [&](PrinterManager& manager) { manager.set_history_changed_fn(std::move(fn)); });
}

ZORIM_NETWORK_API std::int32_t zorim_get_file_list_fn(void* agent, std::string device_id) {
    return with_agent(agent, "zorim_get_file_list_fn",
                      [&](PrinterManager& manager) { manager.request_file_list(device_id, kGcodeRoot); });
}

ZORIM_NETWORK_API std::int32_t zorim_get_file_meta_fn(void* agent, std::string device_id, std::string file_name) {
    return with_agent(agent, "zorim_get_file_meta_fn",
                      [&](PrinterManager& manager) { manager.request_file_metadata(device_id, file_name); });
}

ZORIM_NETWORK_API std::int32_t zorim_delete_file_fn(void* agent, std::string device_id, std::string file_name) {
    return with_agent(agent, "zorim_delete_file_fn",
                      [&](PrinterManager& manager) { manager.request_delete_file(device_id, file_name); });
}

ZORIM_NETWORK_API std::int32_t zorim_get_print_history_fn(void* agent, std::string device_id, std::int32_t start,
                                                          std::int32_t limit, std::string order) {
    return with_agent(agent, "zorim_get_print_history_fn", [&](PrinterManager& manager) {
        manager.request_history(device_id, start, limit, order);
    });
}
