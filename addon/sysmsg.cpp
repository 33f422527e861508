#include "sysmsg.h"

DWORD system_message(DWORD code, char *buf)
{
    if (code == 0)
        return 0;
    return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, buf,
                          VSP_ERROR_TEXT_SIZE, NULL);
}
