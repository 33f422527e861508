// SetupAPI device functions, device registry keys and DiInstallDevice: the Windows
// semantics the service relies on (sizes, error codes, last-error rules, removal).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <vector>

#include "../src/core.h"
#include "../src/devtree.h"
#include "fresh_root.h"

namespace {

const BYTE kHwid[] = "Qor\\Vsp\0";  // 9 bytes with both NULs

struct NewDevice {
    HDEVINFO set;
    SP_DEVINFO_DATA dev{};
};

// A registered virtual port device with its two values, the set still open.
NewDevice make_port(const char *port, const BYTE *hwid = kHwid, DWORD hwid_size = 9)
{
    NewDevice d;
    d.set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    d.dev.cbSize = sizeof d.dev;
    EXPECT_TRUE(SetupDiCreateDeviceInfoA(d.set, "Ports", &GUID_DEVCLASS_PORTS, nullptr, nullptr, DICD_GENERATE_ID,
                                         &d.dev));
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_HARDWAREID, hwid, hwid_size));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, d.set, &d.dev));
    HKEY key = SetupDiCreateDevRegKeyA(d.set, &d.dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    EXPECT_NE(key, (HKEY)INVALID_HANDLE_VALUE);
    if (port) {
        EXPECT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE *)port, (DWORD)strlen(port) + 1), 0);
    }
    RegCloseKey(key);
    return d;
}

HDEVINFO present_ports()
{
    return SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr);
}

DWORD count(HDEVINFO set)
{
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    DWORD n = 0;
    while (SetupDiEnumDeviceInfo(set, n, &dev))
        n++;
    return n;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void write_inf(const std::string &root, const char *name, const char *date_version)
{
    std::string dir = root + "/drive_c/windows/INF";
    mkdir((root + "/drive_c").c_str(), 0755);
    mkdir((root + "/drive_c/windows").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name) << "[Version]\n"
                                       "Signature=\"$WINDOWS NT$\"\n"
                                       "Class=Ports\n"
                                       "ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n"
                                       "Provider=%Maker%\n"
                                       "DriverVer="
                                    << date_version
                                    << "\n\n[Manufacturer]\n%Maker%=Models,NTamd64\n\n"
                                       "[Models.NTamd64]\n%PortDesc%=PortInstall,Qor\\Vsp\n\n"
                                       "[Strings]\nMaker=\"Test Maker\"\nPortDesc=\"Test Virtual Port\"\n";
}

TEST(SetupDiSets, ArgumentAndEndErrors)
{
    fresh_root();
    SetLastError(0);
    EXPECT_EQ(SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT, nullptr, "OTHERPC", nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_MACHINENAME);
    EXPECT_EQ(SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    NewDevice d = make_port("COM7");
    HDEVINFO set = present_ports();
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev - 1;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &dev));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
    EXPECT_TRUE(dev.ClassGuid == GUID_DEVCLASS_PORTS);
    EXPECT_EQ(dev.DevInst, d.dev.DevInst) << "one device, one device instance handle";
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &dev));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);

    // Adding to an existing set returns it and does not duplicate its members.
    EXPECT_EQ(SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT, set, nullptr, nullptr),
              set);
    EXPECT_EQ(count(set), 1u);

    // SetupAPI sets the last error on success too, as Windows does.
    SetLastError(1234);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), 0u) << "success clears the last error";
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetupDiDestroyDeviceInfoList(d.set);

    winsim::fail_next("SetupDiGetClassDevsExA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(present_ports(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    winsim::fail_next("RegQueryValueExA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA((HKEY)nullptr, "x", nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
}

TEST(SetupDiSets, CreatedDevicesGetFreshIdsAndJoinTheTreeOnlyWhenRegistered)
{
    std::string root = fresh_root();
    HDEVINFO a = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    HDEVINFO b = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    SP_DEVINFO_DATA da{}, db{};
    da.cbSize = db.cbSize = sizeof da;
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(a, "Ports", &GUID_DEVCLASS_PORTS, "A port", nullptr, DICD_GENERATE_ID, &da));
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(b, "Ports", &GUID_DEVCLASS_PORTS, nullptr, nullptr, DICD_GENERATE_ID, &db));
    EXPECT_NE(da.DevInst, db.DevInst);
    HDEVINFO listed = present_ports();
    EXPECT_EQ(count(listed), 0u) << "not in the tree before DIF_REGISTERDEVICE";
    SetupDiDestroyDeviceInfoList(listed);

    // Without DICD_GENERATE_ID the name is the whole ID, and a taken one is refused.
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(a, "ROOT\\PORTS\\0001", &GUID_DEVCLASS_PORTS, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVINST_ALREADY_EXISTS) << "reserved by the other set";
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(a, "Ports\\x", &GUID_DEVCLASS_PORTS, nullptr, nullptr, DICD_GENERATE_ID,
                                          nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DEVINST_NAME);

    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, b, &db));
    EXPECT_TRUE(exists(root + "/devices/ROOT#PORTS#0001.device"));
    EXPECT_FALSE(exists(root + "/devices/ROOT#PORTS#0000.device"));
    // Destroying a set drops its unregistered draft and frees its ID.
    SetupDiDestroyDeviceInfoList(a);
    SP_DEVINFO_DATA dc{};
    dc.cbSize = sizeof dc;
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(b, "ROOT\\PORTS\\0000", &GUID_DEVCLASS_PORTS, "Second", nullptr, 0, &dc));
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(b, "root\\ports\\0001", &GUID_DEVCLASS_PORTS, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVINST_ALREADY_EXISTS) << "IDs ignore case";
    // The description given at creation is the device's DeviceDesc.
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, b, &dc));
    char desc[16] = "";
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(b, &dc, SPDRP_DEVICEDESC, nullptr, (BYTE *)desc, sizeof desc,
                                                  nullptr));
    EXPECT_STREQ(desc, "Second");
    SetupDiDestroyDeviceInfoList(b);
    listed = present_ports();
    EXPECT_EQ(count(listed), 2u);
    SetupDiDestroyDeviceInfoList(listed);
}

TEST(SetupDiProperties, SizesTypesAndMissingProperties)
{
    fresh_root();
    NewDevice d = make_port("COM7");
    BYTE buf[64];
    DWORD need = 0, type = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_HARDWAREID, &type, nullptr, 0, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(need, 9u);
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    need = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_HARDWAREID, nullptr, buf, 8, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(need, 9u);
    SetLastError(77);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_HARDWAREID, nullptr, buf, 9, &need));
    EXPECT_EQ(memcmp(buf, kHwid, 9), 0);
    EXPECT_EQ(GetLastError(), 0u);

    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_FRIENDLYNAME, nullptr, buf, sizeof buf, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(d.set, &d.dev, 0x1000, nullptr, buf, sizeof buf, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_REG_PROPERTY);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_CLASSGUID, &type, buf, sizeof buf, &need));
    EXPECT_STREQ((char *)buf, "{4d36e978-e325-11ce-bfc1-08002be10318}");

    // Set and read back through another set, as another walk would.
    const char name[] = "My Port";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_FRIENDLYNAME, (const BYTE *)name, sizeof name));
    HDEVINFO other = present_ports();
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(other, 0, &dev));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(other, &dev, SPDRP_FRIENDLYNAME, &type, buf, sizeof buf, &need));
    EXPECT_EQ(need, sizeof name);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_STREQ((char *)buf, name);
    dev.Reserved = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(other, &dev, SPDRP_FRIENDLYNAME, nullptr, buf, sizeof buf, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << "not an element of this set";
    SetupDiDestroyDeviceInfoList(other);
    SetupDiDestroyDeviceInfoList(d.set);
}

TEST(DeviceKeys, QueryAndSetFollowRegistryRules)
{
    fresh_root();
    NewDevice d = make_port(nullptr);
    HKEY key = SetupDiOpenDevRegKey(d.set, &d.dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(key, (HKEY)INVALID_HANDLE_VALUE);
    SetLastError(4321);
    BYTE buf[8];
    DWORD size = sizeof buf, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE *)"COM1", 5), ERROR_ACCESS_DENIED)
        << "a key opened for reading";
    RegCloseKey(key);

    key = SetupDiOpenDevRegKey(d.set, &d.dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ | KEY_WRITE);
    SetLastError(4321);
    const char long_name[] = "COM123456789";
    ASSERT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE *)long_name, sizeof long_name), 0);
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(size, sizeof long_name);
    size = sizeof buf;
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof long_name);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(GetLastError(), 4321u) << "registry functions return their status only";
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(GetLastError(), 4321u);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    SetupDiDestroyDeviceInfoList(d.set);

    // The key of a removed device stops working.
    NewDevice e = make_port("COM8");
    key = SetupDiOpenDevRegKey(e.set, &e.dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    SP_REMOVEDEVICE_PARAMS rp{};
    rp.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    rp.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    rp.Scope = DI_REMOVEDEVICE_GLOBAL;
    ASSERT_TRUE(SetupDiSetClassInstallParamsA(e.set, &e.dev, &rp.ClassInstallHeader, sizeof rp));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, e.set, &e.dev));
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, buf, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE *)"x", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(SetupDiOpenDevRegKey(e.set, &e.dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ), (HKEY)INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_DEVINST);
    SetupDiDestroyDeviceInfoList(e.set);
}

// A key whose access list grants reading only, as a hardware key is to a user without
// administrator rights: opened for reading it serves, any wider access is refused.
TEST(DeviceKeys, AReadOnlyKeyOpensForReadingOnly)
{
    std::string root = fresh_root();
    mkdir((root + "/devices").c_str(), 0755);
    std::ofstream(root + "/devices/ROOT#PORTS#0000.device") << "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n"
                                                               "devkey = read-only\n"
                                                               "value PortName = sz \"COM4\\0\"\n";
    HDEVINFO set = present_ports();
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));

    HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(key, (HKEY)INVALID_HANDLE_VALUE);
    char name[8];
    DWORD size = sizeof name;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, (BYTE *)name, &size), 0);
    EXPECT_STREQ(name, "COM4");
    RegCloseKey(key);
    for (REGSAM access : {(REGSAM)(KEY_READ | KEY_WRITE), (REGSAM)KEY_SET_VALUE, (REGSAM)KEY_ALL_ACCESS}) {
        EXPECT_EQ(SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, access), (HKEY)INVALID_HANDLE_VALUE)
            << std::hex << access;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(SetupDiCreateDevRegKeyA(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr),
              (HKEY)INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    SetupDiDestroyDeviceInfoList(set);

    winsim::DeviceNode node;
    winsim::devtree_parse(winsim::devtree_format([] {
                              winsim::DeviceNode n;
                              n.has_key = n.key_read_only = true;
                              return n;
                          }()),
                          node, "test");
    EXPECT_TRUE(node.has_key && node.key_read_only) << "the setting survives a rewrite of the device";
}

TEST(DeviceRemoval, NeedsParamsThenRemovesFileAndStopsPort)
{
    std::string root = fresh_root();
    write_inf(root, "oem0.inf", "01/02/2023,1.0.0.0");
    NewDevice d = make_port("COM51");
    NewDevice other = make_port("COM52");
    ASSERT_TRUE(DiInstallDevice(nullptr, d.set, &d.dev, nullptr, 0, nullptr));
    ASSERT_TRUE(DiInstallDevice(nullptr, other.set, &other.dev, nullptr, 0, nullptr));
    ASSERT_NE(winsim::port_terminal("COM51"), "");

    HDEVINFO set = present_ports();
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &dev));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_CLASSINSTALL_PARAMS);

    SP_REMOVEDEVICE_PARAMS rp{};
    rp.ClassInstallHeader.cbSize = sizeof rp;  // the whole record instead of its header
    rp.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    rp.Scope = DI_REMOVEDEVICE_GLOBAL;
    EXPECT_FALSE(SetupDiSetClassInstallParamsA(set, &dev, &rp.ClassInstallHeader, sizeof rp));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
    rp.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    EXPECT_FALSE(SetupDiSetClassInstallParamsA(set, &dev, &rp.ClassInstallHeader, sizeof rp.ClassInstallHeader));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(exists(root + "/devices/ROOT#PORTS#0000.device"));

    ASSERT_TRUE(SetupDiSetClassInstallParamsA(set, &dev, &rp.ClassInstallHeader, sizeof rp));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &dev));
    EXPECT_FALSE(exists(root + "/devices/ROOT#PORTS#0000.device"));
    EXPECT_EQ(winsim::port_terminal("COM51"), "") << "the port stopped with its device";
    EXPECT_NE(winsim::port_terminal("COM52"), "");
    // The walk goes on by index: the removed element keeps its place.
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &dev));
    ASSERT_TRUE(SetupDiSetClassInstallParamsA(set, &dev, &rp.ClassInstallHeader, sizeof rp));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &dev));
    EXPECT_EQ(winsim::port_terminal("COM52"), "");
    SetupDiDestroyDeviceInfoList(set);
    set = present_ports();
    EXPECT_EQ(count(set), 0u);
    SetupDiDestroyDeviceInfoList(set);
    {
        winsim::Guard g(winsim::lock);
        EXPECT_FALSE(winsim::devtree_inf_in_use("oem0.inf"));
    }
    SetupDiDestroyDeviceInfoList(d.set);
    SetupDiDestroyDeviceInfoList(other.set);
}

TEST(DiInstall, PicksNewestPackageRecordsItAndStartsThePort)
{
    std::string root = fresh_root();
    NewDevice d = make_port("COM61");
    EXPECT_FALSE(DiInstallDevice(nullptr, d.set, &d.dev, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_DRIVER_SELECTED);

    write_inf(root, "oem0.inf", "01/02/2020,1.0.0.0");
    write_inf(root, "oem1.inf", "05/06/2023,2.0.0.0");
    BOOL reboot = TRUE;
    ASSERT_TRUE(DiInstallDevice(nullptr, d.set, &d.dev, nullptr, 0, &reboot));
    EXPECT_FALSE(reboot);
    EXPECT_NE(winsim::port_terminal("COM61"), "");
    char text[128];
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_DEVICEDESC, nullptr, (BYTE *)text, sizeof text,
                                                  nullptr));
    EXPECT_STREQ(text, "Test Virtual Port");
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_FRIENDLYNAME, nullptr, (BYTE *)text,
                                                  sizeof text, nullptr));
    EXPECT_STREQ(text, "Test Virtual Port (COM61)");
    {
        winsim::Guard g(winsim::lock);
        EXPECT_TRUE(winsim::devtree_inf_in_use("OEM1.INF"));
        EXPECT_FALSE(winsim::devtree_inf_in_use("oem0.inf"));
    }

    // A second hardware ID matches when the first matches nothing; a device without a
    // port name is installed but starts no port.
    const BYTE ids[] = "Other\\Thing\0Qor\\Vsp\0";
    NewDevice e = make_port(nullptr, ids, sizeof ids);
    ASSERT_TRUE(DiInstallDevice(nullptr, e.set, &e.dev, nullptr, 0, nullptr));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(e.set, &e.dev, SPDRP_FRIENDLYNAME, nullptr, (BYTE *)text,
                                                   sizeof text, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);

    winsim::port_stop("COM61");
    SetupDiDestroyDeviceInfoList(d.set);
    SetupDiDestroyDeviceInfoList(e.set);
}

// SetupAPI and newdev set the last error when they succeed too, as Windows' do; a
// caller that reads a failed step's code after a later call gets 0 unless it saved it.
TEST(LastError, SetupApiAndNewdevCallsThatSucceedSetNoError)
{
    std::string root = fresh_root();
    write_inf(root, "oem0.inf", "01/02/2023,1.0.0.0");
    std::vector<std::string> kept;
    auto check = [&](const char *what, auto call) {
        SetLastError(1234);
        bool ok = call();
        EXPECT_TRUE(ok) << what;
        if (GetLastError() != 0)
            kept.push_back(what);
    };
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    HKEY key = (HKEY)INVALID_HANDLE_VALUE;
    char buf[MAX_PATH];
    check("SetupDiCreateDeviceInfoList", [&] {
        return (set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr)) != INVALID_HANDLE_VALUE;
    });
    check("SetupDiCreateDeviceInfoA", [&] {
        return SetupDiCreateDeviceInfoA(set, "Ports", &GUID_DEVCLASS_PORTS, nullptr, nullptr, DICD_GENERATE_ID, &dev);
    });
    check("SetupDiSetDeviceRegistryPropertyA",
          [&] { return SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, kHwid, 9); });
    check("SetupDiCallClassInstaller", [&] { return SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev); });
    check("SetupDiCreateDevRegKeyA", [&] {
        key = SetupDiCreateDevRegKeyA(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        return key != (HKEY)INVALID_HANDLE_VALUE;
    });
    RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE *)"COM71", 6);
    RegCloseKey(key);
    check("SetupDiOpenDevRegKey", [&] {
        key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        return key != (HKEY)INVALID_HANDLE_VALUE;
    });
    RegCloseKey(key);
    check("DiInstallDevice", [&] { return DiInstallDevice(nullptr, set, &dev, nullptr, 0, nullptr); });
    check("SetupDiGetDeviceRegistryPropertyA", [&] {
        return SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, nullptr, (BYTE *)buf, sizeof buf,
                                                 nullptr);
    });
    HDEVINFO listed = INVALID_HANDLE_VALUE;
    check("SetupDiGetClassDevsExA", [&] { return (listed = present_ports()) != INVALID_HANDLE_VALUE; });
    check("SetupDiEnumDeviceInfo", [&] { return SetupDiEnumDeviceInfo(listed, 0, &dev); });
    SP_REMOVEDEVICE_PARAMS rp{};
    rp.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    rp.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    rp.Scope = DI_REMOVEDEVICE_GLOBAL;
    check("SetupDiSetClassInstallParamsA",
          [&] { return SetupDiSetClassInstallParamsA(listed, &dev, &rp.ClassInstallHeader, sizeof rp); });
    check("SetupDiCallClassInstaller(DIF_REMOVE)", [&] { return SetupDiCallClassInstaller(DIF_REMOVE, listed, &dev); });
    check("SetupDiDestroyDeviceInfoList", [&] { return SetupDiDestroyDeviceInfoList(listed); });
    SetupDiDestroyDeviceInfoList(set);

    HINF inf = INVALID_HANDLE_VALUE;
    INFCONTEXT line{};
    check("SetupOpenInfFileA", [&] {
        return (inf = SetupOpenInfFileA("oem0.inf", nullptr, INF_STYLE_WIN4, nullptr)) != INVALID_HANDLE_VALUE;
    });
    check("SetupFindFirstLineA", [&] { return SetupFindFirstLineA(inf, "Version", "DriverVer", &line); });
    check("SetupGetStringFieldA", [&] { return SetupGetStringFieldA(&line, 1, buf, sizeof buf, nullptr); });
    SetupCloseInfFile(inf);
    std::string source = root + "/drive_c/package.inf";
    std::ofstream(source) << std::ifstream(root + "/drive_c/windows/INF/oem0.inf").rdbuf();
    std::string windows_source = "C:\\package.inf";
    check("SetupCopyOEMInfA", [&] {
        return SetupCopyOEMInfA(windows_source.c_str(), nullptr, SPOST_PATH, 0, buf, sizeof buf, nullptr, nullptr);
    });
    check("SetupUninstallOEMInfA", [&] { return SetupUninstallOEMInfA("oem0.inf", 0, nullptr); });
    EXPECT_EQ(kept, std::vector<std::string>{}) << "these left the last error as it was";
}

}  // namespace
