#include "posix_platform.h"

int main(int argc, char** argv)
{
    zorim::launcher::PosixPlatform platform(argc, argv);
    return zorim::launcher::run_launcher(platform);
}
