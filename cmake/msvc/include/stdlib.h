/* Gap: Wine's <stdlib.h> has the flags of _set_abort_behavior (GoogleTest
   calls it) but not its declaration; ucrtbase.dll exports it. */
#pragma once
#include_next <stdlib.h>
#ifdef __cplusplus
extern "C"
#endif
_ACRTIMP unsigned int __cdecl _set_abort_behavior(unsigned int flags, unsigned int mask);
