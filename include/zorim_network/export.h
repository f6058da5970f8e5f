// How the plug-in's entry points are exported and imported.
//
// Every export has C linkage and a plain, undecorated name. The plug-in is
// built with ZORIM_NETWORK_BUILDING defined; hosts include the headers as they
// are. Hosts that load the library at run time resolve the names themselves
// and only need the types.
#pragma once

#if defined(_WIN32)
#  if defined(ZORIM_NETWORK_BUILDING)
#    define ZORIM_NETWORK_API extern "C" __declspec(dllexport)
#  else
#    define ZORIM_NETWORK_API extern "C" __declspec(dllimport)
#  endif
#else
#  define ZORIM_NETWORK_API extern "C" __attribute__((visibility("default")))
#endif
