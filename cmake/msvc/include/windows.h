/* Gap: Wine's Windows headers lack two names of the Windows SDK's that
   Boost.WinAPI uses: CompareObjectHandles (Windows 10, handleapi.h), named
   when _WIN32_WINNT is 0x0A00, and UNICODE_STRING_MAX_BYTES (winnt.h). */
#pragma once
#include_next <windows.h>
#ifndef UNICODE_STRING_MAX_BYTES
#define UNICODE_STRING_MAX_BYTES ((WORD)65534)
#endif
#if _WIN32_WINNT >= 0x0A00
#ifdef __cplusplus
extern "C"
#endif
WINBASEAPI BOOL WINAPI CompareObjectHandles(HANDLE first, HANDLE second);
#endif
