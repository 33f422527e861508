#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sched.h>
#endif

namespace {

// The C++ run-time of the Windows build has no std::mutex (win32 thread model), and the
// lock is held only to copy a line or to write the buffer out: a spin lock that yields.
// It yields to the system itself, not through the stand-in, whose tests record the
// Win32 calls the service makes.
std::atomic_flag busy = ATOMIC_FLAG_INIT;

void yield_processor(void)
{
#if defined(_WIN32)
    Sleep(0);
#else
    sched_yield();
#endif
}

struct Lock {
    Lock()
    {
        while (busy.test_and_set(std::memory_order_acquire))
            yield_processor();
    }
    ~Lock() { busy.clear(std::memory_order_release); }
};

char held[VSP_LOG_HELD_MAX];
size_t held_len;
thread_local bool holding;

void write_out(const char *data, size_t len)
{
    if (len == 0)
        return;
    fwrite(data, 1, len, stdout);
    fflush(stdout);
}

void write_held(void)
{
    write_out(held, held_len);
    held_len = 0;
}

// Formats the line behind the lines already held; a line that does not fit writes the
// held ones out first, and one longer than the whole buffer goes out on its own.
void append(const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    size_t room = sizeof held - held_len;
    int n = vsnprintf(held + held_len, room, format, args);
    if (n >= 0 && (size_t)n < room) {
        held_len += (size_t)n;
    } else if (n >= 0) {
        write_held();
        if ((size_t)n < sizeof held) {
            vsnprintf(held, sizeof held, format, again);
            held_len = (size_t)n;
        } else {
            char *line = (char *)malloc((size_t)n + 1);
            if (line) {
                vsnprintf(line, (size_t)n + 1, format, again);
                write_out(line, (size_t)n);
                free(line);
            }
        }
    }
    va_end(again);
}

}  // namespace

void vsp_log(const char *format, ...)
{
    Lock lock;
    va_list args;
    va_start(args, format);
    append(format, args);
    va_end(args);
    if (!holding)
        write_held();
}

void vsp_log_hold_lines(void) { holding = true; }

void vsp_log_flush(void)
{
    Lock lock;
    write_held();
}
