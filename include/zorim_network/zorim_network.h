// Host interface of the zorim_network plug-in: the working exports and the
// callback types. See docs/host-interface.md for how a host drives them.
//
// Arguments are standard-library objects passed by value; the plug-in owns
// and releases them on every path. Every export that returns an int returns 0:
// failures are written to the diagnostic log, never returned.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "zorim_network/export.h"
#include "zorim_network/machine_status.h"

namespace zorim {

// Called with the printer's device id and a copy of its status record.
using MachineStatusChangedFn = std::function<void(std::string device_id, MachineStatus status)>;
// Called with the printer's device id and the printer's reply text, unchanged.
using FileListArrivedFn = std::function<void(std::string device_id, std::string reply)>;
using FileMetaArrivedFn = std::function<void(std::string device_id, std::string reply)>;
using PrintHistoryArrivedFn = std::function<void(std::string device_id, std::string reply)>;
// Called with "Move out of range" or "Must home first".
using ErrorArrivedFn = std::function<void(std::string device_id, std::string error)>;
// Bare signals: the second argument is always empty.
using FileChangedFn = std::function<void(std::string device_id, std::string empty)>;
using HistoryChangedFn = std::function<void(std::string device_id, std::string empty)>;

}  // namespace zorim

// --- Agent lifecycle --------------------------------------------------------
ZORIM_NETWORK_API void* zorim_network_create_agent(std::string log_dir, std::int32_t log_level);
ZORIM_NETWORK_API std::int32_t zorim_network_destroy_agent(void* agent);
ZORIM_NETWORK_API std::int32_t zorim_network_start(void* agent);

// --- Printers -----------------------------------------------------------------
// `address` is a host name or IP address, optionally with ":port".
ZORIM_NETWORK_API std::int32_t zorim_network_connect_printer(void* agent, std::string device_id,
                                                             std::string address, std::string unused1,
                                                             std::string unused2);
ZORIM_NETWORK_API std::int32_t zorim_network_disconnect_printer(void* agent, std::string device_id);
ZORIM_NETWORK_API std::int32_t zorim_network_send_message_to_printer(void* agent, std::string device_id,
                                                                     std::string text);
ZORIM_NETWORK_API std::int32_t zorim_network_track_enable(void* agent, bool enable);
ZORIM_NETWORK_API const char* zorim_network_get_version();

// --- Callback slots (set them before zorim_network_start) ---------------------
ZORIM_NETWORK_API std::int32_t zorim_set_machine_status_changed_fn(void* agent,
                                                                   zorim::MachineStatusChangedFn fn);
ZORIM_NETWORK_API std::int32_t zorim_set_file_list_arrived_fn(void* agent, zorim::FileListArrivedFn fn);
ZORIM_NETWORK_API std::int32_t zorim_set_file_meta_arrived_fn(void* agent, zorim::FileMetaArrivedFn fn);
ZORIM_NETWORK_API std::int32_t zorim_set_print_history_arrived_fn(void* agent,
                                                                  zorim::PrintHistoryArrivedFn fn);
ZORIM_NETWORK_API std::int32_t zorim_set_error_arrived_fn(void* agent, zorim::ErrorArrivedFn fn);
ZORIM_NETWORK_API std::int32_t zorim_set_file_changed_fn(void* agent, zorim::FileChangedFn fn);
ZORIM_NETWORK_API std::int32_t zorim_set_history_changed_fn(void* agent, zorim::HistoryChangedFn fn);

// --- Files and history ----------------------------------------------------------
ZORIM_NETWORK_API std::int32_t zorim_get_file_list_fn(void* agent, std::string device_id);
ZORIM_NETWORK_API std::int32_t zorim_get_file_meta_fn(void* agent, std::string device_id,
                                                      std::string file_name);
ZORIM_NETWORK_API std::int32_t zorim_delete_file_fn(void* agent, std::string device_id, std::string file_name);
ZORIM_NETWORK_API std::int32_t zorim_get_print_history_fn(void* agent, std::string device_id,
                                                          std::int32_t start, std::int32_t limit,
                                                          std::string order);

#include "zorim_network/service_exports.h"
