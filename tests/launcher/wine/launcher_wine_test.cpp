// The real launcher under Wine, in Wine's default configuration, and its
// executable's resources and exports read through the Win32 API.
#include "wine_launcher.h"

namespace zorim::launcher::wine_test {
namespace {

using WineLauncher = WineLauncherTest;

TEST_F(WineLauncher, WorkingDriverStartsTheApplicationWithEveryArgument)
{
    install(true, true);
    const LauncherRun run = start(L"--exit-code=42 Gr\u00fc\u00dfe \"\u65e5\u672c\u8a9e \u30c6\u30b9\u30c8\" \"\" "
                                  L"\xD83D\xDE00 --sw-renderer --no-sw-renderer");
    EXPECT_EQ(run.status, 42) << run.out;
    // Through Xvfb, Mesa offers OpenGL 4.5: the check passes silently, the
    // application starts at once and the system library stays loaded.
    EXPECT_EQ(run.out.rfind("quillan_main argc=8\nargv[0]=" + utf8((directory_ / L"ZorimSlicer.exe").wstring())
                                + "\n",
                            0),
              0u)
        << run.out;
    EXPECT_NE(run.out.find(application_lines({"--exit-code=42", "Gr\xc3\xbc\xc3\x9f" "e",
                                              "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88",
                                              "", "\xf0\x9f\x98\x80", "--sw-renderer", "--no-sw-renderer"})
                               + "system_opengl=yes\nmesa=no\n"),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(run.message_boxes.empty());
}

TEST_F(WineLauncher, MissingMesaStillStartsTheApplication)
{
    install(true, false);
    const LauncherRun run = start(L"--sw-renderer --exit-code=9");
    EXPECT_EQ(run.status, 9) << run.out;
    EXPECT_EQ(run.out.rfind("Loading MESA OpenGL library: " + utf8(mesa_path().wstring())
                                + "\nMESA OpenGL library was not loaded\nquillan_main argc=3\n",
                            0),
              0u)
        << run.out;
}

TEST_F(WineLauncher, MissingApplicationOrEntryEndsWithMinusOne)
{
    install(false, true);
    LauncherRun run = start(L"--sw-renderer");
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.out, mesa_lines() + "ZorimSlicer.dll was not loaded, error=126\n");

    // A library whose entry has another name.
    fs::copy_file(build_output(ZORIM_NO_ENTRY_STAND_IN), directory_ / L"ZorimSlicer.dll");
    run = start(L"");
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.out, "could not locate the function quillan_main in ZorimSlicer.dll\n");
}

TEST_F(WineLauncher, MesaPathBeyond260CharactersIsReportedNotOverrun)
{
    // The launcher's own path fits (259 characters, the most that
    // CreateProcessW starts), the MESA path (261) does not.
    directory_ = root_;
    const std::size_t wanted = 259 - std::wcslen(L"\\ZorimSlicer.exe");
    directory_ /= std::wstring(wanted - directory_.wstring().size() - 1, L'd');
    ASSERT_EQ((directory_ / L"ZorimSlicer.exe").wstring().size(), 259u);
    ASSERT_EQ(mesa_path().wstring().size(), 261u);
    install(true, true);
    const LauncherRun run = start(L"--sw-renderer");
    EXPECT_EQ(run.status, -1) << run.out;
    EXPECT_EQ(run.out, "Path longer than 260 characters, cannot continue: " + utf8(mesa_path().wstring()) + "\n");
}

TEST(WineLauncherExecutable, CarriesVersionIconAndManifest)
{
    const fs::path program = build_output(ZORIM_LAUNCHER_PROGRAM);
    const HMODULE image = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr) << GetLastError();

    // Version information, read the way Explorer reads it.
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> version(size);
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, version.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    ASSERT_TRUE(VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00030000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000014u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00030000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000014u);
    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"CompanyName", L"Zorim"},         {L"FileDescription", L"ZorimSlicer"},
        {L"FileVersion", L"3.0.0.20"},      {L"ProductName", L"ZorimSlicer"},
        {L"InternalName", L"ZorimSlicer"},  {L"OriginalFilename", L"ZorimSlicer.exe"},
    };
    for (const auto& [name, expected] : strings) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904E4\\") + name;
        ASSERT_TRUE(VerQueryValueW(version.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            << utf8(name);
        EXPECT_EQ(std::wstring(value), expected) << utf8(name);
    }

    // One icon group with one 256x256 32-bit image, stored as PNG.
    const HRSRC group = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
    ASSERT_NE(group, nullptr);
    const auto* group_data = static_cast<const unsigned char*>(LockResource(LoadResource(image, group)));
    ASSERT_GE(SizeofResource(image, group), 6u + 14u);
    EXPECT_EQ(group_data[4] | group_data[5] << 8, 1);          // one image
    EXPECT_EQ(group_data[6], 0);                                // width 256
    EXPECT_EQ(group_data[7], 0);                                // height 256
    EXPECT_EQ(group_data[12] | group_data[13] << 8, 32);        // bits per pixel
    const int icon_id = group_data[18] | group_data[19] << 8;
    const HRSRC icon = FindResourceW(image, MAKEINTRESOURCEW(icon_id), MAKEINTRESOURCEW(3));
    ASSERT_NE(icon, nullptr);
    const auto* png = static_cast<const unsigned char*>(LockResource(LoadResource(image, icon)));
    ASSERT_GE(SizeofResource(image, icon), 33u);
    EXPECT_EQ(std::memcmp(png, "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x01\0\0\0\x01\0\x08\x06", 26), 0);

    // The manifest the loader reads at start.
    const HRSRC manifest = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifest, nullptr);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(image, manifest))),
                           SizeofResource(image, manifest));
    for (const char* expected : {
             R"(<assemblyIdentity type="win32" name="ZorimSlicer" version="3.0.0.20")",
             R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)",
             R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
             R"(publicKeyToken="6595b64144ccf1df")",
             "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
             ">true/pm</dpiAware>",
             ">permonitorv2,permonitor</dpiAwareness>",
         }) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    }
    FreeLibrary(image);
}

TEST(WineLauncherExecutable, ExportedDriverHintsHoldZero)
{
    // Mapped as an image, not started: the exports can be read in place.
    const HMODULE image =
        LoadLibraryExW(build_output(ZORIM_LAUNCHER_PROGRAM).c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr) << GetLastError();
    const auto* nvidia = reinterpret_cast<const std::uint32_t*>(GetProcAddress(image, "NvOptimusEnablement"));
    const auto* amd =
        reinterpret_cast<const std::int32_t*>(GetProcAddress(image, "AmdPowerXpressRequestHighPerformance"));
    ASSERT_NE(nvidia, nullptr);
    ASSERT_NE(amd, nullptr);
    EXPECT_EQ(*nvidia, 0u);
    EXPECT_EQ(*amd, 0);
    FreeLibrary(image);
}

}  // namespace
}  // namespace zorim::launcher::wine_test
