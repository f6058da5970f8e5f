// An application library whose entry has another name than the launcher
// looks for.
#ifdef _WIN32
#define STAND_IN_EXPORT extern "C" __declspec(dllexport)
#else
#define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

STAND_IN_EXPORT int quillan_start(int /*argc*/, void* /*argv*/)
{
    return 0;
}
