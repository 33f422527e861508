// FormatMessageA for the system's own message texts: the English texts of the error
// codes that the stand-in and its callers meet, each with the line end Windows' message
// table gives it.
#include <string.h>

#include "core.h"

namespace winsim {

namespace {

struct MessageText {
    DWORD code;
    const char *text;
};

// One line per code, in code order: the kernel32 codes, then SetupAPI's, which carry
// their high bits. Every code a public header of the stand-in declares is here.
const MessageText system_messages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {18, "There are no more files.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {111, "The file name is too long.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {231, "All pipe instances are busy.\r\n"},
    {232, "The pipe is being closed.\r\n"},
    {233, "No process is on the other end of the pipe.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {535, "There is a process on other end of the pipe.\r\n"},
    {536, "Waiting for a process to open the other end of the pipe.\r\n"},
    {710, "ERROR_EVENT_DONE\r\n"},
    {711, "ERROR_EVENT_PENDING\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, "Overlapped I/O event is not in a signaled state.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1168, "Element not found.\r\n"},
    {1617, "The device has been removed.\r\n"},
    {1784, "The supplied user buffer is not valid for the requested operation.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {0xE0000000, "A section name was expected in the INF but was not found.\r\n"},
    {0xE0000001, "The section name line in the INF is not valid.\r\n"},
    {0xE0000002, "A section name in the INF is too long.\r\n"},
    {0xE0000003, "The syntax of the INF is invalid.\r\n"},
    {0xE0000100, "The style of the INF is different than what was requested.\r\n"},
    {0xE0000101, "The required section was not found in the INF.\r\n"},
    {0xE0000102, "The required line was not found in the INF.\r\n"},
    {0xE0000201, "The INF or the device information set or element does not match the specified install class.\r\n"},
    {0xE0000203, "There is no driver selected for the device information set or element.\r\n"},
    {0xE0000204, "The requested device registry key does not exist.\r\n"},
    {0xE0000205, "The device instance name is invalid.\r\n"},
    {0xE0000206, "The install class is not present or is invalid.\r\n"},
    {0xE0000207, "The device instance cannot be created because it already exists.\r\n"},
    {0xE0000209, "The device registry property is invalid.\r\n"},
    {0xE000020A, "The INF from which a driver list is to be built does not exist.\r\n"},
    {0xE000020B, "The device instance does not exist in the hardware tree.\r\n"},
    {0xE000020D, "The class installer registry entry is invalid.\r\n"},
    {0xE000020E, "The class installer has indicated that the default action should be performed for this installation request.\r\n"},
    {0xE0000210, "The specified hardware profile does not exist.\r\n"},
    {0xE0000211, "There is no device information element currently selected for this device information set.\r\n"},
    {0xE0000212, "The operation cannot be performed because the device information set is locked.\r\n"},
    {0xE0000215, "There are no class install parameters for the device information set or element.\r\n"},
    {0xE0000219, "The installation failed because a function driver was not specified for this device instance.\r\n"},
    {0xE0000220, "The machine name is invalid.\r\n"},
    {0xE0000228, "There are no compatible drivers for this device.\r\n"},
    {0xE000023C, "The specified file is not an installed OEM INF.\r\n"},
    {0xE000023D, "One or more devices are presently installed using the specified INF.\r\n"},
};

const char *system_message(DWORD code)
{
    for (const MessageText &m : system_messages)
        if (m.code == code)
            return m.text;
    return nullptr;
}

const DWORD ERROR_RESOURCE_LANG_NOT_FOUND_ = 1815;

// Only English texts exist: the neutral and default languages and any English one.
bool language_known(DWORD lang)
{
    DWORD primary = lang & 0x3FF;
    return lang == 0 || primary == 0 /* LANG_NEUTRAL */ || primary == 0x09 /* LANG_ENGLISH */;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD lang, LPSTR buffer, DWORD size,
                                       va_list *args)
{
    (void)source;
    if (DWORD e = api_enter("FormatMessageA"))
        return fail(e, (DWORD)0);
    // Only the system's table with inserts left as they stand; allocation, other sources
    // and line-width control are not offered.
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        (flags & ~(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)) != 0)
        return fail(ERROR_INVALID_PARAMETER, (DWORD)0);
    if (!language_known(lang))
        return fail(ERROR_RESOURCE_LANG_NOT_FOUND_, (DWORD)0);
    const char *text = system_message(id);
    if (!text)
        return fail(ERROR_MR_MID_NOT_FOUND, (DWORD)0);
    // Without IGNORE_INSERTS a text with inserts would need arguments we do not format.
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && strchr(text, '%') && !args)
        return fail(ERROR_INVALID_PARAMETER, (DWORD)0);
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && strchr(text, '%'))
        return fail(ERROR_NOT_SUPPORTED, (DWORD)0);
    size_t len = strlen(text);
    if (!buffer || size == 0 || len + 1 > size)
        return fail(ERROR_INSUFFICIENT_BUFFER, (DWORD)0);
    memcpy(buffer, text, len + 1);
    return (DWORD)len;
}
