// Windows paths on the host, the file and directory functions, and the string helpers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "../src/core.h"
#include "../src/paths.h"
#include "fresh_root.h"

namespace {

std::string host_path(const std::string &windows)
{
    winsim::Guard g(winsim::lock);
    return winsim::to_host_path(windows);
}

std::string windows_path(const std::string &host)
{
    winsim::Guard g(winsim::lock);
    return winsim::to_windows_path(host);
}

void touch(const std::string &path, const std::string &content = "x")
{
    std::ofstream(path) << content;
}

// The full path, and its file part as text ("<null>" when there is none).
std::string full_path(const char *name, std::string *file_part = nullptr)
{
    char buf[MAX_PATH];
    char *part = nullptr;
    DWORD n = GetFullPathNameA(name, sizeof buf, buf, &part);
    EXPECT_GT(n, 0u) << name;
    EXPECT_LT(n, sizeof buf) << name;
    if (file_part)
        *file_part = part ? std::string(part) : "<null>";
    return n > 0 && n < sizeof buf ? std::string(buf) : std::string();
}

std::string current_dir()
{
    char buf[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return n > 0 && n < sizeof buf ? std::string(buf) : std::string();
}

// Restores the Windows current directory a test changes.
struct CurrentDirGuard {
    std::string saved = current_dir();
    ~CurrentDirGuard() { SetCurrentDirectoryA(saved.c_str()); }
};

TEST(PathMapping, DrivesMapIntoTheRootAndBack)
{
    std::string root = fresh_root();
    EXPECT_EQ(host_path("C:\\"), root + "/drive_c");
    EXPECT_EQ(host_path("c:/windows"), root + "/drive_c/windows");
    EXPECT_EQ(host_path("D:\\data\\x.txt"), root + "/drive_d/data/x.txt");
    EXPECT_EQ(host_path("Z:\\usr\\bin"), "/usr/bin");
    EXPECT_EQ(host_path("Z:\\"), "/");
    // The INF folder exists as soon as drive C: is used.
    struct stat st;
    EXPECT_EQ(stat((root + "/drive_c/windows/INF").c_str(), &st), 0);

    EXPECT_EQ(windows_path(root + "/drive_c/windows/INF/oem3.inf"), "C:\\windows\\INF\\oem3.inf");
    EXPECT_EQ(windows_path(root + "/drive_d"), "D:\\");
    EXPECT_EQ(windows_path("/usr/bin/node"), "Z:\\usr\\bin\\node");
    EXPECT_EQ(windows_path("/"), "Z:\\");
    std::string pipe = "Z:" + root + "\\pipe";
    std::replace(pipe.begin(), pipe.end(), '/', '\\');
    EXPECT_EQ(windows_path(root + "/pipe"), pipe) << "a folder of the root that is no drive is reached through Z:";
    for (const char *p : {"C:\\windows\\INF\\oem0.inf", "D:\\a\\b", "Z:\\etc\\hosts"})
        EXPECT_EQ(windows_path(host_path(p)), p);
}

TEST(PathMapping, ExistingComponentsMatchWithoutRegardToCase)
{
    std::string root = fresh_root();
    std::string inf = host_path("C:\\windows\\INF");
    touch(inf + "/oem3.inf");
    EXPECT_EQ(host_path("C:\\WINDOWS\\inf\\OEM3.INF"), root + "/drive_c/windows/INF/oem3.inf");
    // Missing components are kept as written, also below a missing one.
    EXPECT_EQ(host_path("C:\\Windows\\Inf\\New\\Sub.TXT"), root + "/drive_c/windows/INF/New/Sub.TXT");
    // An exact spelling wins over another that differs only in case.
    mkdir((root + "/drive_c/Data").c_str(), 0755);
    mkdir((root + "/drive_c/data").c_str(), 0755);
    EXPECT_EQ(host_path("C:\\data"), root + "/drive_c/data");
    EXPECT_EQ(host_path("C:\\Data"), root + "/drive_c/Data");
    std::string either = host_path("C:\\DATA");
    EXPECT_TRUE(either == root + "/drive_c/Data" || either == root + "/drive_c/data") << either;
}

TEST(PathMapping, WildcardsAreCaseInsensitiveWithDosForms)
{
    using winsim::wildcard_match;
    EXPECT_TRUE(wildcard_match("OEM*.INF", "oem3.inf"));
    EXPECT_TRUE(wildcard_match("oem*.inf", "OEM12.INF"));
    EXPECT_FALSE(wildcard_match("oem*.inf", "oem3.pnf"));
    EXPECT_FALSE(wildcard_match("oem*.inf", "xoem3.inf"));
    EXPECT_TRUE(wildcard_match("a?c", "abc"));
    EXPECT_FALSE(wildcard_match("a?c", "ac"));
    EXPECT_TRUE(wildcard_match("*a*b*", "xxaxxbxx"));
    EXPECT_TRUE(wildcard_match("*.*", "README"));
    EXPECT_TRUE(wildcard_match("*.", "README"));
    EXPECT_FALSE(wildcard_match("*.", "readme.txt"));
}

TEST(FullPathName, ResolvesAgainstTheCurrentDirectoryTextually)
{
    fresh_root();
    CurrentDirGuard restore;
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\windows\\INF"));
    std::string part;
    EXPECT_EQ(full_path("oem1.inf", &part), "C:\\windows\\INF\\oem1.inf");
    EXPECT_EQ(part, "oem1.inf");
    EXPECT_EQ(full_path("..\\system32\\drivers"), "C:\\windows\\system32\\drivers");
    EXPECT_EQ(full_path("..\\..\\..\\..\\x"), "C:\\x") << "'..' stops at the root";
    EXPECT_EQ(full_path(".\\a\\.\\b\\..\\c"), "C:\\windows\\INF\\a\\c");
    EXPECT_EQ(full_path("a//b///c"), "C:\\windows\\INF\\a\\b\\c");
    EXPECT_EQ(full_path("\\temp"), "C:\\temp") << "rooted: the current drive's root";
    EXPECT_EQ(full_path("C:x.txt"), "C:\\windows\\INF\\x.txt") << "drive-relative on the current drive";
    EXPECT_EQ(full_path("D:x.txt"), "D:\\x.txt");
    EXPECT_EQ(full_path("D:/a/b/../c"), "D:\\a\\c");
    EXPECT_EQ(full_path("C:\\a\\name. . "), "C:\\a\\name") << "trailing dots and spaces of the last name go";
    EXPECT_EQ(full_path("C:\\a\\b\\.."), "C:\\a");
    EXPECT_EQ(full_path(".."), "C:\\windows");
    EXPECT_EQ(full_path("\\\\server\\share\\x\\..\\..\\y"), "\\\\server\\share\\y");
    EXPECT_EQ(full_path("\\\\.\\COM3"), "\\\\.\\COM3");
    // Folder paths keep their separator and have no file part.
    EXPECT_EQ(full_path("C:\\a\\b\\", &part), "C:\\a\\b\\");
    EXPECT_EQ(part, "<null>");
    EXPECT_EQ(full_path("C:\\", &part), "C:\\");
    EXPECT_EQ(part, "<null>");
    // Nothing on the host moved.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(cwd).find("winsim-test"), std::string::npos);
}

TEST(FullPathName, BufferSizes)
{
    fresh_root();
    const char *path = "C:\\dir\\file.txt";  // 15 chars
    char buf[32];
    memset(buf, '#', sizeof buf);
    char *part = nullptr;
    EXPECT_EQ(GetFullPathNameA(path, 15, buf, &part), 16u) << "no room for the NUL: the size with it";
    EXPECT_EQ(buf[0], '#') << "the buffer is left alone";
    EXPECT_EQ(GetFullPathNameA(path, 0, nullptr, nullptr), 16u);
    EXPECT_EQ(GetFullPathNameA(path, 16, buf, &part), 15u);
    EXPECT_STREQ(buf, path);
    EXPECT_EQ(part, buf + 7);
    EXPECT_EQ(GetFullPathNameA("", sizeof buf, buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
}

TEST(CurrentDirectory, StartsAtTheHostsAndChangesOnlyToExistingFolders)
{
    std::string root = fresh_root();
    CurrentDirGuard restore;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(restore.saved, windows_path(cwd));

    ASSERT_TRUE(SetCurrentDirectoryA("c:/WINDOWS/inf/"));
    EXPECT_EQ(current_dir(), "c:\\WINDOWS\\inf") << "kept as given, without the trailing separator";
    ASSERT_TRUE(SetCurrentDirectoryA(".."));
    EXPECT_EQ(current_dir(), "c:\\WINDOWS");
    ASSERT_TRUE(SetCurrentDirectoryA("\\"));
    EXPECT_EQ(current_dir(), "c:\\") << "a drive's root keeps its separator";

    EXPECT_FALSE(SetCurrentDirectoryA("C:\\missing"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\missing\\deeper"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    touch(root + "/drive_c/file.txt");
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\file.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIRECTORY);
    EXPECT_EQ(current_dir(), "c:\\") << "failures leave it";

    // The host's working directory never follows.
    char after[4096];
    ASSERT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(after, cwd);

    char small[4] = "##";
    EXPECT_EQ(GetCurrentDirectoryA(3, small), 4u) << "\"c:\\\" needs 4 with the NUL";
    EXPECT_STREQ(small, "##");
    EXPECT_EQ(GetCurrentDirectoryA(4, small), 3u);
    EXPECT_STREQ(small, "c:\\");
}

TEST(WindowsDirectory, LengthOrRequiredSize)
{
    fresh_root();
    char buf[11];
    EXPECT_EQ(GetWindowsDirectoryA(buf, 10), 11u);
    EXPECT_EQ(GetWindowsDirectoryA(buf, 11), 10u);
    EXPECT_STREQ(buf, "C:\\windows");
}

TEST(Module, FileNameAndTruncation)
{
    fresh_root();
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::string expected = windows_path(exe);
    ASSERT_EQ(expected.compare(0, 3, "Z:\\"), 0) << "the test binary lives outside the root";

    char buf[MAX_PATH * 4];
    DWORD len = GetModuleFileNameA(nullptr, buf, sizeof buf);
    EXPECT_EQ(len, expected.size());
    EXPECT_EQ(buf, expected);

    char small[8];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), (DWORD)sizeof small);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(small), expected.substr(0, sizeof small - 1)) << "truncated and still terminated";

    HMODULE self = GetModuleHandleA(nullptr);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(GetModuleFileNameA(self, buf, sizeof buf), expected.size());
    std::string base = expected.substr(expected.rfind('\\') + 1);
    EXPECT_EQ(GetModuleHandleA(base.c_str()), self);
    EXPECT_EQ(GetModuleHandleA((base + ".EXE").c_str()), self);
    EXPECT_EQ(GetModuleHandleA("kernel33.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(0x1234), buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST(FindFile, ListsMatchesSortedAsNtfsDoes)
{
    fresh_root();
    size_t handles_before = winsim::open_handle_count();
    std::string inf = host_path("C:\\windows\\INF");
    for (const char *name : {"oem3.inf", "OEM10.INF", "oem2.inf", "oem3.pnf", "machine.inf", "oem_b.inf", "oemz.inf"})
        touch(inf + "/" + name, "12345");
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("C:\\WINDOWS\\inf\\OEM*.INF", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::string> names{fd.cFileName};
    EXPECT_EQ(fd.nFileSizeLow, 5u);
    EXPECT_EQ(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    while (FindNextFileA(h, &fd))
        names.push_back(fd.cFileName);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    // Compared upper-cased, 'Z' comes before '_' (lower-cased, 'z' would come after).
    EXPECT_EQ(names, (std::vector<std::string>{"OEM10.INF", "oem2.inf", "oem3.inf", "oemz.inf", "oem_b.inf"}));
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    EXPECT_EQ(FindFirstFileA("C:\\windows\\INF\\oem9*.inf", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA("C:\\nowhere\\*.inf", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(winsim::open_handle_count(), handles_before);
}

TEST(FindFile, DotEntriesFolderRootsAndRelativePatterns)
{
    fresh_root();
    CurrentDirGuard restore;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("C:\\windows\\*", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::string> names{fd.cFileName};
    while (FindNextFileA(h, &fd))
        names.push_back(fd.cFileName);
    FindClose(h);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "INF"}));

    h = FindFirstFileA("C:\\*", &fd);  // a drive's root has no dot entries
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(fd.cFileName, "windows");
    EXPECT_NE(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    FindClose(h);

    ASSERT_TRUE(SetCurrentDirectoryA("C:\\windows"));
    h = FindFirstFileA("inf", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(fd.cFileName, "INF") << "the name as stored";
    FindClose(h);
}

TEST(Strings, PathRemoveFileSpec)
{
    struct Case {
        const char *in, *out;
        BOOL removed;
    } cases[] = {
        {"C:\\a\\b.exe", "C:\\a", TRUE}, {"C:\\a", "C:\\", TRUE},       {"C:\\", "C:\\", FALSE},
        {"C:\\a\\", "C:\\a", TRUE},      {"C:", "C:", FALSE},           {"C:x", "C:", TRUE},
        {"b.exe", "", TRUE},             {"\\a", "\\", TRUE},           {"\\", "\\", FALSE},
        {"a\\b", "a", TRUE},             {"\\\\srv\\share", "\\\\srv", TRUE}, {"", "", FALSE},
    };
    for (const Case &c : cases) {
        char buf[64];
        strcpy(buf, c.in);
        EXPECT_EQ(PathRemoveFileSpecA(buf), c.removed) << c.in;
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    EXPECT_FALSE(PathRemoveFileSpecA(nullptr));
}

TEST(Strings, StrsafeTruncatesAndTerminates)
{
    char buf[6];
    EXPECT_EQ(StringCchCopyA(buf, sizeof buf, "hello"), S_OK);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(StringCchCopyA(buf, sizeof buf, "hello!"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(StringCchCopyA(buf, 3, "abc"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(StringCchCatA(buf, sizeof buf, "cd"), S_OK);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(StringCchCatA(buf, sizeof buf, "ef"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(StringCchCatA(buf, 3, "x"), STRSAFE_E_INVALID_PARAMETER) << "not terminated within cch";
    EXPECT_EQ(StringCchPrintfA(buf, sizeof buf, "%d-%s", 42, "ab"), S_OK);
    EXPECT_STREQ(buf, "42-ab");
    EXPECT_EQ(StringCchPrintfA(buf, sizeof buf, "%d", 1234567), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buf, "12345");
    buf[0] = 'q';
    EXPECT_EQ(StringCchCopyA(buf, 0, "a"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], 'q') << "nothing is written through a zero-sized buffer";
    EXPECT_EQ(StringCchCopyA(buf, (size_t)STRSAFE_MAX_CCH + 1, "a"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchPrintfA(buf, 0, "x"), STRSAFE_E_INVALID_PARAMETER);
}

TEST(Strings, ComparisonsAndLengths)
{
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrlenA("abc"), 3);
    EXPECT_EQ(lstrcmpiA("Oem3.INF", "oem3.inf"), 0);
    EXPECT_LT(lstrcmpiA("abc", "ABD"), 0);
    EXPECT_GT(lstrcmpiA("abcd", "ABC"), 0);
    EXPECT_LT(lstrcmpiA(nullptr, "a"), 0);
    EXPECT_EQ(_stricmp("Qor\\VSP", "qor\\vsp"), 0);
    EXPECT_LT(_stricmp("a", "B"), 0);
    EXPECT_GT(_stricmp("b", "A"), 0);
}

TEST(StringsDeathTest, SprintfSOverflowEndsTheProcess)
{
    char buf[8];
    EXPECT_EQ(sprintf_s(buf, sizeof buf, "%s", "1234567"), 7);
    EXPECT_STREQ(buf, "1234567");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(sprintf_s(buf, sizeof buf, "%s", "12345678"), "sprintf_s");
    EXPECT_DEATH(sprintf_s(nullptr, 4, "x"), "sprintf_s");
}

}  // namespace
