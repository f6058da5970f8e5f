// The launcher's decision logic: option scan, OpenGL version test, choice of
// renderer, path building and the start-up sequence. It makes no system call
// of its own; everything it needs from the operating system goes through
// Platform, so that the same sequence runs over Win32, over POSIX and over the
// scripted platform of the tests.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zorim::launcher {

// Windows hands the command line and all paths over in UTF-16; the POSIX
// stand-in keeps the bytes it was given.
#ifdef _WIN32
using NativeChar = wchar_t;
#define ZORIM_NATIVE(text) L##text
#else
using NativeChar = char;
#define ZORIM_NATIVE(text) text
#endif
using NativeString = std::basic_string<NativeChar>;
using NativeStringView = std::basic_string_view<NativeChar>;

// 260 characters plus the terminator, the classic Windows path limit.
inline constexpr std::size_t path_capacity = 261;
using PathBuffer = std::array<NativeChar, path_capacity>;

using ModuleHandle = void*;
// Any exported function; cast to its real type only where it is called.
using Procedure = void (*)();

struct OpenGLCheckResult {
    std::string version_text;
    ModuleHandle system_opengl_module = nullptr;
    // The system library was loaded and offered every entry point the probe
    // needs; says nothing about the version.
    bool succeeded = false;
};

// Standard-output lines. They are the launcher's interface to whoever reads
// its output, so the texts (the spelling of "sucessfully" included) stay as
// they are on every platform.
namespace lines {
inline constexpr char system_library_not_loaded[] = "Failed loading the system opengl32.dll\n";
inline constexpr char system_library_invalid[] =
    "Failed loading the system opengl32.dll: The library is invalid.\n";
inline constexpr char system_library_not_released[] = "System OpenGL library NOT released\n";
inline constexpr char system_library_not_removed[] =
    "System OpenGL library released but not removed\n";
inline constexpr char system_library_released[] = "System OpenGL library successfully released\n";
inline constexpr char loading_mesa_prefix[] = "Loading MESA OpenGL library: ";
inline constexpr char mesa_loaded[] = "MESA OpenGL library was loaded sucessfully\n";
inline constexpr char mesa_not_loaded[] = "MESA OpenGL library was not loaded\n";
inline constexpr char application_not_loaded_prefix[] = "ZorimSlicer.dll was not loaded, error=";
inline constexpr char entry_missing[] =
    "could not locate the function quillan_main in ZorimSlicer.dll\n";
}  // namespace lines

inline constexpr NativeChar software_renderer_option[] = ZORIM_NATIVE("--sw-renderer");
inline constexpr NativeChar no_software_renderer_option[] = ZORIM_NATIVE("--no-sw-renderer");
inline constexpr char entry_name[] = "quillan_main";
inline constexpr NativeChar message_box_text[] =
    ZORIM_NATIVE("Error:ZorimSlicer was unable to automatically switch to MESA OpenGL library.");
inline constexpr NativeChar message_box_caption[] = ZORIM_NATIVE("ZorimSlicer Error");

// File names and separators of one platform.
struct PlatformNames {
    // The system OpenGL library as the probe loads it, and the module name
    // under which it is looked for after its release.
    const NativeChar* system_opengl_library;
    // Entry points the probe looks up in it, in the order handed to
    // Platform::read_opengl_version.
    std::vector<const char*> opengl_entry_names;
    // Relative to the launcher directory.
    const NativeChar* application_library;
    const NativeChar* mesa_library;
    // Characters that end the directory part of the launcher's file name.
    const NativeChar* directory_separators;
};

// The operating system as the start-up sequence sees it. Every operation is
// one system call or a short fixed group of them; none of them decides
// anything.
class Platform {
public:
    virtual ~Platform() = default;

    virtual const PlatformNames& names() const = 0;
    // Fills `arguments` with the split command line, program name first. The
    // strings stay valid until the process ends. False when the command line
    // cannot be split; `last_error` then tells why.
    virtual bool command_line(std::vector<NativeChar*>& arguments) = 0;
    // Run-time error reports go to a message box.
    virtual void set_error_mode() = 0;
    // Writes the launcher's own file name with its terminator and returns its
    // length; 0 on failure, `capacity` when it did not fit.
    virtual std::size_t module_file_name(NativeChar* buffer, std::size_t capacity) = 0;
    virtual ModuleHandle load_library(const NativeChar* path) = 0;
    virtual Procedure get_procedure(ModuleHandle module, const char* name) = 0;
    virtual bool free_library(ModuleHandle module) = 0;
    // True when a module of this name is in the process.
    virtual bool module_loaded(const NativeChar* name) = 0;
    // The system's code for the last failed operation.
    virtual long last_error() = 0;
    virtual void message_box(const NativeChar* text, const NativeChar* caption) = 0;
    // Runs probe_system_opengl(*this, result, window) from inside the hidden
    // window (or whatever stands in for it) that the probe needs.
    virtual void run_opengl_check(OpenGLCheckResult& result) = 0;
    // Creates a context on `window` with the entry points found by the probe,
    // returns the GL_VERSION text (empty when there is none) and deletes the
    // context again.
    virtual std::string read_opengl_version(const std::vector<Procedure>& entries, void* window) = 0;
    virtual int call_entry(Procedure entry, int argument_count, NativeChar** arguments) = 0;
    // One line on standard output, written at once.
    virtual void print(std::string_view text) = 0;
};

struct RendererOptions {
    bool software_rendering = false;
};

// Every argument after the first is compared whole and case-sensitively; the
// last of the two options wins.
RendererOptions scan_options(const std::vector<NativeChar*>& arguments);

// True when `version_text` names OpenGL major.minor or newer. The text is
// split at every space (the first piece carries the version) and that piece
// at every "."; the numbers are read like atoi and compared unsigned.
bool gl_version_at_least(std::string_view version_text, unsigned major, unsigned minor);

// The directory part of a file name, separator included; empty when the name
// has no directory part.
NativeStringView launcher_directory(NativeStringView module_file_name, const NativeChar* separators);

// Writes directory + name with terminator into `buffer`; false, leaving
// `buffer` untouched, when it does not fit.
bool build_path(PathBuffer& buffer, NativeStringView directory, const NativeChar* name);

// Native text as UTF-8 for standard output; ill-formed UTF-16 becomes U+FFFD.
std::string to_utf8(NativeStringView text);

// The check inside the probe window: loads the system OpenGL library, looks
// up its entry points and reads the version through the platform.
void probe_system_opengl(Platform& platform, OpenGLCheckResult& result, void* window);

// The whole start-up; returns the exit status. Never throws.
int run_launcher(Platform& platform) noexcept;

}  // namespace zorim::launcher
