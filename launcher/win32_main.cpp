#include "win32_platform.h"

#include <windows.h>

#include <cstdint>

// Hybrid-graphics drivers look for these two exports to decide which GPU runs
// a program. Both are exported at 0: the launcher declares the symbols but
// leaves the choice to the driver's own settings.
extern "C" {
__declspec(dllexport) std::uint32_t NvOptimusEnablement = 0;
__declspec(dllexport) std::int32_t AmdPowerXpressRequestHighPerformance = 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    zorim::launcher::Win32Platform platform;
    return zorim::launcher::run_launcher(platform);
}
