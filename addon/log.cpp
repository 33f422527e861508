#include "log.h"

#include <stdarg.h>
#include <stdio.h>

void vsp_log(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}
