// The service's log: plain lines on standard output, each flushed as it is written so
// that a process reading our output sees it at once.
#pragma once

#if defined(__MINGW32__)
// mingw's own printf family does the formatting: check against its rules.
#include <stdio.h>
#define VSP_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define VSP_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define VSP_PRINTF(f, a)
#endif

void vsp_log(const char *format, ...) VSP_PRINTF(1, 2);
