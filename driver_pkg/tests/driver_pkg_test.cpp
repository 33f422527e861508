// The driver package functions against the stand-in layer: installing the package from
// beside the running program, walking the installed copies, and comparing a copy with
// the local package. The running program's path is chosen per test (see the wrappers
// below), so each test lays out its own program folder under a fresh root.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver_pkg/driver_pkg.h"
#include "fresh_root.h"
#include "winsim/test.h"

// ---------------------------------------------------------------- seams
// Linked with --wrap: the product's calls come here first. GetModuleFileNameA(NULL)
// answers the path a test chose, with Windows' rules for a buffer that is too small;
// the three installation steps can fail with no error code set, which no fault of the
// layer can do.

#include "e2e/harness.h"

namespace {

using e2e::read_file;
using e2e::write_file;
std::string program_path;
std::set<std::string> silent_failures;

bool fails_silently(const char *function)
{
    if (!silent_failures.count(function))
        return false;
    SetLastError(0);
    return true;
}
}  // namespace

extern "C" {
DWORD __real_GetModuleFileNameA(HMODULE module, LPSTR buf, DWORD size);
DWORD __real_GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buf, LPSTR *file_part);
BOOL __real_SetCurrentDirectoryA(LPCSTR path);
BOOL __real_SetupCopyOEMInfA(PCSTR source, PCSTR media_location, DWORD media_type, DWORD copy_style, PSTR dest,
                             DWORD dest_size, PDWORD required, PSTR *component);

DWORD __wrap_GetModuleFileNameA(HMODULE module, LPSTR buf, DWORD size)
{
    if (module || program_path.empty())
        return __real_GetModuleFileNameA(module, buf, size);
    if (program_path.size() < size) {
        memcpy(buf, program_path.c_str(), program_path.size() + 1);
        return (DWORD)program_path.size();
    }
    // Cut to the buffer, still terminated, and the buffer's size as the result.
    if (size > 0) {
        memcpy(buf, program_path.c_str(), size - 1);
        buf[size - 1] = '\0';
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

DWORD __wrap_GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buf, LPSTR *file_part)
{
    if (fails_silently("GetFullPathNameA"))
        return 0;
    return __real_GetFullPathNameA(name, size, buf, file_part);
}

BOOL __wrap_SetCurrentDirectoryA(LPCSTR path)
{
    if (fails_silently("SetCurrentDirectoryA"))
        return FALSE;
    return __real_SetCurrentDirectoryA(path);
}

BOOL __wrap_SetupCopyOEMInfA(PCSTR source, PCSTR media_location, DWORD media_type, DWORD copy_style, PSTR dest,
                             DWORD dest_size, PDWORD required, PSTR *component)
{
    if (fails_silently("SetupCopyOEMInfA"))
        return FALSE;
    return __real_SetupCopyOEMInfA(source, media_location, media_type, copy_style, dest, dest_size, required,
                                   component);
}
}  // extern "C"

namespace {

const char *const kProgramDir = "C:\\Program Files\\Qor";
const char *const kLocalInf = "C:\\Program Files\\Qor\\driver\\qorvsp.inf";
// The same program named through a "." component: the INF path built from it and the full
// path the system makes of it differ, so the lines show which of the two they print.
const char *const kDottedProgram = "C:\\Program Files\\Qor\\.\\portctl.exe";
const char *const kDottedInf = "C:\\Program Files\\Qor\\.\\driver\\qorvsp.inf";



std::string shipped_inf() { return read_file(WINSIM_DRIVER_INF); }

// A package INF reduced to its [Version] section; an empty argument leaves its line out.
std::string version_inf(const std::string &provider, const std::string &class_guid, const std::string &driver_ver)
{
    std::string s = "[Version]\nSignature = \"$WINDOWS NT$\"\nClass = Ports\n";
    if (!class_guid.empty())
        s += "ClassGuid = " + class_guid + "\n";
    if (!provider.empty())
        s += "Provider = " + provider + "\n";
    if (!driver_ver.empty())
        s += "DriverVer = " + driver_ver + "\n";
    return s;
}

std::string our_inf(const std::string &driver_ver)
{
    return version_inf("\"Tavik Tech\"", PORTS_CLASS_GUID_TEXT, driver_ver);
}

std::string current_directory()
{
    char buf[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return n > 0 && n < sizeof buf ? std::string(buf) : std::string("<unreadable>");
}

struct Handed {
    std::string path, date, version;
    size_t open_handles;
};
std::vector<Handed> handed;

BOOL record_copy(const char *path, const char *date, const char *version)
{
    handed.push_back({path, date, version, winsim::open_handle_count()});
    return FALSE;  // the walk counts the copy whatever the action answers
}

class DriverPackage : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fresh_root();
        winsim::clear_faults();
        winsim::clear_calls();
        silent_failures.clear();
        handed.clear();
        need_update = 0;
        program_path = std::string(kProgramDir) + "\\portctl.exe";
        ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));
    }
    void TearDown() override
    {
        winsim::clear_faults();
        silent_failures.clear();
        program_path.clear();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // A file of drive C: by its path below C:\ ("windows/INF/oem0.inf").
    std::string on_c(const std::string &relative) { return root_ + "/drive_c/" + relative; }
    void put_local_inf(const std::string &content) { write_file(on_c("Program Files/Qor/driver/qorvsp.inf"), content); }
    void put_installed(const std::string &name, const std::string &content)
    {
        write_file(on_c("windows/INF/" + name), content);
    }

    // Runs `f` with standard output captured; returns what the code under test logged.
    template <class F>
    std::string logged(F f)
    {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }

    std::string root_;
};

// ---------------------------------------------------------------- install_driver

TEST_F(DriverPackage, InstallCopiesTheInfBesideTheProgramAndLogsThreeLines)
{
    put_local_inf(shipped_inf());
    program_path = kDottedProgram;
    char error_text[1024];
    memset(error_text, 'x', sizeof error_text);
    BOOL ok = FALSE;
    std::string log = logged([&] { ok = install_driver(error_text); });

    EXPECT_TRUE(ok);
    EXPECT_EQ(log, std::string("GetFullPathName for inf(") + kDottedInf + ") OK: " + kLocalInf + "\n" +
                       "SetCurrentDirectory for inf(" + kDottedInf + ") OK: " + kLocalInf + "\n" +
                       "SetupCopyOEMInf ok, dest=oem0.inf\n");
    EXPECT_EQ(read_file(on_c("windows/INF/oem0.inf")), shipped_inf());
    // The program's folder, not the driver folder, is the current directory now.
    EXPECT_EQ(current_directory(), kProgramDir);
    // A success leaves the caller's buffer alone.
    EXPECT_EQ(std::string(error_text, 16), std::string(16, 'x'));
}

TEST_F(DriverPackage, EachFailingStepNamesItselfTheInfAndTheSystemText)
{
    put_local_inf(shipped_inf());
    program_path = kDottedProgram;
    const std::string ok1 = std::string("GetFullPathName for inf(") + kDottedInf + ") OK: " + kLocalInf + "\n";
    const std::string ok2 = std::string("SetCurrentDirectory for inf(") + kDottedInf + ") OK: " + kLocalInf + "\n";
    struct Step {
        const char *function;
        DWORD error;
        const char *system_text;
        std::string earlier_lines;
        const char *log_prefix;
        const char *directory_after;
    } steps[] = {
        {"GetFullPathNameA", ERROR_INVALID_NAME,
         "The filename, directory name, or volume label syntax is incorrect.\r\n",
         "", "GetFullPathName ", "C:\\"},
        {"SetCurrentDirectoryA", ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n", ok1,
         "SetCurrentDirectory ", "C:\\"},
        {"SetupCopyOEMInfA", ERROR_ACCESS_DENIED, "Access is denied.\r\n", ok1 + ok2, "SetupCopyOEMInf ", kProgramDir},
    };
    for (int i = 0; i < 3; i++) {
        const Step &s = steps[i];
        SCOPED_TRACE(s.function);
        ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));
        winsim::clear_calls();
        winsim::fail_next(s.function, s.error);
        char error_text[1024] = "";
        BOOL ok = TRUE;
        std::string log = logged([&] { ok = install_driver(error_text); });

        // The INF as the program's folder names it, not the resolved full path.
        std::string expected = std::string("[install_driver from inf(") + kDottedInf + ") step" +
                               std::to_string(i + 1) + " fail]: " + s.system_text;
        EXPECT_FALSE(ok);
        EXPECT_EQ(std::string(error_text), expected);
        EXPECT_EQ(log, s.earlier_lines + s.log_prefix + expected + "\n");
        EXPECT_EQ(current_directory(), s.directory_after);
        // The steps after the failed one are not tried.
        if (i < 2) {
            EXPECT_EQ(winsim::call_count("SetupCopyOEMInfA"), 0u);
        }
        if (i < 1) {
            EXPECT_EQ(winsim::call_count("SetCurrentDirectoryA"), 0u);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(on_c("windows/INF/oem0.inf")));
}

TEST_F(DriverPackage, AStepFailingWithNoErrorCodeStillSaysWhichStepFailed)
{
    put_local_inf(shipped_inf());
    const char *functions[] = {"GetFullPathNameA", "SetCurrentDirectoryA", "SetupCopyOEMInfA"};
    const char *log_prefixes[] = {"GetFullPathName ", "SetCurrentDirectory ", "SetupCopyOEMInf "};
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(functions[i]);
        silent_failures = {functions[i]};
        winsim::clear_calls();
        char error_text[1024];
        memset(error_text, 'x', sizeof error_text);
        BOOL ok = TRUE;
        std::string log = logged([&] { ok = install_driver(error_text); });

        EXPECT_FALSE(ok);
        ASSERT_NE(memchr(error_text, '\0', sizeof error_text), nullptr);
        std::string text = error_text;
        std::string head = std::string("[install_driver from inf(") + kLocalInf + ") step" + std::to_string(i + 1) +
                           " fail]: ";
        ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
        // Something in words after the colon, but no system text: there is no code to
        // look one up for, and "completed successfully" would be a lie.
        EXPECT_GT(text.size(), head.size());
        EXPECT_EQ(text.find('x', head.size()), std::string::npos) << text;
        EXPECT_EQ(text.find("successfully"), std::string::npos) << text;
        EXPECT_EQ(winsim::call_count("FormatMessageA"), 0u);
        std::string line = std::string(log_prefixes[i]) + text + "\n";
        EXPECT_TRUE(log.size() >= line.size() && log.compare(log.size() - line.size(), line.size(), line) == 0)
            << log;
    }
}

TEST_F(DriverPackage, OverLongProgramPathsAreRefusedInWordsInsteadOfCut)
{
    // Folders of this many characters under C:\ (each name well below the host's limit).
    auto folder_of = [](size_t length) {
        std::string dir = "C:\\" + std::string(100, 'a') + "\\";
        dir += std::string(length - dir.size(), 'b');
        return dir;
    };
    auto host_of = [&](const std::string &windows) {
        std::string rel = windows.substr(3);
        std::replace(rel.begin(), rel.end(), '\\', '/');
        return on_c(rel);
    };

    // 237 characters of folder: "<folder>\driver\qorvsp.inf" has exactly 255 and fits.
    std::string fits = folder_of(237);
    write_file(host_of(fits) + "/driver/qorvsp.inf", shipped_inf());
    program_path = fits + "\\p.exe";
    char error_text[1024] = "";
    BOOL ok = FALSE;
    std::string log = logged([&] { ok = install_driver(error_text); });
    EXPECT_TRUE(ok) << error_text;
    EXPECT_NE(log.find("SetupCopyOEMInf ok, dest=oem0.inf\n"), std::string::npos) << log;

    // One more, and the INF path would need 256: a cut path would name another file.
    struct Case {
        std::string program;
        const char *what;
    } cases[] = {
        {folder_of(238) + "\\p.exe", "driver INF path does not fit"},
        {folder_of(300) + "\\p.exe", "running program does not fit"},
        {folder_of(250) + "\\" + std::string(5, 'p'), "running program does not fit"},  // exactly 256
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.program.size());
        program_path = c.program;
        ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));
        winsim::clear_calls();
        memset(error_text, 'x', sizeof error_text);
        ok = TRUE;
        log = logged([&] { ok = install_driver(error_text); });
        EXPECT_FALSE(ok);
        ASSERT_NE(memchr(error_text, '\0', sizeof error_text), nullptr);
        std::string text = error_text;
        EXPECT_EQ(text.rfind("[install_driver", 0), 0u) << text;
        EXPECT_NE(text.find("step1 fail]: "), std::string::npos) << text;
        EXPECT_NE(text.find(c.what), std::string::npos) << text;
        EXPECT_EQ(log, "GetFullPathName " + text + "\n");
        EXPECT_EQ(winsim::call_count("GetFullPathNameA"), 0u);
        EXPECT_EQ(winsim::call_count("SetupCopyOEMInfA"), 0u);
        EXPECT_EQ(current_directory(), "C:\\");

        // The comparison builds the same path and gives up the same way.
        need_update = 0;
        log = logged([&] { ok = get_driver_version("C:\\windows\\INF\\oem0.inf", "01/01/2000", "0.0.0.1"); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(log, "GetFullPathName fail\n");
        EXPECT_EQ(need_update, 0);
    }
}

TEST_F(DriverPackage, AProgramPathTheSystemCannotGiveIsReportedWithTheSystemsText)
{
    put_local_inf(shipped_inf());
    program_path.clear();  // the stand-in's own answer, which a fault can make fail
    winsim::fail_next("GetModuleFileNameA", ERROR_NOT_ENOUGH_MEMORY);
    char error_text[1024] = "";
    BOOL ok = TRUE;
    std::string log = logged([&] { ok = install_driver(error_text); });
    EXPECT_FALSE(ok);
    std::string text = error_text;
    EXPECT_EQ(text, "[install_driver step1 fail]: Not enough memory resources are available to process this "
                    "command.\r\n");
    EXPECT_EQ(log, "GetFullPathName " + text + "\n");
    EXPECT_EQ(winsim::call_count("GetFullPathNameA"), 0u);
    EXPECT_EQ(current_directory(), "C:\\");
}

// ---------------------------------------------------------------- enum_driver

TEST_F(DriverPackage, WalkHandsOverOnlyInstalledCopiesOfThePackageInFolderOrder)
{
    put_installed("oem0.inf", shipped_inf());  // Provider through %ProviderName%
    put_installed("oem1.inf", version_inf("\"tavik tech\"", PORTS_CLASS_GUID_TEXT, "01/01/2025,1.0.0.0"));
    put_installed("oem2.inf",
                  version_inf("\"Tavik Tech\"", "{4d36e978-e325-11ce-bfc1-08002be10318}", "01/01/2025,1.0.0.0"));
    put_installed("oem3.inf", our_inf(""));  // no DriverVer
    put_installed("OEM4.INF", our_inf("01/02/2025"));  // a date and no version
    put_installed("oem5.inf", version_inf("\"Tavik Tech Ltd\"", PORTS_CLASS_GUID_TEXT, "01/01/2025,1.0.0.0"));
    put_installed("oem6.inf", "this is not an INF at all\n");
    put_installed("oem7.inf", version_inf("\"Tavik Tech\"", "", "01/01/2025,1.0.0.0"));
    put_installed("oem8.inf", version_inf("", PORTS_CLASS_GUID_TEXT, "01/01/2025,1.0.0.0"));
    put_installed("oem9.inf",
                  version_inf("\"Tavik Tech\"", "{4D36E978-E325-11CE-BFC1-08002BE10319}", "01/01/2025,1.0.0.0"));
    put_installed("oem10.inf", our_inf("03/04/2025,2.0.0.0"));
    // Right provider and class, but not where or not named as an installed copy is.
    put_installed("qorvsp.inf", shipped_inf());
    write_file(on_c("drivers/oem11.inf"), shipped_inf());
    write_file(on_c("windows/oem12.inf"), shipped_inf());

    size_t handles_before = winsim::open_handle_count();
    int count = -1;
    std::string log = logged([&] { count = enum_driver(record_copy); });

    EXPECT_EQ(count, 3);
    ASSERT_EQ(handed.size(), 3u);
    // The order the folder gives: OEM0, OEM10, OEM4 by their upper-cased names. The
    // version of the copy before must not show through where a field is missing.
    EXPECT_EQ(handed[0].path, "C:\\windows\\INF\\oem0.inf");
    EXPECT_EQ(handed[0].date, "11/20/2026");
    EXPECT_EQ(handed[0].version, "1.0.3.0");
    EXPECT_EQ(handed[1].path, "C:\\windows\\INF\\oem10.inf");
    EXPECT_EQ(handed[1].date, "03/04/2025");
    EXPECT_EQ(handed[1].version, "2.0.0.0");
    EXPECT_EQ(handed[2].path, "C:\\windows\\INF\\OEM4.INF");
    EXPECT_EQ(handed[2].date, "01/02/2025");
    EXPECT_EQ(handed[2].version, "");
    EXPECT_EQ(log, "get version fail\n");
    // Only the search is open while the action runs: the copy's INF is closed first,
    // so the setup program can uninstall that very file.
    for (const Handed &h : handed)
        EXPECT_EQ(h.open_handles, handles_before + 1) << h.path;
    EXPECT_EQ(winsim::open_handle_count(), handles_before);
    EXPECT_EQ(winsim::call_count("FindClose"), 1u);
}

TEST_F(DriverPackage, AnUnreadableDateIsLoggedAndTheCopyStillCounts)
{
    put_installed("oem0.inf", our_inf("05/06/2025,3.0.0.0"));
    put_installed("oem1.inf", our_inf("07/08/2025,4.0.0.0"));
    // oem0 reads four fields; oem1's Provider and ClassGUID come next, then its date.
    winsim::fail_next("SetupGetStringFieldA", ERROR_INVALID_PARAMETER, 1, 6);
    int count = -1;
    std::string log = logged([&] { count = enum_driver(record_copy); });

    EXPECT_EQ(count, 2);
    EXPECT_EQ(log, "get date fail\n");
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_EQ(handed[1].path, "C:\\windows\\INF\\oem1.inf");
    EXPECT_EQ(handed[1].date, "");  // not oem0's date
    EXPECT_EQ(handed[1].version, "4.0.0.0");
}

TEST_F(DriverPackage, WalkCountsNothingWhenTheInfFolderCannotBeSearched)
{
    int count = -1;
    // An empty INF folder: nothing to hand over, nothing to say.
    std::string log = logged([&] { count = enum_driver(record_copy); });
    EXPECT_EQ(count, 0);
    EXPECT_EQ(log, "");

    put_installed("oem0.inf", shipped_inf());
    winsim::fail_next("GetWindowsDirectoryA", ERROR_ACCESS_DENIED);
    log = logged([&] { count = enum_driver(record_copy); });
    EXPECT_EQ(count, 0);
    EXPECT_EQ(log, "enum_driver failed step1: ecode=5\n");

    winsim::fail_next("FindFirstFileA", ERROR_ACCESS_DENIED);
    log = logged([&] { count = enum_driver(record_copy); });
    EXPECT_EQ(count, 0);
    EXPECT_EQ(log, "");
    EXPECT_TRUE(handed.empty());

    // A copy that cannot be opened is passed over; the walk goes on to the next.
    put_installed("oem1.inf", shipped_inf());
    winsim::fail_next("SetupOpenInfFileA", ERROR_ACCESS_DENIED);
    log = logged([&] { count = enum_driver(record_copy); });
    EXPECT_EQ(count, 1);
    EXPECT_EQ(log, "");
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].path, "C:\\windows\\INF\\oem1.inf");
}

// ---------------------------------------------------------------- get_driver_version

TEST_F(DriverPackage, ComparisonAsksForAnUpdateOnAnyTextualDifferenceDateFirst)
{
    put_local_inf(shipped_inf());  // DriverVer = 11/20/2026,1.0.3.0
    const std::string head = std::string("GetFullPathName for inf(") + kLocalInf + ") OK: " + kLocalInf + "\n" +
                             "get_driver_version ok for inf(" + kLocalInf + "), version: 11/20/2026 1.0.3.0\n";
    struct Case {
        const char *date, *version;
        BOOL differs;
        std::string line;
    } cases[] = {
        {"11/20/2026", "1.0.3.0", FALSE, ""},
        {"11/20/2026", "1.0.4.0", TRUE,
         "version not same, local driver version: 1.0.3.0, installed driver version: 1.0.4.0\n"},
        {"11/20/2026", "1.0.2.0", TRUE,
         "version not same, local driver version: 1.0.3.0, installed driver version: 1.0.2.0\n"},
        {"11/20/2026", "1.0.03.0", TRUE,
         "version not same, local driver version: 1.0.3.0, installed driver version: 1.0.03.0\n"},
        {"12/01/2026", "2.0.0.0", TRUE,
         "date not same, local driver date: 11/20/2026, installed driver date: 12/01/2026\n"},
        {"11/20/2025", "1.0.3.0", TRUE,
         "date not same, local driver date: 11/20/2026, installed driver date: 11/20/2025\n"},
        {"", "", TRUE, "date not same, local driver date: 11/20/2026, installed driver date: \n"},
    };
    size_t handles_before = winsim::open_handle_count();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.date) + " " + c.version);
        need_update = 0;
        BOOL differs = !c.differs;
        std::string log =
            logged([&] { differs = get_driver_version("C:\\windows\\INF\\oem0.inf", c.date, c.version); });
        EXPECT_EQ(differs, c.differs);
        EXPECT_EQ(need_update, c.differs ? 1 : 0);
        EXPECT_EQ(log, head + c.line);
    }
    EXPECT_EQ(winsim::open_handle_count(), handles_before);
}

TEST_F(DriverPackage, AnUnreadableLocalInfNeverAsksForAnUpdate)
{
    const std::string ok_line = std::string("GetFullPathName for inf(") + kLocalInf + ") OK: " + kLocalInf + "\n";
    const std::string fail_line = std::string("get_driver_version fail for inf(") + kLocalInf + ")\n";
    struct Case {
        const char *what;
        std::string content;  // "" for no local INF
        const char *fault;
        unsigned skip;
        std::string log;
    } cases[] = {
        {"missing", "", nullptr, 0, ok_line + fail_line},
        {"no DriverVer", our_inf(""), nullptr, 0, ok_line + fail_line},
        {"date only", our_inf("11/20/2026"), nullptr, 0, ok_line + "get version fail\n" + fail_line},
        {"date unreadable", shipped_inf(), "SetupGetStringFieldA", 0, ok_line + "get date fail\n" + fail_line},
        {"not an INF", "garbage\n", nullptr, 0, ok_line + fail_line},
        {"path not resolved", shipped_inf(), "GetFullPathNameA", 0, "GetFullPathName fail\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        std::filesystem::remove(on_c("Program Files/Qor/driver/qorvsp.inf"), ec);
        if (!c.content.empty())
            put_local_inf(c.content);
        if (c.fault)
            winsim::fail_next(c.fault, ERROR_INVALID_PARAMETER, 1, c.skip);
        need_update = 0;
        size_t handles_before = winsim::open_handle_count();
        BOOL differs = TRUE;
        std::string log =
            logged([&] { differs = get_driver_version("C:\\windows\\INF\\oem0.inf", "01/01/2000", "9.9"); });
        EXPECT_FALSE(differs);
        EXPECT_EQ(need_update, 0);
        EXPECT_EQ(log, c.log);
        EXPECT_EQ(winsim::open_handle_count(), handles_before);  // the local INF is closed again
        winsim::clear_faults();
    }
}

}  // namespace
