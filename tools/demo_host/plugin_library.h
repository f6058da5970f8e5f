// Loads the plug-in at run time the way a host does: by path, resolving each
// export by name. Only the types come from the plug-in's headers.
#pragma once

#include <stdexcept>
#include <string>

#include "zorim_network/zorim_network.h"

namespace zorim::demo {

class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    decltype(&zorim_network_create_agent) create_agent;
    decltype(&zorim_network_destroy_agent) destroy_agent;
    decltype(&zorim_network_start) start;
    decltype(&zorim_network_connect_printer) connect_printer;
    decltype(&zorim_network_disconnect_printer) disconnect_printer;
    decltype(&zorim_network_send_message_to_printer) send_message_to_printer;
    decltype(&zorim_network_track_enable) track_enable;
    decltype(&zorim_network_get_version) get_version;
    decltype(&zorim_set_machine_status_changed_fn) set_machine_status_changed_fn;
    decltype(&zorim_set_file_list_arrived_fn) set_file_list_arrived_fn;
    decltype(&zorim_set_file_meta_arrived_fn) set_file_meta_arrived_fn;
    decltype(&zorim_set_print_history_arrived_fn) set_print_history_arrived_fn;
    decltype(&zorim_set_error_arrived_fn) set_error_arrived_fn;
    decltype(&zorim_set_file_changed_fn) set_file_changed_fn;
    decltype(&zorim_set_history_changed_fn) set_history_changed_fn;
    decltype(&zorim_get_file_list_fn) get_file_list;
    decltype(&zorim_get_file_meta_fn) get_file_meta;
    decltype(&zorim_delete_file_fn) delete_file;
    decltype(&zorim_get_print_history_fn) get_print_history;

private:
    void bind_all();
    void close();
    void* resolve(const char* name);
    template <typename Fn>
    void bind(Fn& slot, const char* name) {
        slot = reinterpret_cast<Fn>(resolve(name));
    }

    void* handle_ = nullptr;
    std::string path_;
};

}  // namespace zorim::demo
