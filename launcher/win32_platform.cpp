#include "win32_platform.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace zorim::launcher {

namespace {

constexpr wchar_t probe_class_name[] = L"ZorimSlicer_opengl_version_check";
constexpr unsigned gl_version = 0x1F02;
static_assert(sizeof(PIXELFORMATDESCRIPTOR) == 40, "the probe's pixel format descriptor has size 40");

// Set when the probe window has gone; the message pump waits for it.
bool probe_done = false;

struct ProbeRequest {
    Win32Platform* platform;
    OpenGLCheckResult* result;
    bool ran;
};

LRESULT CALLBACK probe_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE: {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        auto* request = static_cast<ProbeRequest*>(creation->lpCreateParams);
        request->ran = true;
        // Nothing may unwind through the system's window code.
        try {
            probe_system_opengl(*request->platform, *request->result, window);
        } catch (const std::exception& error) {
            request->result->succeeded = false;
            try {
                request->platform->print(std::string("The OpenGL check stopped: ") + error.what() + "\n");
            } catch (...) {
            }
        } catch (...) {
            request->result->succeeded = false;
        }
        DestroyWindow(window);
        return 0;
    }
    case WM_NCDESTROY:
        probe_done = true;
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

std::string error_line(const char* what)
{
    return std::string(what) + ", error=" + std::to_string(static_cast<int>(GetLastError())) + "\n";
}

}  // namespace

const PlatformNames& Win32Platform::names() const
{
    static const PlatformNames names{
        L"opengl32.dll",
        {"wglCreateContext", "wglMakeCurrent", "wglDeleteContext", "glGetString"},
        L"ZorimSlicer.dll",
        L"mesa\\opengl32.dll",
        L"\\/:",
    };
    return names;
}

bool Win32Platform::command_line(std::vector<NativeChar*>& arguments)
{
    int count = 0;
    // Never freed: the application keeps pointers into it until it returns.
    wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (list == nullptr || count < 1) {
        return false;
    }
    arguments.assign(list, list + count);
    return true;
}

void Win32Platform::set_error_mode()
{
    _set_error_mode(_OUT_TO_MSGBOX);
}

std::size_t Win32Platform::module_file_name(NativeChar* buffer, std::size_t capacity)
{
    return GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(capacity));
}

ModuleHandle Win32Platform::load_library(const NativeChar* path)
{
    return LoadLibraryExW(path, nullptr, 0);
}

Procedure Win32Platform::get_procedure(ModuleHandle module, const char* name)
{
    return reinterpret_cast<Procedure>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool Win32Platform::free_library(ModuleHandle module)
{
    return FreeLibrary(static_cast<HMODULE>(module)) != FALSE;
}

bool Win32Platform::module_loaded(const NativeChar* name)
{
    return GetModuleHandleW(name) != nullptr;
}

long Win32Platform::last_error()
{
    return static_cast<long>(GetLastError());
}

void Win32Platform::message_box(const NativeChar* text, const NativeChar* caption)
{
    MessageBoxW(nullptr, text, caption, MB_OK);
}

void Win32Platform::run_opengl_check(OpenGLCheckResult& result)
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.style = CS_OWNDC;
    window_class.lpfnWndProc = probe_window_procedure;
    window_class.hInstance = instance;
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BACKGROUND));
    window_class.lpszClassName = probe_class_name;
    if (RegisterClassW(&window_class) == 0) {
        print(error_line("The OpenGL check could not register its window class"));
        return;
    }

    probe_done = false;
    ProbeRequest request{this, &result, false};
    const HWND window = CreateWindowExW(0, probe_class_name, probe_class_name, WS_OVERLAPPEDWINDOW, 0, 0, 640,
                                        480, nullptr, nullptr, instance, &request);
    // The window destroys itself during creation, so normally there is no
    // handle and nothing left to pump.
    if (window != nullptr) {
        MSG message;
        while (!probe_done && GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
    } else if (!request.ran) {
        print(error_line("The OpenGL check could not create its window"));
    }
    UnregisterClassW(probe_class_name, instance);
}

std::string Win32Platform::read_opengl_version(const std::vector<Procedure>& entries, void* window)
{
    using CreateContext = HGLRC(WINAPI*)(HDC);
    using MakeCurrent = BOOL(WINAPI*)(HDC, HGLRC);
    using DeleteContext = BOOL(WINAPI*)(HGLRC);
    using GetString = const unsigned char*(WINAPI*)(unsigned);
    const auto create_context = reinterpret_cast<CreateContext>(entries.at(0));
    const auto make_current = reinterpret_cast<MakeCurrent>(entries.at(1));
    const auto delete_context = reinterpret_cast<DeleteContext>(entries.at(2));
    const auto get_string = reinterpret_cast<GetString>(entries.at(3));

    PIXELFORMATDESCRIPTOR format{};
    format.nSize = sizeof(format);
    format.nVersion = 1;
    format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    format.iPixelType = PFD_TYPE_RGBA;
    format.cColorBits = 32;
    format.cDepthBits = 24;
    format.cStencilBits = 8;
    format.iLayerType = PFD_MAIN_PLANE;

    const auto hwnd = static_cast<HWND>(window);
    const HDC device = GetDC(hwnd);
    SetPixelFormat(device, ChoosePixelFormat(device, &format), &format);
    const HGLRC context = create_context(device);
    std::string version;
    // Without a context there is no version to read; asking a driver for one
    // anyway is not something every driver survives.
    if (context != nullptr) {
        make_current(device, context);
        if (const unsigned char* text = get_string(gl_version)) {
            version = reinterpret_cast<const char*>(text);
        }
        delete_context(context);
    }
    ReleaseDC(hwnd, device);
    return version;
}

int Win32Platform::call_entry(Procedure entry, int argument_count, NativeChar** arguments)
{
    using Entry = int (*)(int, wchar_t**);
    return reinterpret_cast<Entry>(entry)(argument_count, arguments);
}

void Win32Platform::print(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace zorim::launcher
