// FormatMessageA with the system's message texts.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "winsim/test.h"
#include "winsim/winsim.h"

namespace {

const DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

std::string text_of(DWORD code)
{
    char buf[1024];
    DWORD n = FormatMessageA(kSystem, nullptr, code, 0, buf, sizeof buf, nullptr);
    return n ? std::string(buf, n) : std::string();
}

TEST(FormatMessage, GivesWindowsTextsWithTheirLineEnd)
{
    EXPECT_EQ(text_of(0), "The operation completed successfully.\r\n");
    EXPECT_EQ(text_of(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(text_of(ERROR_BROKEN_PIPE), "The pipe has been ended.\r\n");
    EXPECT_EQ(text_of(ERROR_NO_DATA), "The pipe is being closed.\r\n");
    EXPECT_EQ(text_of(ERROR_PIPE_NOT_CONNECTED), "No process is on the other end of the pipe.\r\n");
    EXPECT_EQ(text_of(ERROR_PIPE_CONNECTED), "There is a process on other end of the pipe.\r\n");
    EXPECT_EQ(text_of(ERROR_OPERATION_ABORTED),
              "The I/O operation has been aborted because of either a thread exit or an application request.\r\n");
    EXPECT_EQ(text_of(ERROR_IO_PENDING), "Overlapped I/O operation is in progress.\r\n");
    EXPECT_EQ(text_of(ERROR_NO_DRIVER_SELECTED),
              "There is no driver selected for the device information set or element.\r\n");
    EXPECT_EQ(text_of(ERROR_NO_COMPAT_DRIVERS), "There are no compatible drivers for this device.\r\n");

    // The count excludes the NUL, which is written.
    char buf[64];
    memset(buf, 'x', sizeof buf);
    DWORD n = FormatMessageA(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, buf, sizeof buf, nullptr);
    EXPECT_EQ(n, strlen("Access is denied.\r\n"));
    EXPECT_EQ(buf[n], '\0');
}

TEST(FormatMessage, EveryCodeTheLayerDeclaresHasAText)
{
    const DWORD codes[] = {
        ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
        ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_DATA, ERROR_OUTOFMEMORY, ERROR_NO_MORE_FILES,
        ERROR_GEN_FAILURE, ERROR_SHARING_VIOLATION, ERROR_NOT_SUPPORTED, ERROR_FILE_EXISTS, ERROR_INVALID_PARAMETER,
        ERROR_BROKEN_PIPE, ERROR_BUFFER_OVERFLOW, ERROR_INSUFFICIENT_BUFFER, ERROR_MOD_NOT_FOUND, ERROR_INVALID_NAME,
        ERROR_BAD_PATHNAME, ERROR_ALREADY_EXISTS, ERROR_FILENAME_EXCED_RANGE, ERROR_PIPE_BUSY, ERROR_NO_DATA,
        ERROR_PIPE_NOT_CONNECTED, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_DIRECTORY, ERROR_MR_MID_NOT_FOUND,
        ERROR_PIPE_CONNECTED, ERROR_PIPE_LISTENING, ERROR_EVENT_DONE, ERROR_EVENT_PENDING, ERROR_OPERATION_ABORTED,
        ERROR_IO_INCOMPLETE, ERROR_IO_PENDING, ERROR_NOACCESS, ERROR_CANTOPEN, ERROR_CANTREAD, ERROR_CANTWRITE,
        ERROR_NOT_FOUND, ERROR_DEVICE_REMOVED, ERROR_EXPECTED_SECTION_NAME, ERROR_BAD_SECTION_NAME_LINE,
        ERROR_SECTION_NAME_TOO_LONG, ERROR_GENERAL_SYNTAX, ERROR_WRONG_INF_STYLE, ERROR_SECTION_NOT_FOUND,
        ERROR_LINE_NOT_FOUND, ERROR_CLASS_MISMATCH, ERROR_NO_DRIVER_SELECTED, ERROR_KEY_DOES_NOT_EXIST,
        ERROR_INVALID_DEVINST_NAME, ERROR_INVALID_CLASS, ERROR_DEVINST_ALREADY_EXISTS, ERROR_INVALID_REG_PROPERTY,
        ERROR_NO_INF, ERROR_NO_SUCH_DEVINST, ERROR_INVALID_CLASS_INSTALLER, ERROR_DI_DO_DEFAULT,
        ERROR_INVALID_HWPROFILE, ERROR_NO_DEVICE_SELECTED, ERROR_INVALID_FLAGS, ERROR_NO_ASSOCIATED_SERVICE,
        ERROR_NO_COMPAT_DRIVERS, ERROR_NOT_AN_INSTALLED_OEM_INF, ERROR_INF_IN_USE_BY_DEVICES,
        ERROR_KEY_DELETED, ERROR_INVALID_USER_BUFFER, ERROR_NO_CLASSINSTALL_PARAMS, ERROR_INVALID_MACHINENAME,
    };
    for (DWORD code : codes) {
        std::string t = text_of(code);
        ASSERT_GE(t.size(), 3u) << "no text for " << std::hex << code;
        EXPECT_EQ(t.substr(t.size() - 2), "\r\n") << std::hex << code;
        EXPECT_EQ(t.find('\n'), t.size() - 1) << "one line: " << std::hex << code;
    }
}

TEST(FormatMessage, FailsForSmallBuffersUnknownCodesAndOtherModes)
{
    const char *text = "The pipe has been ended.\r\n";
    size_t len = strlen(text);
    char buf[64];

    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kSystem, nullptr, ERROR_BROKEN_PIPE, 0, buf, (DWORD)len + 1, nullptr), len)
        << "an exact fit";
    EXPECT_EQ(GetLastError(), 0u) << "success leaves the last error";
    EXPECT_EQ(FormatMessageA(kSystem, nullptr, ERROR_BROKEN_PIPE, 0, buf, (DWORD)len, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);

    EXPECT_EQ(FormatMessageA(kSystem, nullptr, 0x12345, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(FormatMessageA(kSystem, nullptr, 0xE0000FFF, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);

    EXPECT_EQ(FormatMessageA(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 2, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "x", 2, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // The insert-carrying text is given as it stands when inserts are ignored.
    char wide[256];
    ASSERT_GT(FormatMessageA(kSystem, nullptr, ERROR_MR_MID_NOT_FOUND, 0, wide, sizeof wide, nullptr), 0u);
    EXPECT_NE(std::string(wide).find("0x%1"), std::string::npos);

    winsim::fail_next("FormatMessageA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(FormatMessageA(kSystem, nullptr, 2, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

}  // namespace
