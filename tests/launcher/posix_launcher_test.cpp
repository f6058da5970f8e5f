// The Linux stand-in of the launcher, run as a program in a directory laid
// out like an installation, with stand-ins for the libraries it loads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct ProgramRun {
    std::string out;
    std::string err;
    int status = -1000;  // exit status; -1000 when the program did not exit normally
};

// Runs `program` with `arguments` (argv[0] included), collecting both output
// streams, for at most 30 seconds.
ProgramRun run_program(const fs::path& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& extra_environment = {})
{
    std::vector<std::string> environment_text(extra_environment);
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view inherited(*variable);
        bool replaced = false;
        for (const std::string& extra : extra_environment) {
            replaced = replaced || inherited.substr(0, inherited.find('=') + 1) == extra.substr(0, extra.find('=') + 1);
        }
        if (!replaced) {
            environment_text.emplace_back(inherited);
        }
    }
    std::vector<char*> environment;
    for (std::string& variable : environment_text) {
        environment.push_back(variable.data());
    }
    environment.push_back(nullptr);

    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    ProgramRun result;
    if (spawned != 0) {
        ADD_FAILURE() << "could not start " << program << ": " << spawned;
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pollfd streams[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_streams = 2;
    bool timed_out = false;
    while (open_streams > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        if (poll(streams, 2, static_cast<int>(left.count())) < 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd >= 0 && (streams[i].revents & (POLLIN | POLLHUP)) != 0) {
                char buffer[4096];
                const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
                if (got > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(got));
                } else {
                    close(streams[i].fd);
                    streams[i].fd = -1;
                    --open_streams;
                }
            }
        }
    }
    for (const pollfd& stream : streams) {
        if (stream.fd >= 0) {
            close(stream.fd);
        }
    }
    if (timed_out) {
        ADD_FAILURE() << program << " did not end within 30 seconds";
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

// The machine's EGL and Mesa libraries keep allocations that LeakSanitizer
// reports at exit, so runs that load them do without its check; the
// launcher's own start-up is leak-checked in the in-process tests.
std::vector<std::string> for_opengl_check(std::vector<std::string> environment = {})
{
    const char* options = std::getenv("ASAN_OPTIONS");
    environment.push_back("ASAN_OPTIONS=" + std::string(options != nullptr ? options : "") + ":detect_leaks=0");
    return environment;
}

class PosixLauncher : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "zorim-launcher-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        directory_ = root_;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // Lays out an installation in `directory_`; the launcher is copied, not
    // linked, because it finds its directory through its own real path.
    void install(bool application = true, bool mesa = false)
    {
        fs::create_directories(directory_);
        fs::copy_file(ZORIM_LAUNCHER_PROGRAM, directory_ / "ZorimSlicer");
        if (application) {
            fs::copy_file(ZORIM_APPLICATION_STAND_IN, directory_ / "libZorimSlicer.so");
        }
        if (mesa) {
            fs::create_directories(directory_ / "mesa");
            fs::copy_file(ZORIM_MESA_STAND_IN, directory_ / "mesa" / "libGL.so.1");
        }
    }

    ProgramRun start(std::vector<std::string> arguments = {}, const std::vector<std::string>& environment = {})
    {
        arguments.insert(arguments.begin(), "ZorimSlicer");
        return run_program(directory_ / "ZorimSlicer", arguments, environment);
    }

    std::string mesa_lines() const
    {
        return "Loading MESA OpenGL library: " + (directory_ / "mesa" / "libGL.so.1").string()
               + "\nMESA OpenGL library was loaded sucessfully\n";
    }

    fs::path root_;
    fs::path directory_;
};

TEST_F(PosixLauncher, ApplicationReceivesEveryArgumentAndDecidesTheStatus)
{
    install(true, true);
    const ProgramRun result =
        start({"--sw-renderer", "Gr\xc3\xbc\xc3\x9f" "e", "two words", "", "--exit-code=42", "--no-sw-renderer"},
              for_opengl_check());
    EXPECT_EQ(result.status, 42) << result.out << result.err;
    // The last option was --no-sw-renderer: the system check decided.
    const std::size_t start_of_application = result.out.find("quillan_main argc=7\n");
    ASSERT_NE(start_of_application, std::string::npos) << result.out;
    EXPECT_EQ(result.out.substr(start_of_application, result.out.find("system_opengl=") - start_of_application),
              "quillan_main argc=7\n"
              "argv[0]=ZorimSlicer\n"
              "argv[1]=--sw-renderer\n"
              "argv[2]=Gr\xc3\xbc\xc3\x9f" "e\n"
              "argv[3]=two words\n"
              "argv[4]=\n"
              "argv[5]=--exit-code=42\n"
              "argv[6]=--no-sw-renderer\n"
              "argv[7]=null\n");
}

TEST_F(PosixLauncher, SystemCheckKeepsAWorkingDriverOrSwitchesToMesa)
{
    install(true, true);
    const ProgramRun result = start({}, for_opengl_check());
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    if (result.out.find("Loading MESA") == std::string::npos) {
        // A usable driver: no line at all, and it stays loaded.
        EXPECT_EQ(result.out.rfind("quillan_main argc=1\n", 0), 0u) << result.out;
        EXPECT_NE(result.out.find("system_opengl=yes\nmesa=no\n"), std::string::npos) << result.out;

        // The same driver claiming OpenGL 3.1 is released again, and really
        // leaves the process, before MESA is loaded.
        const ProgramRun old_driver = start({}, for_opengl_check({"MESA_GL_VERSION_OVERRIDE=3.1"}));
        EXPECT_EQ(old_driver.status, 0);
        EXPECT_EQ(old_driver.out.rfind("System OpenGL library successfully released\n" + mesa_lines()
                                           + "quillan_main argc=1\n",
                                       0),
                  0u)
            << old_driver.out;
        EXPECT_NE(old_driver.out.find("system_opengl=no\nmesa=yes\n"), std::string::npos) << old_driver.out;
    } else {
        // No EGL, or one below OpenGL 3.2: the check's own line (if any) and
        // the release come first, and the system library is gone.
        EXPECT_NE(result.out.find(mesa_lines() + "quillan_main argc=1\n"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("system_opengl=no\nmesa=yes\n"), std::string::npos) << result.out;
    }
}

TEST_F(PosixLauncher, SoftwareOptionLoadsMesaAndNeverTheSystemLibrary)
{
    install(true, true);
    const ProgramRun result = start({"--no-sw-renderer", "--sw-renderer"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind(mesa_lines() + "quillan_main argc=3\n", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("system_opengl=no\nmesa=yes\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
}

TEST_F(PosixLauncher, MissingMesaStillStartsTheApplication)
{
    install(true, false);
    const ProgramRun result = start({"--sw-renderer", "--exit-code=3"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out.rfind("Loading MESA OpenGL library: " + (directory_ / "mesa" / "libGL.so.1").string()
                                   + "\nMESA OpenGL library was not loaded\nquillan_main argc=3\n",
                               0),
              0u)
        << result.out;
}

TEST_F(PosixLauncher, MissingApplicationOrEntryEndsWithMinusOne)
{
    install(false, true);
    ProgramRun result = start({"--sw-renderer"});
    EXPECT_EQ(result.status, 255);
    // errno's ENOENT stands where Windows would give its error code.
    EXPECT_EQ(result.out, mesa_lines() + "ZorimSlicer.dll was not loaded, error=2\n");
    EXPECT_NE(result.err.find("libZorimSlicer.so"), std::string::npos) << result.err;

    // A library whose entry has another name.
    fs::copy_file(ZORIM_NO_ENTRY_STAND_IN, directory_ / "libZorimSlicer.so");
    result = start({"--sw-renderer"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, mesa_lines() + "could not locate the function quillan_main in ZorimSlicer.dll\n");
}

TEST_F(PosixLauncher, DirectoryDeeperThanTheBuffersIsReportedNotOverrun)
{
    // Deep enough that even the launcher's own name does not fit.
    while (directory_.string().size() < 300) {
        directory_ /= "nested-directory";
    }
    install(true, true);
    const ProgramRun result = start({"--sw-renderer"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out.rfind("Path longer than 260 characters, cannot continue: " + root_.string(), 0), 0u)
        << result.out;
    EXPECT_EQ(result.out.find("quillan_main"), std::string::npos);
}

}  // namespace
