/* Gap: Wine's <bcrypt.h> declares its functions without extern "C", so C++
   callers (Boost.Filesystem) would look for C++ names that bcrypt.dll does
   not export. */
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
#include_next <bcrypt.h>
#ifdef __cplusplus
}
#endif
