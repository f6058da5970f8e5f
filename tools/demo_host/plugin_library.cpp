#include "plugin_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace zorim::demo {
namespace {

std::string last_load_error() {
#if defined(_WIN32)
    return "error " + std::to_string(GetLastError());
#else
    const char* error = dlerror();
    return error ? error : "unknown error";
#endif
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
#if defined(_WIN32)
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (handle_ == nullptr) throw std::runtime_error("cannot load " + path + ": " + last_load_error());
    try {
        bind_all();
    } catch (...) {
        close();
        throw;
    }
}

void PluginLibrary::bind_all() {
    bind(create_agent, "zorim_network_create_agent");
    bind(destroy_agent, "zorim_network_destroy_agent");
    bind(start, "zorim_network_start");
    bind(connect_printer, "zorim_network_connect_printer");
    bind(disconnect_printer, "zorim_network_disconnect_printer");
    bind(send_message_to_printer, "zorim_network_send_message_to_printer");
    bind(track_enable, "zorim_network_track_enable");
    bind(get_version, "zorim_network_get_version");
    bind(set_machine_status_changed_fn, "zorim_set_machine_status_changed_fn");
    bind(set_file_list_arrived_fn, "zorim_set_file_list_arrived_fn");
    bind(set_file_meta_arrived_fn, "zorim_set_file_meta_arrived_fn");
    bind(set_print_history_arrived_fn, "zorim_set_print_history_arrived_fn");
    bind(set_error_arrived_fn, "zorim_set_error_arrived_fn");
    bind(set_file_changed_fn, "zorim_set_file_changed_fn");
    bind(set_history_changed_fn, "zorim_set_history_changed_fn");
    bind(get_file_list, "zorim_get_file_list_fn");
    bind(get_file_meta, "zorim_get_file_meta_fn");
    bind(delete_file, "zorim_delete_file_fn");
    bind(get_print_history, "zorim_get_print_history_fn");
}

PluginLibrary::~PluginLibrary() { close(); }

void PluginLibrary::close() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
}

void* PluginLibrary::resolve(const char* name) {
#if defined(_WIN32)
    void* symbol = reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
    void* symbol = dlsym(handle_, name);
#endif
    if (symbol == nullptr) throw std::runtime_error(path_ + " does not export " + name);
    return symbol;
}

}  // namespace zorim::demo
