#include "posix_platform.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zorim::launcher {

namespace {

// Positions in PlatformNames::opengl_entry_names.
enum EglEntry : std::size_t {
    get_proc_address,
    query_string,
    get_display,
    initialize,
    bind_api,
    choose_config,
    create_pbuffer_surface,
    create_context,
    make_current,
    destroy_context,
    destroy_surface,
    terminate,
    release_thread,
    egl_entry_count,
};

constexpr unsigned gl_version = 0x1F02;

template <typename Function>
Function entry_as(const std::vector<Procedure>& entries, EglEntry which)
{
    return reinterpret_cast<Function>(entries.at(which));
}

bool has_extension(const char* list, const char* name)
{
    if (list == nullptr) {
        return false;
    }
    const std::string_view all(list);
    const std::string_view wanted(name);
    for (std::size_t start = 0; start < all.size();) {
        const std::size_t end = std::min(all.find(' ', start), all.size());
        if (all.substr(start, end - start) == wanted) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

void report_dl_error(const char* what)
{
    if (const char* detail = dlerror()) {
        std::fprintf(stderr, "%s: %s\n", what, detail);
    }
}

}  // namespace

PosixPlatform::PosixPlatform(int argc, char** argv) : argc_(argc), argv_(argv) {}

const PlatformNames& PosixPlatform::names() const
{
    static const PlatformNames names{
        "libEGL.so.1",
        {"eglGetProcAddress", "eglQueryString", "eglGetDisplay", "eglInitialize", "eglBindAPI", "eglChooseConfig",
         "eglCreatePbufferSurface", "eglCreateContext", "eglMakeCurrent", "eglDestroyContext", "eglDestroySurface",
         "eglTerminate", "eglReleaseThread"},
        "libZorimSlicer.so",
        "mesa/libGL.so.1",
        "/",
    };
    static_assert(egl_entry_count == 13, "one name per entry");
    return names;
}

bool PosixPlatform::command_line(std::vector<NativeChar*>& arguments)
{
    if (argc_ < 1 || argv_ == nullptr) {
        last_error_ = EINVAL;
        return false;
    }
    arguments.assign(argv_, argv_ + argc_);
    return true;
}

void PosixPlatform::set_error_mode()
{
    // The C runtime here reports on standard error already.
}

std::size_t PosixPlatform::module_file_name(NativeChar* buffer, std::size_t capacity)
{
    const ssize_t length = readlink("/proc/self/exe", buffer, capacity);
    if (length < 0) {
        last_error_ = errno;
        return 0;
    }
    const auto written = static_cast<std::size_t>(length);
    if (written >= capacity) {
        last_error_ = ENAMETOOLONG;
        return capacity;
    }
    buffer[written] = '\0';
    return written;
}

ModuleHandle PosixPlatform::load_library(const NativeChar* path)
{
    // Global, so that a library loaded later binds to what was loaded here,
    // as a module loaded by name does on Windows.
    void* module = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    if (module == nullptr) {
        // dlopen leaves no error code, only a text (written to standard
        // error). The file's own accessibility gives the common code, ENOENT
        // for a missing file; a file that is there but does not load counts
        // as being of the wrong format.
        if (std::strchr(path, '/') != nullptr && access(path, R_OK) != 0) {
            last_error_ = errno;
        } else {
            last_error_ = ENOEXEC;
        }
        report_dl_error(path);
    }
    return module;
}

Procedure PosixPlatform::get_procedure(ModuleHandle module, const char* name)
{
    return reinterpret_cast<Procedure>(dlsym(module, name));
}

bool PosixPlatform::free_library(ModuleHandle module)
{
    if (dlclose(module) != 0) {
        report_dl_error("dlclose");
        return false;
    }
    return true;
}

bool PosixPlatform::module_loaded(const NativeChar* name)
{
    void* module = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
    if (module == nullptr) {
        return false;
    }
    dlclose(module);
    return true;
}

long PosixPlatform::last_error()
{
    return last_error_;
}

void PosixPlatform::message_box(const NativeChar* text, const NativeChar* caption)
{
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

void PosixPlatform::run_opengl_check(OpenGLCheckResult& result)
{
    // No window is needed: EGL gives an off-screen context.
    probe_system_opengl(*this, result, nullptr);
}

std::string PosixPlatform::read_opengl_version(const std::vector<Procedure>& entries, void* /*window*/)
{
    const auto egl_get_proc_address = entry_as<PFNEGLGETPROCADDRESSPROC>(entries, get_proc_address);
    const auto egl_query_string = entry_as<PFNEGLQUERYSTRINGPROC>(entries, query_string);
    const auto egl_get_display = entry_as<PFNEGLGETDISPLAYPROC>(entries, get_display);
    const auto egl_initialize = entry_as<PFNEGLINITIALIZEPROC>(entries, initialize);
    const auto egl_bind_api = entry_as<PFNEGLBINDAPIPROC>(entries, bind_api);
    const auto egl_choose_config = entry_as<PFNEGLCHOOSECONFIGPROC>(entries, choose_config);
    const auto egl_create_pbuffer_surface =
        entry_as<PFNEGLCREATEPBUFFERSURFACEPROC>(entries, create_pbuffer_surface);
    const auto egl_create_context = entry_as<PFNEGLCREATECONTEXTPROC>(entries, create_context);
    const auto egl_make_current = entry_as<PFNEGLMAKECURRENTPROC>(entries, make_current);
    const auto egl_destroy_context = entry_as<PFNEGLDESTROYCONTEXTPROC>(entries, destroy_context);
    const auto egl_destroy_surface = entry_as<PFNEGLDESTROYSURFACEPROC>(entries, destroy_surface);
    const auto egl_terminate = entry_as<PFNEGLTERMINATEPROC>(entries, terminate);
    const auto egl_release_thread = entry_as<PFNEGLRELEASETHREADPROC>(entries, release_thread);

    // The surfaceless platform needs neither a display server nor a GPU;
    // without it the default display is the only choice.
    EGLDisplay display = EGL_NO_DISPLAY;
    const char* client_extensions = egl_query_string(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (has_extension(client_extensions, "EGL_MESA_platform_surfaceless")) {
        if (const auto get_platform_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
                egl_get_proc_address("eglGetPlatformDisplayEXT"))) {
            display = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        }
    }
    if (display == EGL_NO_DISPLAY) {
        display = egl_get_display(EGL_DEFAULT_DISPLAY);
    }
    EGLint major = 0;
    EGLint minor = 0;
    if (display == EGL_NO_DISPLAY || egl_initialize(display, &major, &minor) != EGL_TRUE) {
        return {};
    }

    // The off-screen counterpart of the Windows probe's pixel format.
    const EGLint config_attributes[] = {
        EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
        EGL_RED_SIZE,     8,               EGL_GREEN_SIZE,      8,
        EGL_BLUE_SIZE,    8,               EGL_ALPHA_SIZE,      8,
        EGL_DEPTH_SIZE,   24,              EGL_STENCIL_SIZE,    8,
        EGL_NONE,
    };
    const EGLint surface_attributes[] = {EGL_WIDTH, 1, EGL_HEIGHT, 1, EGL_NONE};
    std::string version;
    EGLConfig config = nullptr;
    EGLint config_count = 0;
    if (egl_bind_api(EGL_OPENGL_API) == EGL_TRUE
        && egl_choose_config(display, config_attributes, &config, 1, &config_count) == EGL_TRUE
        && config_count == 1) {
        const EGLSurface surface = egl_create_pbuffer_surface(display, config, surface_attributes);
        const EGLContext context = egl_create_context(display, config, EGL_NO_CONTEXT, nullptr);
        if (surface != EGL_NO_SURFACE && context != EGL_NO_CONTEXT
            && egl_make_current(display, surface, surface, context) == EGL_TRUE) {
            using GetString = const unsigned char* (*)(unsigned);
            if (const auto get_string = reinterpret_cast<GetString>(egl_get_proc_address("glGetString"))) {
                if (const unsigned char* text = get_string(gl_version)) {
                    version = reinterpret_cast<const char*>(text);
                }
            }
            egl_make_current(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        }
        if (context != EGL_NO_CONTEXT) {
            egl_destroy_context(display, context);
        }
        if (surface != EGL_NO_SURFACE) {
            egl_destroy_surface(display, surface);
        }
    }
    // Everything goes, so that releasing the library for MESA can unload it.
    egl_terminate(display);
    egl_release_thread();
    return version;
}

int PosixPlatform::call_entry(Procedure entry, int argument_count, NativeChar** arguments)
{
    using Entry = int (*)(int, char**);
    return reinterpret_cast<Entry>(entry)(argument_count, arguments);
}

void PosixPlatform::print(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace zorim::launcher
