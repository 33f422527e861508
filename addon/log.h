// The service's log: plain lines on standard output.
//
// Lines of most threads are written out as they are logged, so that a process reading
// our output sees them at once. The service thread handles bursts of frames and would
// otherwise pay one system call per line: it keeps its lines back and writes them in one
// go when it is about to wait (vsp_log_flush), or when the held lines fill the buffer.
// Every thread's line goes through the same buffer under one lock, so lines keep the
// order in which they were logged and never mix.
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

// Bytes of log held back at most; a flush of up to this many bytes fits the C library's
// own stdout buffer, so it costs one write.
#define VSP_LOG_HELD_MAX 4096

void vsp_log(const char *format, ...) VSP_PRINTF(1, 2);

// From now on the calling thread's lines are held until vsp_log_flush (or a full buffer).
void vsp_log_hold_lines(void);

// Writes out every line held so far; any thread may call it.
void vsp_log_flush(void);
