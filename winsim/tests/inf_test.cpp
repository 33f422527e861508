// INF files: the parser as SetupAPI's readers see it, the search for drivers by
// hardware ID, and installing and removing OEM INFs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "../src/core.h"
#include "../src/inf.h"
#include "../src/paths.h"
#include "fresh_root.h"

namespace {

std::string inf_dir()
{
    winsim::Guard g(winsim::lock);
    return winsim::inf_dir_host();
}

std::string host_path(const std::string &windows)
{
    winsim::Guard g(winsim::lock);
    return winsim::to_host_path(windows);
}

void write_file(const std::string &path, const std::string &content) { std::ofstream(path, std::ios::binary) << content; }

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string source_inf() { return std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/../driver/qorvsp.inf"; }

// Field `index` of the first line with `key` in `section`, "<none>" when not found.
std::string field(HINF inf, const char *section, const char *key, DWORD index)
{
    INFCONTEXT ctx;
    if (!SetupFindFirstLineA(inf, section, key, &ctx))
        return "<none>";
    char buf[MAX_INF_STRING_LENGTH];
    DWORD need = 0;
    if (!SetupGetStringFieldA(&ctx, index, buf, sizeof buf, &need))
        return "<none>";
    EXPECT_EQ(need, strlen(buf) + 1);
    return buf;
}

const char *const kSample =
    "; a comment before anything\r\n"
    "[Version]\r\n"
    "Signature = \"$Chicago$\"   ; old style, still accepted\r\n"
    "Class=Ports\r\n"
    "\r\n"
    "[strings]\r\n"
    "Mfg = \"Tavik Tech\"\r\n"
    "Quote = \"say \"\"hi\"\"; not a comment\"\r\n"
    "[Lines]\r\n"
    "  Plain   =   a b  ,  \" padded \" ,,last  \r\n"
    "Maker = %MFG%, 100%% sure, %unknown%, %13%\\x.sys\r\n"
    "Long = one, \\\r\n"
    "       two, \\   ; comment after the continuation\r\n"
    "       three\r\n"
    "Empty =\r\n"
    "Commas = ,\r\n"
    "HKR,,PortSubClass,1,01\r\n"
    "single.sys\r\n"
    "Said = %Quote%\r\n"
    "[LINES]\r\n"
    "Merged = yes\r\n";

class Inf : public ::testing::Test {
protected:
    void SetUp() override
    {
        fresh_root();
        path_ = inf_dir() + "/sample.inf";
        write_file(path_, kSample);
        inf_ = SetupOpenInfFileA("sample.inf", nullptr, INF_STYLE_WIN4, nullptr);
        ASSERT_NE(inf_, INVALID_HANDLE_VALUE) << std::hex << GetLastError();
    }
    void TearDown() override { SetupCloseInfFile(inf_); }
    std::string path_;
    HINF inf_ = INVALID_HANDLE_VALUE;
};

TEST_F(Inf, FieldsQuotesCommentsAndContinuations)
{
    EXPECT_EQ(field(inf_, "lines", "plain", 0), "Plain");
    EXPECT_EQ(field(inf_, "Lines", "Plain", 1), "a b") << "inner whitespace stays, outer goes";
    EXPECT_EQ(field(inf_, "Lines", "Plain", 2), " padded ") << "quoted whitespace stays";
    EXPECT_EQ(field(inf_, "Lines", "Plain", 3), "");
    EXPECT_EQ(field(inf_, "Lines", "Plain", 4), "last");
    EXPECT_EQ(field(inf_, "Lines", "Long", 3), "three");
    EXPECT_EQ(field(inf_, "Lines", "Long", 2), "two");
    EXPECT_EQ(field(inf_, "Lines", "Commas", 2), "");
    EXPECT_EQ(field(inf_, "Lines", "Merged", 1), "yes") << "a section written twice is one";
    EXPECT_EQ(field(inf_, "Version", "Signature", 1), "$Chicago$");

    INFCONTEXT ctx;
    char buf[64];
    ASSERT_TRUE(SetupFindFirstLineA(inf_, "Lines", "Empty", &ctx));
    EXPECT_FALSE(SetupGetStringFieldA(&ctx, 1, buf, sizeof buf, nullptr)) << "\"Key =\" has no values";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetupFindFirstLineA(inf_, "Lines", "Plain", &ctx));
    EXPECT_FALSE(SetupGetStringFieldA(&ctx, 5, buf, sizeof buf, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // A line without a key: found only by position; one with a single value is also
    // found by that value.
    ASSERT_TRUE(SetupFindFirstLineA(inf_, "Lines", nullptr, &ctx));
    EXPECT_EQ(ctx.Line, 0u);
    EXPECT_EQ(field(inf_, "Lines", "single.SYS", 0), "single.sys");
    EXPECT_EQ(field(inf_, "Lines", "HKR", 1), "<none>");
}

TEST_F(Inf, StringSubstitutionWhenFieldsAreRead)
{
    EXPECT_EQ(field(inf_, "Lines", "Maker", 1), "Tavik Tech") << "keys of [Strings] compare without case";
    EXPECT_EQ(field(inf_, "Lines", "Maker", 2), "100% sure");
    EXPECT_EQ(field(inf_, "Lines", "Maker", 3), "%unknown%");
    EXPECT_EQ(field(inf_, "Lines", "Maker", 4), "%13%\\x.sys") << "DIRIDs stay for whoever copies files";
    EXPECT_EQ(field(inf_, "Lines", "Said", 1), "say \"hi\"; not a comment");
}

TEST_F(Inf, MissingLinesAndSizes)
{
    INFCONTEXT ctx;
    EXPECT_FALSE(SetupFindFirstLineA(inf_, "NoSuchSection", nullptr, &ctx));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_LINE_NOT_FOUND);
    EXPECT_FALSE(SetupFindFirstLineA(inf_, "Lines", "NoSuchKey", &ctx));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_LINE_NOT_FOUND);

    ASSERT_TRUE(SetupFindFirstLineA(inf_, "Lines", "Maker", &ctx));
    DWORD need = 0;
    EXPECT_TRUE(SetupGetStringFieldA(&ctx, 1, nullptr, 0, &need)) << "a question about the size";
    EXPECT_EQ(need, 11u);
    char buf[11];
    memset(buf, '#', sizeof buf);
    need = 0;
    EXPECT_FALSE(SetupGetStringFieldA(&ctx, 1, buf, 10, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(need, 11u) << "the size is given on failure too";
    EXPECT_TRUE(SetupGetStringFieldA(&ctx, 1, buf, 11, nullptr));
    EXPECT_STREQ(buf, "Tavik Tech");

    // A closed INF's contexts are dead.
    HINF other = SetupOpenInfFileA(path_.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetupFindFirstLineA(other, "Lines", "Maker", &ctx));
    SetupCloseInfFile(other);
    EXPECT_FALSE(SetupGetStringFieldA(&ctx, 1, buf, sizeof buf, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(InfOpen, ErrorsAndLookup)
{
    fresh_root();
    UINT line = 0;
    EXPECT_EQ(SetupOpenInfFileA("missing.inf", nullptr, INF_STYLE_WIN4, &line), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    std::string dir = inf_dir();
    write_file(dir + "/nosig.inf", "[Version]\nClass=Ports\n");
    EXPECT_EQ(SetupOpenInfFileA("NOSIG.INF", nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_WRONG_INF_STYLE);
    write_file(dir + "/badsig.inf", "[Version]\nSignature=\"$Windows 3.1$\"\n");
    EXPECT_EQ(SetupOpenInfFileA("badsig.inf", nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_WRONG_INF_STYLE);

    write_file(dir + "/broken.inf", "[Version]\nSignature=$Windows NT$\n\n[Unclosed\nx=1\n");
    EXPECT_EQ(SetupOpenInfFileA("broken.inf", nullptr, INF_STYLE_WIN4, &line), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_SECTION_NAME_LINE);
    EXPECT_EQ(line, 4u);
    write_file(dir + "/early.inf", "\n; fine\nkey=value\n[Version]\nSignature=$Windows NT$\n");
    EXPECT_EQ(SetupOpenInfFileA("early.inf", nullptr, INF_STYLE_WIN4, &line), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_EXPECTED_SECTION_NAME);
    EXPECT_EQ(line, 3u);

    // Outside the INF folder a path is needed, in any spelling of case and slashes.
    write_file(host_path("C:\\pkg.inf"), "\xEF\xBB\xBF[version]\nsignature=\"$windows nt$\"\nClass=Ports\n");
    EXPECT_EQ(SetupOpenInfFileA("pkg.inf", nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    HINF h = SetupOpenInfFileA("c:/PKG.INF", "ports", INF_STYLE_WIN4, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetupCloseInfFile(h);
    EXPECT_EQ(SetupOpenInfFileA("C:\\pkg.inf", "Net", INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_MISMATCH);
}

TEST(InfOpen, StandInDriverPackage)
{
    fresh_root();
    size_t handles = winsim::open_handle_count();
    HINF h = SetupOpenInfFileA(source_inf().c_str(), "Ports", INF_STYLE_WIN4, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << std::hex << GetLastError();
    EXPECT_EQ(field(h, "Version", "Provider", 1), "Tavik Tech");
    EXPECT_EQ(field(h, "Version", "ClassGuid", 1), "{4D36E978-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(field(h, "Manufacturer", "Tavik Tech", 1), "QorVsp");
    EXPECT_EQ(field(h, "QorVsp.NTamd64", "Qor Virtual Serial Port", 2), "Qor\\Vsp");
    EXPECT_EQ(field(h, "QorVsp_AddReg", nullptr, 3), "PortSubClass");
    EXPECT_EQ(field(h, "QorVsp_AddReg", nullptr, 4), "0x00000001");
    // The package is the INF alone: it names no catalog and no file to copy, and the
    // device has no function driver of its own (a null service).
    EXPECT_EQ(field(h, "Version", "CatalogFile", 1), "<none>");
    EXPECT_EQ(field(h, "SourceDisksFiles", nullptr, 0), "<none>");
    EXPECT_EQ(field(h, "QorVsp_Device.NT", "CopyFiles", 1), "<none>");
    EXPECT_EQ(field(h, "QorVsp_Device.NT.Services", "AddService", 1), "");
    EXPECT_EQ(field(h, "QorVsp_Device.NT.Services", "AddService", 2), "0x00000002");
    EXPECT_EQ(winsim::open_handle_count(), handles + 1);
    SetupCloseInfFile(h);
    EXPECT_EQ(winsim::open_handle_count(), handles);
}

std::string package(const char *date, const char *version, const char *id, const char *extra = "")
{
    return std::string("[Version]\nSignature=\"$WINDOWS NT$\"\nClass=Ports\nDriverVer=") + date + "," + version +
           "\n[Manufacturer]\n%Mfg%=Models,NTamd64,NTx86\n[Models.NTamd64]\n%Desc%=Install," + id +
           ",Other\\Compat\n[Models.NTx86]\n%Desc%=Install," + id + "\n" + extra + "[Strings]\nMfg=M\nDesc=\"Port " +
           version + "\"\n";
}

TEST(InfDrivers, BestMatchFirst)
{
    fresh_root();
    std::string dir = inf_dir();
    write_file(dir + "/oem1.inf", package("11/20/2026", "1.0.3.0", "Qor\\Vsp"));
    write_file(dir + "/oem2.inf", package("01/05/2027", "1.0.1.0", "QOR\\VSP"));
    write_file(dir + "/oem3.inf", package("11/20/2026", "1.0.10.0", "Qor\\Vsp"));
    write_file(dir + "/oem4.inf", package("12/31/2030", "9.0.0.0", "Other\\Device"));
    write_file(dir + "/oem5.inf", "[Version]\nSignature=\"$Windows NT$\"\n[Manufacturer\n");  // unreadable
    write_file(dir + "/mine.inf", package("12/31/2030", "9.0.0.0", "Qor\\Vsp"));  // not an OEM INF
    std::vector<winsim::DriverMatch> found;
    {
        winsim::Guard g(winsim::lock);
        found = winsim::find_drivers_for_hardware_id("qor\\vsp");
    }
    ASSERT_EQ(found.size(), 3u);
    // Newest date first; on the same date 1.0.10.0 beats 1.0.3.0 (numbers, not text).
    EXPECT_EQ(found[0].inf_name, "oem2.inf");
    EXPECT_EQ(found[1].inf_name, "oem3.inf");
    EXPECT_EQ(found[2].inf_name, "oem1.inf");
    EXPECT_EQ(found[1].description, "Port 1.0.10.0");
    EXPECT_EQ(found[1].driver_date, "11/20/2026");
    EXPECT_EQ(found[1].driver_version, "1.0.10.0");
    {
        winsim::Guard g(winsim::lock);
        EXPECT_EQ(winsim::find_drivers_for_hardware_id("other\\compat").size(), 4u) << "compatible IDs match too";
        EXPECT_TRUE(winsim::find_drivers_for_hardware_id("Qor\\Other").empty());
    }
}

BOOL copy_oem(const std::string &source, std::string &dest, DWORD style = 0)
{
    char buf[MAX_PATH];
    DWORD need = 0;
    char *component = nullptr;
    BOOL ok = SetupCopyOEMInfA(source.c_str(), nullptr, SPOST_PATH, style, buf, sizeof buf, &need, &component);
    if (ok || GetLastError() == ERROR_FILE_EXISTS) {
        dest = buf;
        EXPECT_EQ(need, dest.size() + 1);
        EXPECT_EQ(component, buf + dest.rfind('\\') + 1);
    }
    return ok;
}

// Each driver package we ship is a folder an installer would take as it is: every file
// its INF names for the copy is in it.
TEST(OemInf, ShippedPackagesInstallFromTheirOwnFolder)
{
    std::string folder = source_inf().substr(0, source_inf().rfind('/'));
    for (const char *name : {"qorvsp.inf", "vserial2um.inf"}) {
        SCOPED_TRACE(name);
        fresh_root();
        std::string inf = folder + "/" + name;
        HINF h = SetupOpenInfFileA(("Z:" + inf).c_str(), nullptr, INF_STYLE_WIN4, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << std::hex << GetLastError();
        std::string catalog = field(h, "Version", "CatalogFile", 1);
        EXPECT_TRUE(catalog == "<none>" || exists(folder + "/" + catalog)) << catalog;
        std::string source_file = field(h, "SourceDisksFiles", nullptr, 0);
        EXPECT_TRUE(source_file == "<none>" || exists(folder + "/" + source_file)) << source_file;
        SetupCloseInfFile(h);
        std::string dest;
        EXPECT_TRUE(copy_oem("Z:" + inf, dest)) << std::hex << GetLastError();
    }
}

TEST(OemInf, CopyRefusesAPackageWithoutTheCatalogItsInfNames)
{
    fresh_root();
    mkdir(host_path("C:\\src").c_str(), 0755);
    std::string src = host_path("C:\\src\\signed.inf");
    std::string text = package("01/01/2020", "1.0.0.0", "A\\B");
    text.insert(text.find('\n') + 1, "CatalogFile = signed.cat\n");
    write_file(src, text);

    std::string dest;
    EXPECT_FALSE(copy_oem(src.c_str(), dest));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(exists(inf_dir() + "/oem0.inf")) << "a refused package leaves no copy";

    // The catalog beside the INF, its name in other letter case as Windows allows.
    write_file(host_path("C:\\src\\SIGNED.CAT"), "catalog");
    ASSERT_TRUE(copy_oem(src.c_str(), dest)) << std::hex << GetLastError();
    EXPECT_EQ(dest, "C:\\windows\\INF\\oem0.inf");
}

TEST(OemInf, CopyTakesTheLowestFreeNumberAndReusesIdenticalCopies)
{
    fresh_root();
    std::string dir = inf_dir();
    write_file(dir + "/oem0.inf", package("01/01/2020", "1.0.0.0", "A\\B"));
    write_file(dir + "/OEM2.INF", package("01/01/2020", "2.0.0.0", "A\\B"));
    std::string src = host_path("C:\\src\\qorvsp.inf");
    mkdir(host_path("C:\\src").c_str(), 0755);
    write_file(src, read_file(source_inf()));

    std::string dest;
    ASSERT_TRUE(copy_oem("C:\\SRC\\QORVSP.INF", dest)) << std::hex << GetLastError();
    EXPECT_EQ(dest, "C:\\windows\\INF\\oem1.inf");
    EXPECT_EQ(read_file(dir + "/oem1.inf"), read_file(source_inf()));

    // The same bytes again: the installed copy, no new file.
    ASSERT_TRUE(copy_oem(src.c_str(), dest));
    EXPECT_EQ(dest, "C:\\windows\\INF\\oem1.inf");
    EXPECT_FALSE(exists(dir + "/oem3.inf"));
    EXPECT_FALSE(copy_oem(src.c_str(), dest, SP_COPY_NOOVERWRITE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_EQ(dest, "C:\\windows\\INF\\oem1.inf") << "the existing copy is named";

    // Different bytes: the next free number, skipping OEM2.INF whatever its case.
    write_file(src, read_file(src) + "; changed\n");
    ASSERT_TRUE(copy_oem(src.c_str(), dest));
    EXPECT_EQ(dest, "C:\\windows\\INF\\oem3.inf");

    // Too small a buffer: the size needed.
    char small[8];
    DWORD need = 0;
    EXPECT_FALSE(SetupCopyOEMInfA(src.c_str(), nullptr, SPOST_PATH, 0, small, sizeof small, &need, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(need, strlen("C:\\windows\\INF\\oem3.inf") + 1);

    // No temporary files are left behind.
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("C:\\windows\\INF\\*", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    do
        names.push_back(fd.cFileName);
    while (FindNextFileA(h, &fd));
    FindClose(h);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "oem0.inf", "oem1.inf", "OEM2.INF", "oem3.inf"}));
}

TEST(OemInf, CopyRefusesMissingAndInvalidSources)
{
    fresh_root();
    std::string dest;
    EXPECT_FALSE(copy_oem("C:\\nowhere\\x.inf", dest));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    write_file(host_path("C:\\notinf.inf"), "[Version]\nSignature=\"$Windows 95$\"\n");
    EXPECT_FALSE(copy_oem("C:\\notinf.inf", dest));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_WRONG_INF_STYLE);
    write_file(host_path("C:\\broken.inf"), "[Version\n");
    EXPECT_FALSE(copy_oem("C:\\broken.inf", dest));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_SECTION_NAME_LINE);
    EXPECT_FALSE(exists(inf_dir() + "/oem0.inf"));
}

TEST(OemInf, Uninstall)
{
    fresh_root();
    std::string dir = inf_dir();
    write_file(dir + "/oem4.inf", package("01/01/2020", "1.0.0.0", "A\\B"));
    write_file(dir + "/oem4.PNF", "precompiled");
    write_file(dir + "/machine.inf", package("01/01/2020", "1.0.0.0", "A\\B"));

    for (const char *bad : {"C:\\windows\\INF\\oem4.inf", "machine.inf", "oem5.inf", "..\\INF\\oem4.inf"}) {
        EXPECT_FALSE(SetupUninstallOEMInfA(bad, 0, nullptr)) << bad;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_AN_INSTALLED_OEM_INF) << bad;
    }
    EXPECT_FALSE(SetupUninstallOEMInfA("oem4.inf", 0x10, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FLAGS);
    EXPECT_TRUE(exists(dir + "/oem4.inf"));

    EXPECT_TRUE(SetupUninstallOEMInfA("OEM4.inf", 0, nullptr)) << std::hex << GetLastError();
    EXPECT_FALSE(exists(dir + "/oem4.inf"));
    EXPECT_FALSE(exists(dir + "/oem4.PNF"));
    EXPECT_TRUE(exists(dir + "/machine.inf"));
    EXPECT_FALSE(SetupUninstallOEMInfA("oem4.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_AN_INSTALLED_OEM_INF);
}

TEST(OemInf, PackageInUseByADeviceNeedsForce)
{
    fresh_root();
    std::string dest;
    ASSERT_TRUE(copy_oem(source_inf(), dest));
    ASSERT_EQ(dest, "C:\\windows\\INF\\oem0.inf");

    // A port device with the package's hardware ID, installed as the service does it.
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(set, "Ports", &GUID_DEVCLASS_PORTS, nullptr, nullptr, DICD_GENERATE_ID, &dev));
    static const char hwid[] = "Qor\\Vsp\0";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, (const BYTE *)hwid, sizeof hwid));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev));
    HKEY key = SetupDiCreateDevRegKeyA(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    ASSERT_NE(key, (HKEY)INVALID_HANDLE_VALUE);
    RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE *)"COM61", 6);
    RegCloseKey(key);
    ASSERT_TRUE(DiInstallDevice(nullptr, set, &dev, nullptr, 0, nullptr)) << std::hex << GetLastError();

    EXPECT_FALSE(SetupUninstallOEMInfA("oem0.inf", 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INF_IN_USE_BY_DEVICES);
    EXPECT_TRUE(exists(inf_dir() + "/oem0.inf"));
    EXPECT_TRUE(SetupUninstallOEMInfA("oem0.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(exists(inf_dir() + "/oem0.inf"));

    SP_REMOVEDEVICE_PARAMS rp{};
    rp.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    rp.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    rp.Scope = DI_REMOVEDEVICE_GLOBAL;
    EXPECT_TRUE(SetupDiSetClassInstallParamsA(set, &dev, &rp.ClassInstallHeader, sizeof rp));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &dev));
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
