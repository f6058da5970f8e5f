// Stands in for the MESA software OpenGL library: the launcher only loads it,
// and the application stand-in recognises it by this export.
extern "C" {
#ifdef _WIN32
__declspec(dllexport) int zorim_mesa_stand_in = 1;
#else
__attribute__((visibility("default"))) int zorim_mesa_stand_in = 1;
#endif
}
