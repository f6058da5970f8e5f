// A host that loads the plug-in, uses it, unloads it and ends normally. The
// plug-in leaves objects in process-wide places that are destroyed at exit,
// so unloading must not take its code away: this program crashing at exit is
// the failure.
#include <cstdio>
#include <filesystem>
#include <string>

#include <dlfcn.h>

#include "zorim_network/zorim_network.h"

int main() {
    void* library = dlopen(ZORIM_NETWORK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto create = reinterpret_cast<decltype(&zorim_network_create_agent)>(dlsym(library, "zorim_network_create_agent"));
    auto start = reinterpret_cast<decltype(&zorim_network_start)>(dlsym(library, "zorim_network_start"));
    auto destroy =
        reinterpret_cast<decltype(&zorim_network_destroy_agent)>(dlsym(library, "zorim_network_destroy_agent"));
    if (!create || !start || !destroy) return 1;

    const auto log_dir = std::filesystem::temp_directory_path() / "zorim-unload-host";
    std::filesystem::create_directories(log_dir);
    void* agent = create(log_dir.string(), 9);
    start(agent);
    destroy(agent);
    dlclose(library);
    std::filesystem::remove_all(log_dir);
    std::puts("unloaded");
    return 0;
}
