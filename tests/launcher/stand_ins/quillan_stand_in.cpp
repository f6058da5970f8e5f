// Stands in for the application library that the launcher starts. It writes
// what it received to standard output, one line each:
//
//   quillan_main argc=<n>
//   argv[<i>]=<argument as UTF-8>
//   argv[<n>]=null            (or "not null")
//   system_opengl=yes|no      (the system OpenGL library is in the process)
//   mesa=yes|no               (the MESA stand-in is in the process)
//
// and returns the number given by an argument "--exit-code=<n>", 0 without.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#define STAND_IN_EXPORT extern "C" __declspec(dllexport)
using Char = wchar_t;
#else
#include <dlfcn.h>
#define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))
using Char = char;
#endif

namespace {

#ifdef _WIN32
std::string utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return "<not convertible>";
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

// The module named opengl32.dll, if any, and whether it is the stand-in.
void report_opengl()
{
    const HMODULE module = GetModuleHandleW(L"opengl32.dll");
    const bool mesa = module != nullptr && GetProcAddress(module, "zorim_mesa_stand_in") != nullptr;
    std::printf("system_opengl=%s\nmesa=%s\n", module != nullptr && !mesa ? "yes" : "no", mesa ? "yes" : "no");
    if (module != nullptr) {
        wchar_t path[1024];
        const DWORD length = GetModuleFileNameW(module, path, 1024);
        std::printf("opengl_module=%s\n", length > 0 && length < 1024 ? utf8(path).c_str() : "?");
    }
}
#else
std::string utf8(const char* text)
{
    return text;
}

void report_opengl()
{
    void* system = dlopen("libEGL.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (system != nullptr) {
        dlclose(system);
    }
    const bool mesa = dlsym(RTLD_DEFAULT, "zorim_mesa_stand_in") != nullptr;
    std::printf("system_opengl=%s\nmesa=%s\n", system != nullptr ? "yes" : "no", mesa ? "yes" : "no");
}
#endif

}  // namespace

STAND_IN_EXPORT int quillan_main(int argc, Char** argv)
{
    int status = 0;
    std::printf("quillan_main argc=%d\n", argc);
    for (int i = 0; i < argc; ++i) {
        const std::string argument = utf8(argv[i]);
        std::printf("argv[%d]=%s\n", i, argument.c_str());
        if (argument.rfind("--exit-code=", 0) == 0) {
            status = std::atoi(argument.c_str() + std::strlen("--exit-code="));
        }
    }
    std::printf("argv[%d]=%s\n", argc, argv[argc] == nullptr ? "null" : "not null");
    report_opengl();
    std::fflush(stdout);
    return status;
}
