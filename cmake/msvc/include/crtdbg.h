/* Gap: Wine's <crtdbg.h> lacks the universal CRT's names for where debug
   reports go (GoogleTest sends them to standard error). This is a release
   build (no _DEBUG): as in the universal CRT's header, the reports do not
   exist and setting their file does nothing. */
#pragma once
#include_next <crtdbg.h>
#include <stdint.h>
typedef void* _HFILE;
#define _CRTDBG_MODE_FILE 0x1
#define _CRTDBG_MODE_DEBUG 0x2
#define _CRTDBG_FILE_STDERR ((_HFILE)(intptr_t)-5)
#ifndef _DEBUG
#define _CrtSetReportFile(type, file) ((_HFILE)0)
#endif
