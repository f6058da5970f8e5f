// Small pieces that the stream and scale benchmark programs share.
#pragma once

#include <dlfcn.h>

#include <ctime>
#include <map>
#include <stdexcept>
#include <string>

namespace zorim::bench {

using Options = std::map<std::string, std::string>;

// "--name value" pairs from argv[first] on.
inline Options parse_options(int argc, char** argv, int first) {
    Options out;
    for (int i = first; i < argc; i += 2) {
        if (i + 1 >= argc) throw std::runtime_error(std::string("option ") + argv[i] + " needs a value");
        out[argv[i]] = argv[i + 1];
    }
    return out;
}

inline std::string option(const Options& opts, const std::string& name) {
    auto it = opts.find(name);
    if (it == opts.end()) throw std::runtime_error("missing option " + name);
    return it->second;
}

// CPU time of every thread of this process.
inline double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// An export of the loaded plug-in, looked up by name as a host does.
template <typename Fn>
Fn resolve(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (!symbol) throw std::runtime_error(std::string("missing export ") + name);
    return reinterpret_cast<Fn>(symbol);
}

}  // namespace zorim::bench
