// Starts the real ZorimSlicer.exe the way Windows starts it (CreateProcessW
// with a UTF-16 command line and redirected standard output) from inside Wine,
// in a directory laid out like an installation with stand-ins for the
// application library and for MESA.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace zorim::launcher::wine_test {

namespace fs = std::filesystem;

inline std::string utf8(std::wstring_view text)
{
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}

// Build outputs are named by their path on the build machine, which Wine
// shows as drive Z:.
inline fs::path build_output(const char* path)
{
    std::wstring windows_path;
    for (const char* c = path; *c != '\0'; ++c) {
        windows_path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    }
    return path[0] == '/' ? fs::path(L"Z:" + windows_path) : fs::path(windows_path);
}

struct MessageBoxSeen {
    std::wstring caption;
    std::wstring text;
};

struct LauncherRun {
    std::string out;
    std::int32_t status = 0;
    std::vector<MessageBoxSeen> message_boxes;
};

struct WindowSearch {
    DWORD process;
    HWND found;
};

// A top-level window of the launcher's process, which can only be the
// message box: the probe's window is never shown.
inline HWND find_message_box(DWORD process)
{
    WindowSearch search{process, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* search_state = reinterpret_cast<WindowSearch*>(parameter);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == search_state->process && IsWindowVisible(window)) {
                search_state->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

inline std::wstring window_text(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

// Reads the message box's caption and text, then presses its OK button as a
// user would.
inline MessageBoxSeen answer_message_box(HWND box)
{
    MessageBoxSeen seen{window_text(box), {}};
    EnumChildWindows(
        box,
        [](HWND child, LPARAM parameter) -> BOOL {
            wchar_t class_name[64] = {};
            GetClassNameW(child, class_name, 64);
            const std::wstring text = window_text(child);
            if (_wcsicmp(class_name, L"Static") == 0 && !text.empty()) {
                reinterpret_cast<MessageBoxSeen*>(parameter)->text = text;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&seen));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return seen;
}

class WineLauncherTest : public testing::Test {
protected:
    void SetUp() override
    {
        const auto* test = testing::UnitTest::GetInstance()->current_test_info();
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
        root_ = fs::path(temp) / ("zorim-launcher-" + std::to_string(GetCurrentProcessId()) + "-" + test->name());
        fs::remove_all(root_);
        directory_ = root_ / L"Zorim Gr\u00fc\u00dfe \u65e5\u672c";
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    void install(bool application = true, bool mesa = false)
    {
        fs::create_directories(directory_);
        fs::copy_file(build_output(ZORIM_LAUNCHER_PROGRAM), directory_ / L"ZorimSlicer.exe");
        if (application) {
            fs::copy_file(build_output(ZORIM_APPLICATION_STAND_IN), directory_ / L"ZorimSlicer.dll");
        }
        if (mesa) {
            fs::create_directories(directory_ / L"mesa");
            fs::copy_file(build_output(ZORIM_MESA_STAND_IN), directory_ / L"mesa" / L"opengl32.dll");
        }
    }

    fs::path mesa_path() const { return directory_ / L"mesa" / L"opengl32.dll"; }

    std::string mesa_lines() const
    {
        return "Loading MESA OpenGL library: " + utf8(mesa_path().wstring())
               + "\nMESA OpenGL library was loaded sucessfully\n";
    }

    // Starts the launcher with `arguments` after its quoted name. Message
    // boxes are read and answered. The run is bounded to 120 seconds: the
    // first one in a new Wine prefix can take half a minute.
    LauncherRun start(const std::wstring& arguments)
    {
        LauncherRun run;
        const fs::path program = directory_ / L"ZorimSlicer.exe";
        std::wstring command_line = L"\"" + program.wstring() + L"\" " + arguments;

        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
            ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
            return run;
        }
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = write_end;
        startup.hStdError = write_end;
        PROCESS_INFORMATION process{};
        const BOOL started =
            CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &startup, &process);
        CloseHandle(write_end);
        if (!started) {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
            CloseHandle(read_end);
            return run;
        }

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        bool ended = false;
        while (true) {
            DWORD available = 0;
            while (PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
                char buffer[4096];
                DWORD got = 0;
                if (!ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) || got == 0) {
                    break;
                }
                run.out.append(buffer, got);
            }
            if (ended) {
                break;
            }
            if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) {
                ended = true;  // one more pass drains the pipe
                continue;
            }
            if (HWND box = find_message_box(process.dwProcessId)) {
                run.message_boxes.push_back(answer_message_box(box));
                // Give the box time to go before looking again.
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the launcher did not end within 120 seconds; output so far:\n" << run.out;
                TerminateProcess(process.hProcess, 1000);
                WaitForSingleObject(process.hProcess, 5000);
                break;
            }
        }
        // Standard output is in text mode, as printf's is on Windows: every
        // line ends in CR LF. The checks compare lines, not line ends.
        for (std::size_t at = run.out.find("\r\n"); at != std::string::npos; at = run.out.find("\r\n", at)) {
            run.out.erase(at, 1);
        }
        DWORD status = 0;
        GetExitCodeProcess(process.hProcess, &status);
        run.status = static_cast<std::int32_t>(status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        CloseHandle(read_end);
        return run;
    }

    fs::path root_;
    fs::path directory_;
};

// What the application stand-in prints for the arguments after argv[0].
inline std::string application_lines(const std::vector<std::string>& arguments_after_name)
{
    std::string lines;
    for (std::size_t i = 0; i < arguments_after_name.size(); ++i) {
        lines += "argv[" + std::to_string(i + 1) + "]=" + arguments_after_name[i] + "\n";
    }
    lines += "argv[" + std::to_string(arguments_after_name.size() + 1) + "]=null\n";
    return lines;
}

}  // namespace zorim::launcher::wine_test
