/* Gap: Wine's <signal.h> lacks the universal CRT's sig_atomic_t, which
   Microsoft's <csignal> names. */
#pragma once
#include_next <signal.h>
typedef int sig_atomic_t;
