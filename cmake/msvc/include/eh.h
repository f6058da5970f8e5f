// Gap: Wine's <eh.h> declares terminate, set_terminate, unexpected and
// set_unexpected with C++ linkage; the universal CRT declares them extern "C",
// the names under which ucrtbase.dll exports them. Wine's declarations are
// renamed out of the way and declared again here as the run-time exports them.
#pragma once
#define terminate __wine_cxx_terminate
#define set_terminate __wine_cxx_set_terminate
#define unexpected __wine_cxx_unexpected
#define set_unexpected __wine_cxx_set_unexpected
#include_next <eh.h>
#undef terminate
#undef set_terminate
#undef unexpected
#undef set_unexpected
extern "C" {
_ACRTIMP terminate_function __cdecl set_terminate(terminate_function handler);
_ACRTIMP unexpected_function __cdecl set_unexpected(unexpected_function handler);
_ACRTIMP __declspec(noreturn) void __cdecl terminate(void);
_ACRTIMP __declspec(noreturn) void __cdecl unexpected(void);
}
