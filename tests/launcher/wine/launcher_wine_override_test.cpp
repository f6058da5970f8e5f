// Launcher cases that need Wine or Mesa configured through the environment.
// A process started inside Wine takes its Unix environment from its parent's
// Unix environment, not from the Windows environment block, so CTest sets the
// variables for each case (tests/launcher/CMakeLists.txt):
//
//   WINEDLLOVERRIDES=opengl32=n   Wine's own opengl32.dll may not be used: the
//                                 system library does not load by name, and a
//                                 stand-in loads from its path instead of
//                                 being replaced by Wine's.
//   MESA_GL_VERSION_OVERRIDE=3.1  Mesa under Wine reports OpenGL 3.1.
#include "wine_launcher.h"

#include <cstdio>

namespace zorim::launcher::wine_test {
namespace {

using WineLauncherOverride = WineLauncherTest;

TEST_F(WineLauncherOverride, SoftwareRendererLoadsMesaBeforeTheApplication)
{
    install(true, true);
    const LauncherRun run = start(L"--no-sw-renderer --sw-renderer");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.rfind(mesa_lines() + "quillan_main argc=3\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find(application_lines({"--no-sw-renderer", "--sw-renderer"})
                           + "system_opengl=no\nmesa=yes\nopengl_module=" + utf8(mesa_path().wstring()) + "\n"),
              std::string::npos)
        << run.out;
}

TEST_F(WineLauncherOverride, UnloadableSystemLibraryLeadsToMesa)
{
    // With Wine's own library barred, "opengl32.dll" by name finds nothing.
    install(true, true);
    const LauncherRun run = start(L"");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.rfind("Failed loading the system opengl32.dll\n" + mesa_lines() + "quillan_main argc=1\n", 0),
              0u)
        << run.out;
    EXPECT_NE(run.out.find("system_opengl=no\nmesa=yes\n"), std::string::npos) << run.out;
}

TEST_F(WineLauncherOverride, InvalidSystemLibraryIsReleasedBeforeMesa)
{
    // A library called opengl32.dll beside the launcher is found first and
    // lacks the wgl entry points.
    install(true, true);
    fs::copy_file(build_output(ZORIM_NO_ENTRY_STAND_IN), directory_ / L"opengl32.dll");
    const LauncherRun run = start(L"");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.rfind("Failed loading the system opengl32.dll: The library is invalid.\n"
                            "System OpenGL library successfully released\n"
                                + mesa_lines() + "quillan_main argc=1\n",
                            0),
              0u)
        << run.out;
    EXPECT_NE(run.out.find("mesa=yes\nopengl_module=" + utf8(mesa_path().wstring()) + "\n"), std::string::npos)
        << run.out;
}

TEST_F(WineLauncherOverride, OldDriverThatCannotBeReleasedIsShownToTheUser)
{
    install(true, true);
    const LauncherRun run = start(L"");
    // Wine's gdi32 keeps its own reference to opengl32.dll once a pixel
    // format was chosen, so the release cannot remove it: the user is told,
    // and neither MESA nor the application is loaded.
    EXPECT_EQ(run.status, -1) << run.out;
    EXPECT_EQ(run.out, "System OpenGL library released but not removed\n");
    ASSERT_EQ(run.message_boxes.size(), 1u) << run.out;
    EXPECT_EQ(run.message_boxes[0].caption, L"ZorimSlicer Error");
    EXPECT_EQ(run.message_boxes[0].text,
              L"Error:ZorimSlicer was unable to automatically switch to MESA OpenGL library.");
}

}  // namespace
}  // namespace zorim::launcher::wine_test

// Each case runs alone, selected by --gtest_filter; a filter that matches
// nothing (a renamed case) must not pass as an empty run.
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        std::fprintf(stderr, "no test case matches the filter\n");
        return 1;
    }
    return result;
}
