// The launcher's start-up over a scripted platform: every call the sequence
// makes is recorded in order, and the platform answers from a script.
#include "launcher_core.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorim::launcher {
namespace {

std::string utf8(NativeStringView text)
{
    return to_utf8(text);
}

void some_procedure() {}

class ScriptedPlatform final : public Platform {
public:
    // --- script ---
    std::vector<NativeString> command{ZORIM_NATIVE("C:\\Zorim\\ZorimSlicer.exe")};
    bool command_line_fails = false;
    NativeString own_file_name = ZORIM_NATIVE("C:\\Zorim\\ZorimSlicer.exe");
    // Paths (or module names) that load, and the names each one exports.
    std::map<NativeString, std::set<std::string>> libraries{
        {ZORIM_NATIVE("opengl32.dll"), {"wglCreateContext", "wglMakeCurrent", "wglDeleteContext", "glGetString"}},
        {ZORIM_NATIVE("C:\\Zorim\\mesa\\opengl32.dll"), {}},
        {ZORIM_NATIVE("C:\\Zorim\\ZorimSlicer.dll"), {"quillan_main"}},
    };
    std::string version_text = "4.6.0 NVIDIA 537.13";
    bool free_fails = false;
    bool stays_loaded_after_free = false;
    long error_code = 126;
    int entry_result = 0;
    bool entry_throws = false;

    // --- record ---
    std::vector<std::string> calls;
    std::string output;
    int entry_argument_count = -1;
    std::vector<NativeChar*> entry_arguments;

    ScriptedPlatform()
    {
        names_.system_opengl_library = ZORIM_NATIVE("opengl32.dll");
        names_.opengl_entry_names = {"wglCreateContext", "wglMakeCurrent", "wglDeleteContext", "glGetString"};
        names_.application_library = ZORIM_NATIVE("ZorimSlicer.dll");
        names_.mesa_library = ZORIM_NATIVE("mesa\\opengl32.dll");
        names_.directory_separators = ZORIM_NATIVE("\\/:");
    }

    void add_arguments(std::initializer_list<NativeString> arguments)
    {
        command.insert(command.end(), arguments);
    }

    // The arguments as split, kept alive here as the system keeps them.
    const std::vector<NativeChar*>& split() const { return split_; }

    const PlatformNames& names() const override { return names_; }

    bool command_line(std::vector<NativeChar*>& arguments) override
    {
        calls.push_back("command_line");
        if (command_line_fails) {
            return false;
        }
        storage_ = command;
        split_.clear();
        for (NativeString& argument : storage_) {
            split_.push_back(argument.data());
        }
        arguments = split_;
        return true;
    }

    void set_error_mode() override { calls.push_back("set_error_mode"); }

    std::size_t module_file_name(NativeChar* buffer, std::size_t capacity) override
    {
        calls.push_back("module_file_name");
        if (own_file_name.empty()) {
            return 0;
        }
        // Windows' behaviour: a name that does not fit is cut to the buffer
        // and the full buffer size is returned.
        const std::size_t written = std::min(own_file_name.size(), capacity);
        std::copy(own_file_name.begin(), own_file_name.begin() + static_cast<std::ptrdiff_t>(written), buffer);
        if (written < capacity) {
            buffer[written] = NativeChar{};
            return written;
        }
        buffer[capacity - 1] = NativeChar{};
        return capacity;
    }

    ModuleHandle load_library(const NativeChar* path) override
    {
        calls.push_back("load_library " + utf8(path));
        const auto found = libraries.find(path);
        if (found == libraries.end()) {
            return nullptr;
        }
        loaded_.insert(found->first);
        return const_cast<NativeString*>(&found->first);
    }

    Procedure get_procedure(ModuleHandle module, const char* name) override
    {
        const auto* path = static_cast<const NativeString*>(module);
        calls.push_back("get_procedure " + std::string(name));
        return libraries.at(*path).count(name) != 0 ? &some_procedure : nullptr;
    }

    bool free_library(ModuleHandle module) override
    {
        const auto* path = static_cast<const NativeString*>(module);
        calls.push_back("free_library " + utf8(*path));
        if (free_fails) {
            return false;
        }
        if (!stays_loaded_after_free) {
            loaded_.erase(*path);
        }
        return true;
    }

    bool module_loaded(const NativeChar* name) override
    {
        calls.push_back("module_loaded " + utf8(name));
        return loaded_.count(name) != 0;
    }

    long last_error() override { return error_code; }

    void message_box(const NativeChar* text, const NativeChar* caption) override
    {
        calls.push_back("message_box " + utf8(caption) + ": " + utf8(text));
    }

    void run_opengl_check(OpenGLCheckResult& result) override
    {
        calls.push_back("run_opengl_check");
        probe_system_opengl(*this, result, &window_);
    }

    std::string read_opengl_version(const std::vector<Procedure>& entries, void* window) override
    {
        calls.push_back("read_opengl_version");
        EXPECT_EQ(window, &window_);
        EXPECT_EQ(entries.size(), 4u);
        return version_text;
    }

    int call_entry(Procedure entry, int argument_count, NativeChar** arguments) override
    {
        calls.push_back("call_entry");
        EXPECT_EQ(entry, &some_procedure);
        entry_argument_count = argument_count;
        // Up to and including the terminating null pointer.
        for (int i = 0; i <= argument_count; ++i) {
            entry_arguments.push_back(arguments[i]);
        }
        if (entry_throws) {
            throw std::runtime_error("out of memory in the application");
        }
        return entry_result;
    }

    void print(std::string_view text) override { output += text; }

private:
    PlatformNames names_;
    std::vector<NativeString> storage_;
    std::vector<NativeChar*> split_;
    std::set<NativeString> loaded_;
    int window_ = 0;
};

// The calls of a check that finds a working system library.
const std::vector<std::string> probe_calls{
    "run_opengl_check",
    "load_library opengl32.dll",
    "get_procedure wglCreateContext",
    "get_procedure wglMakeCurrent",
    "get_procedure wglDeleteContext",
    "get_procedure glGetString",
    "read_opengl_version",
};

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const std::vector<std::string> start_calls{"command_line", "set_error_mode"};
const std::vector<std::string> application_calls{
    "load_library C:\\Zorim\\ZorimSlicer.dll",
    "get_procedure quillan_main",
    "call_entry",
};
const std::vector<std::string> mesa_calls{"load_library C:\\Zorim\\mesa\\opengl32.dll"};
const std::vector<std::string> release_calls{"free_library opengl32.dll", "module_loaded opengl32.dll"};
const std::string mesa_lines =
    "Loading MESA OpenGL library: C:\\Zorim\\mesa\\opengl32.dll\n"
    "MESA OpenGL library was loaded sucessfully\n";
const std::string box =
    "message_box ZorimSlicer Error: Error:ZorimSlicer was unable to automatically switch to MESA OpenGL library.";

// --- decision logic on its own ---

std::vector<NativeChar*> argument_list(std::vector<NativeString>& storage)
{
    std::vector<NativeChar*> list;
    for (NativeString& argument : storage) {
        list.push_back(argument.data());
    }
    return list;
}

TEST(LauncherOptions, LastOptionWinsAndOnlyWholeArgumentsAfterTheFirstCount)
{
    struct Case {
        std::vector<NativeString> arguments;
        bool software;
    };
    const std::vector<Case> cases{
        {{ZORIM_NATIVE("ZorimSlicer.exe")}, false},
        {{ZORIM_NATIVE("ZorimSlicer.exe"), ZORIM_NATIVE("--sw-renderer")}, true},
        {{ZORIM_NATIVE("ZorimSlicer.exe"), ZORIM_NATIVE("--sw-renderer"), ZORIM_NATIVE("model.3mf"),
          ZORIM_NATIVE("--no-sw-renderer")},
         false},
        {{ZORIM_NATIVE("ZorimSlicer.exe"), ZORIM_NATIVE("--no-sw-renderer"), ZORIM_NATIVE("--sw-renderer")}, true},
        {{ZORIM_NATIVE("ZorimSlicer.exe"), ZORIM_NATIVE("--sw-renderer2")}, false},
        {{ZORIM_NATIVE("ZorimSlicer.exe"), ZORIM_NATIVE("--sw-renderer=1")}, false},
        {{ZORIM_NATIVE("ZorimSlicer.exe"), ZORIM_NATIVE("--SW-RENDERER")}, false},
        {{ZORIM_NATIVE("ZorimSlicer.exe"), ZORIM_NATIVE("-sw-renderer")}, false},
        {{ZORIM_NATIVE("--sw-renderer")}, false},
    };
    for (Case c : cases) {
        const auto list = argument_list(c.arguments);
        EXPECT_EQ(scan_options(list).software_rendering, c.software) << utf8(c.arguments.back());
    }
}

TEST(LauncherVersionTest, ReadsTheFirstWordLikeAtoi)
{
    const std::vector<std::pair<std::string, bool>> cases{
        {"4.6.0 NVIDIA 537.13", true},
        {"4.5 (Compatibility Profile) Mesa 22.3.6", true},
        {"3.2", true},
        {"3.2.9", true},
        {"3.10", true},
        {"10.0", true},
        {"3.1", false},
        {"3.1.0 - Build 9.18", false},
        {"3", false},
        {"2.1 Mesa 7.0", false},
        {"", false},
        {" 4.6", false},
        {"4.6 ", true},
        {"3.1Mesa", false},
        {"OpenGL ES 3.2", false},
        {"x.y", false},
        // atoi skips leading white space other than the separating space.
        {"\t4.0", true},
        // Compared as unsigned numbers, a negative major is huge.
        {"-1.0", true},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(gl_version_at_least(text, 3, 2), expected) << '"' << text << '"';
    }
}

TEST(LauncherPaths, DirectoryEndsAtTheLastSeparator)
{
    const NativeChar* separators = ZORIM_NATIVE("\\/:");
    EXPECT_EQ(launcher_directory(ZORIM_NATIVE("C:\\Program Files\\Zorim\\ZorimSlicer.exe"), separators),
              NativeStringView(ZORIM_NATIVE("C:\\Program Files\\Zorim\\")));
    EXPECT_EQ(launcher_directory(ZORIM_NATIVE("C:/Zorim/ZorimSlicer.exe"), separators),
              NativeStringView(ZORIM_NATIVE("C:/Zorim/")));
    EXPECT_EQ(launcher_directory(ZORIM_NATIVE("C:ZorimSlicer.exe"), separators),
              NativeStringView(ZORIM_NATIVE("C:")));
    EXPECT_TRUE(launcher_directory(ZORIM_NATIVE("ZorimSlicer.exe"), separators).empty());
}

TEST(LauncherPaths, BuildsUpTo260CharactersAndNeverWritesPastTheBuffer)
{
    PathBuffer buffer;
    buffer.fill(ZORIM_NATIVE('#'));
    const NativeString directory(260 - 15, ZORIM_NATIVE('d'));
    ASSERT_TRUE(build_path(buffer, directory, ZORIM_NATIVE("ZorimSlicer.dll")));
    EXPECT_EQ(NativeString(buffer.data()), directory + ZORIM_NATIVE("ZorimSlicer.dll"));
    EXPECT_EQ(buffer[260], NativeChar{});

    buffer.fill(ZORIM_NATIVE('#'));
    EXPECT_FALSE(build_path(buffer, directory + ZORIM_NATIVE("d"), ZORIM_NATIVE("ZorimSlicer.dll")));
    for (NativeChar c : buffer) {
        ASSERT_EQ(c, ZORIM_NATIVE('#'));
    }
}

#ifdef _WIN32
TEST(LauncherPaths, WideTextBecomesUtf8)
{
    EXPECT_EQ(to_utf8(L"C:\\Gr\u00fc\u00dfe\\\u65e5\u672c"), "C:\\Gr\xc3\xbc\xc3\x9f" "e\\\xe6\x97\xa5\xe6\x9c\xac");
    EXPECT_EQ(to_utf8(L"\xD83D\xDE00"), "\xf0\x9f\x98\x80");
    // A lone surrogate is not text; it is shown as the replacement character.
    EXPECT_EQ(to_utf8(L"a\xD83Dz"), "a\xef\xbf\xbdz");
}
#endif

// --- start-up sequence ---

TEST(LauncherStartUp, WorkingDriverLoadsTheApplicationDirectly)
{
    ScriptedPlatform platform;
    platform.entry_result = 42;
    EXPECT_EQ(run_launcher(platform), 42);
    EXPECT_EQ(platform.calls,
              joined({start_calls, probe_calls, {"module_file_name"}, application_calls}));
    EXPECT_EQ(platform.output, "");
}

TEST(LauncherStartUp, SoftwareOptionSkipsTheCheckAndLoadsMesaFirst)
{
    ScriptedPlatform platform;
    platform.add_arguments({ZORIM_NATIVE("--sw-renderer")});
    platform.entry_result = 7;
    EXPECT_EQ(run_launcher(platform), 7);
    // Nothing of the system library: no load, no release, no message box.
    EXPECT_EQ(platform.calls, joined({start_calls, {"module_file_name"}, mesa_calls, application_calls}));
    EXPECT_EQ(platform.output, mesa_lines);
}

TEST(LauncherStartUp, BothOptionsReachTheApplicationInPlace)
{
    ScriptedPlatform platform;
    platform.add_arguments({ZORIM_NATIVE("--sw-renderer"), ZORIM_NATIVE("model.3mf"),
                            ZORIM_NATIVE("--no-sw-renderer")});
    run_launcher(platform);
    EXPECT_EQ(platform.calls, joined({start_calls, probe_calls, {"module_file_name"}, application_calls}));

    // The count includes the program name; the array is the split command
    // line itself, followed by a null pointer.
    ASSERT_EQ(platform.entry_argument_count, 4);
    ASSERT_EQ(platform.entry_arguments.size(), 5u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(platform.entry_arguments[i], platform.split()[i]);
    }
    EXPECT_EQ(NativeString(platform.entry_arguments[1]), ZORIM_NATIVE("--sw-renderer"));
    EXPECT_EQ(NativeString(platform.entry_arguments[3]), ZORIM_NATIVE("--no-sw-renderer"));
    EXPECT_EQ(platform.entry_arguments[4], nullptr);
}

TEST(LauncherStartUp, OldOrUnreadableDriverIsReleasedBeforeMesa)
{
    for (const std::string version : {"3.1.0 - Build 9.18", "", " 4.6"}) {
        ScriptedPlatform platform;
        platform.version_text = version;
        platform.entry_result = 3;
        EXPECT_EQ(run_launcher(platform), 3);
        EXPECT_EQ(platform.calls,
                  joined({start_calls, probe_calls, {"module_file_name"}, release_calls, mesa_calls,
                          application_calls}))
            << '"' << version << '"';
        EXPECT_EQ(platform.output, "System OpenGL library successfully released\n" + mesa_lines);
    }
}

TEST(LauncherStartUp, MissingSystemLibraryLeadsToMesaWithoutRelease)
{
    ScriptedPlatform platform;
    platform.libraries.erase(ZORIM_NATIVE("opengl32.dll"));
    EXPECT_EQ(run_launcher(platform), 0);
    EXPECT_EQ(platform.calls, joined({start_calls, {"run_opengl_check", "load_library opengl32.dll"},
                                      {"module_file_name"}, mesa_calls, application_calls}));
    EXPECT_EQ(platform.output, "Failed loading the system opengl32.dll\n" + mesa_lines);
}

TEST(LauncherStartUp, InvalidSystemLibraryIsReleasedAndMesaLoaded)
{
    ScriptedPlatform platform;
    platform.libraries[ZORIM_NATIVE("opengl32.dll")].erase("wglDeleteContext");
    EXPECT_EQ(run_launcher(platform), 0);
    EXPECT_EQ(platform.calls,
              joined({start_calls,
                      {"run_opengl_check", "load_library opengl32.dll", "get_procedure wglCreateContext",
                       "get_procedure wglMakeCurrent", "get_procedure wglDeleteContext"},
                      {"module_file_name"}, release_calls, mesa_calls, application_calls}));
    EXPECT_EQ(platform.output, "Failed loading the system opengl32.dll: The library is invalid.\n"
                               "System OpenGL library successfully released\n"
                                   + mesa_lines);
}

TEST(LauncherStartUp, ReleaseFailuresAreShownAndStopBeforeMesaAndApplication)
{
    {
        ScriptedPlatform platform;
        platform.version_text = "3.1";
        platform.free_fails = true;
        EXPECT_EQ(run_launcher(platform), -1);
        EXPECT_EQ(platform.calls, joined({start_calls, probe_calls,
                                          {"module_file_name", "free_library opengl32.dll", box}}));
        EXPECT_EQ(platform.output, "System OpenGL library NOT released\n");
        EXPECT_EQ(platform.entry_argument_count, -1);
    }
    {
        ScriptedPlatform platform;
        platform.version_text = "3.1";
        platform.stays_loaded_after_free = true;
        EXPECT_EQ(run_launcher(platform), -1);
        EXPECT_EQ(platform.calls, joined({start_calls, probe_calls, {"module_file_name"}, release_calls, {box}}));
        EXPECT_EQ(platform.output, "System OpenGL library released but not removed\n");
    }
}

TEST(LauncherStartUp, MissingMesaStillStartsTheApplication)
{
    ScriptedPlatform platform;
    platform.add_arguments({ZORIM_NATIVE("--sw-renderer")});
    platform.libraries.erase(ZORIM_NATIVE("C:\\Zorim\\mesa\\opengl32.dll"));
    platform.entry_result = 5;
    EXPECT_EQ(run_launcher(platform), 5);
    EXPECT_EQ(platform.calls, joined({start_calls, {"module_file_name"}, mesa_calls, application_calls}));
    EXPECT_EQ(platform.output, "Loading MESA OpenGL library: C:\\Zorim\\mesa\\opengl32.dll\n"
                               "MESA OpenGL library was not loaded\n");
}

TEST(LauncherStartUp, MissingApplicationOrEntryEndsWithMinusOne)
{
    {
        ScriptedPlatform platform;
        platform.libraries.erase(ZORIM_NATIVE("C:\\Zorim\\ZorimSlicer.dll"));
        EXPECT_EQ(run_launcher(platform), -1);
        EXPECT_EQ(platform.output, "ZorimSlicer.dll was not loaded, error=126\n");
        EXPECT_EQ(platform.calls.back(), "load_library C:\\Zorim\\ZorimSlicer.dll");
    }
    {
        // MESA was loaded, the status is still -1.
        ScriptedPlatform platform;
        platform.add_arguments({ZORIM_NATIVE("--sw-renderer")});
        platform.libraries.erase(ZORIM_NATIVE("C:\\Zorim\\ZorimSlicer.dll"));
        platform.error_code = 193;
        EXPECT_EQ(run_launcher(platform), -1);
        EXPECT_EQ(platform.output, mesa_lines + "ZorimSlicer.dll was not loaded, error=193\n");
    }
    {
        ScriptedPlatform platform;
        platform.libraries[ZORIM_NATIVE("C:\\Zorim\\ZorimSlicer.dll")] = {"quillan_main_v2"};
        EXPECT_EQ(run_launcher(platform), -1);
        EXPECT_EQ(platform.output, "could not locate the function quillan_main in ZorimSlicer.dll\n");
        EXPECT_EQ(platform.calls.back(), "get_procedure quillan_main");
    }
}

TEST(LauncherStartUp, UnsplittableCommandLineEndsAtOnce)
{
    ScriptedPlatform platform;
    platform.command_line_fails = true;
    platform.error_code = 8;
    EXPECT_EQ(run_launcher(platform), -1);
    EXPECT_EQ(platform.calls, std::vector<std::string>{"command_line"});
    EXPECT_EQ(platform.output, "The command line could not be split, error=8\n");
}

TEST(LauncherStartUp, OwnFileNameThatCannotBeReadEndsWithMinusOne)
{
    ScriptedPlatform platform;
    platform.own_file_name.clear();
    platform.error_code = 5;
    EXPECT_EQ(run_launcher(platform), -1);
    EXPECT_EQ(platform.calls, joined({start_calls, probe_calls, {"module_file_name"}}));
    EXPECT_EQ(platform.output, "The launcher's own file name could not be read, error=5\n");
}

TEST(LauncherStartUp, PathsThatDoNotFitStopBeforeAnythingIsLoaded)
{
    const NativeString drive = ZORIM_NATIVE("C:\\");
    // The launcher's own name is longer than the buffer.
    {
        ScriptedPlatform platform;
        platform.own_file_name = drive + NativeString(300, ZORIM_NATIVE('x')) + ZORIM_NATIVE("\\ZorimSlicer.exe");
        EXPECT_EQ(run_launcher(platform), -1);
        EXPECT_EQ(platform.calls, joined({start_calls, probe_calls, {"module_file_name"}}));
        EXPECT_EQ(platform.output.rfind("Path longer than 260 characters, cannot continue: C:\\xxx", 0), 0u)
            << platform.output;
    }
    // The name fits, the application's path does not (246 + 15 > 260).
    const NativeString deep = drive + NativeString(242, ZORIM_NATIVE('x')) + ZORIM_NATIVE("\\");
    ASSERT_EQ(deep.size(), 246u);
    {
        ScriptedPlatform platform;
        platform.own_file_name = deep + ZORIM_NATIVE("Z.exe");
        EXPECT_EQ(run_launcher(platform), -1);
        EXPECT_EQ(platform.calls, joined({start_calls, probe_calls, {"module_file_name"}}));
        EXPECT_EQ(platform.output,
                  "Path longer than 260 characters, cannot continue: " + utf8(deep) + "ZorimSlicer.dll\n");
    }
    // 244 + 15 fits, 244 + 17 for MESA does not: only software rendering stops.
    const NativeString less_deep = deep.substr(0, 243) + ZORIM_NATIVE("\\");
    const NativeString application = less_deep + ZORIM_NATIVE("ZorimSlicer.dll");
    {
        ScriptedPlatform platform;
        platform.own_file_name = less_deep + ZORIM_NATIVE("Z.exe");
        platform.libraries[application] = {"quillan_main"};
        platform.entry_result = 9;
        EXPECT_EQ(run_launcher(platform), 9);
        EXPECT_EQ(platform.calls[platform.calls.size() - 3], "load_library " + utf8(application));
    }
    {
        ScriptedPlatform platform;
        platform.own_file_name = less_deep + ZORIM_NATIVE("Z.exe");
        platform.libraries[application] = {"quillan_main"};
        platform.version_text = "2.1";
        EXPECT_EQ(run_launcher(platform), -1);
        EXPECT_EQ(platform.calls, joined({start_calls, probe_calls, {"module_file_name"}}));
        EXPECT_EQ(platform.output, "Path longer than 260 characters, cannot continue: " + utf8(less_deep)
                                       + "mesa\\opengl32.dll\n");
    }
}

TEST(LauncherStartUp, NoExceptionLeavesTheStartUp)
{
    ScriptedPlatform platform;
    platform.entry_throws = true;
    EXPECT_EQ(run_launcher(platform), -1);
    EXPECT_EQ(platform.output, "ZorimSlicer stopped: out of memory in the application\n");
}

}  // namespace
}  // namespace zorim::launcher
