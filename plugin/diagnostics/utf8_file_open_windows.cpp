// Windows only: file streams opened by UTF-8 name.
//
// The logging library opens its files through the standard library's file
// streams with a narrow name; MinGW's standard library passes that name to the
// C run-time's fopen64, which reads it in the ANSI code page. This plug-in's
// narrow paths are UTF-8 (use_utf8_paths), so a log directory with characters
// outside that code page could not be opened. The link redirects fopen64 here
// (ld's --wrap, see plugin/CMakeLists.txt), which opens the file by its UTF-16
// name. A name that is not valid UTF-8 goes to the run-time unchanged.
#include <cerrno>
#include <cstdio>
#include <string>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" FILE* __real_fopen64(const char* name, const char* mode);
extern "C" FILE* __wrap_fopen64(const char* name, const char* mode);

namespace {

// False when `text` is not valid UTF-8.
bool widen_utf8(const char* text, std::wstring& wide) {
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0) {
        return false;
    }
    wide.resize(static_cast<std::size_t>(length));
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), length) != length) {
        return false;
    }
    wide.pop_back();  // the terminating NUL that the count included
    return true;
}

}  // namespace

extern "C" FILE* __wrap_fopen64(const char* name, const char* mode) {
    if (name == nullptr || mode == nullptr) {
        return __real_fopen64(name, mode);
    }
    try {
        std::wstring wide_name;
        if (!widen_utf8(name, wide_name)) {
            return __real_fopen64(name, mode);
        }
        const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));  // ASCII letters
        return ::_wfopen(wide_name.c_str(), wide_mode.c_str());
    } catch (...) {
        errno = ENOMEM;  // the only thing that can throw above is an allocation
        return nullptr;
    }
}
