// The device tree on disk: the device files as written, hand-seeded files as read,
// listing order, persistence across a restart, and the driver's port resolver.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "../src/core.h"
#include "../src/devtree.h"
#include "fresh_root.h"

namespace {

std::string read_text(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void seed(const std::string &name, const std::string &text)
{
    std::string dir = winsim::root() + "/devices";
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name, std::ios::binary) << text;
}

std::vector<std::string> dir_entries(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")))
                out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The service's way of making a virtual port, up to (not including) installation.
void create_port_device(const char *port, const char *gateway)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    EXPECT_TRUE(SetupDiCreateDeviceInfoA(set, "Ports", &GUID_DEVCLASS_PORTS, nullptr, nullptr, DICD_GENERATE_ID, &dev));
    const BYTE hwid[] = "Qor\\Vsp\0";  // the 7 characters and two NULs
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, hwid, 9));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev));
    HKEY key = SetupDiCreateDevRegKeyA(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    EXPECT_NE(key, (HKEY)INVALID_HANDLE_VALUE);
    EXPECT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE *)port, (DWORD)strlen(port) + 1), 0);
    EXPECT_EQ(RegSetValueExA(key, "QorGatewayID", 0, REG_SZ, (const BYTE *)gateway, (DWORD)strlen(gateway) + 1), 0);
    EXPECT_EQ(RegCloseKey(key), 0);
    SetupDiDestroyDeviceInfoList(set);
}

// Port names of the present Ports devices in listing order ("-" for one without).
std::vector<std::string> listed_ports()
{
    std::vector<std::string> out;
    HDEVINFO set = SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr,
                                          nullptr);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); i++) {
        HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        char name[256] = "-";
        DWORD size = sizeof name;
        if (key != (HKEY)INVALID_HANDLE_VALUE) {
            RegQueryValueExA(key, "PortName", nullptr, nullptr, (BYTE *)name, &size);
            RegCloseKey(key);
        }
        out.push_back(name);
    }
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

TEST(DeviceFiles, CreatedDeviceIsWrittenAsReadableText)
{
    std::string root = fresh_root();
    create_port_device("COM7", "gw-1");
    std::string dir = root + "/devices";
    ASSERT_EQ(dir_entries(dir), std::vector<std::string>{"ROOT#PORTS#0000.device"}) << "no temporary file is left";
    EXPECT_EQ(read_text(dir + "/ROOT#PORTS#0000.device"),
              "# device ROOT\\PORTS\\0000\n"
              "order = 1\n"
              "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n"
              "present = yes\n"
              "HardwareID = multi_sz \"Qor\\\\Vsp\\0\\0\"\n"
              "devkey = yes\n"
              "value PortName = sz \"COM7\\0\"\n"
              "value QorGatewayID = sz \"gw-1\\0\"\n");
}

TEST(DeviceFiles, FormatRoundTripsAwkwardBytesAndNames)
{
    winsim::DeviceNode node;
    node.id = "ROOT\\X\\0001";
    node.has_key = true;
    node.props.push_back({"FriendlyName", REG_SZ, std::string("a\"b\\c\r\n\t\x01\xff\0", 10)});
    node.values.push_back({"", REG_SZ, "default"});
    node.values.push_back({"with space = sign", REG_BINARY, std::string("\0\x01" "2", 3)});
    node.values.push_back({"Count", REG_DWORD, std::string("\x05\0\0\0", 4)});
    node.values.push_back({"Short", REG_DWORD, std::string("\x05", 1)});
    node.values.push_back({"Odd", 11, "x"});
    std::string text = winsim::devtree_format(node);
    EXPECT_NE(text.find("value Count = dword 0x00000005\n"), std::string::npos) << text;
    EXPECT_NE(text.find("value \"with space = sign\" = binary \"\\0\\x012\"\n"), std::string::npos) << text;

    winsim::DeviceNode back;
    winsim::devtree_parse(text, back, "test");
    ASSERT_EQ(back.props.size(), 1u);
    EXPECT_EQ(back.props[0].data, node.props[0].data);
    ASSERT_EQ(back.values.size(), node.values.size());
    for (size_t i = 0; i < node.values.size(); i++) {
        EXPECT_EQ(back.values[i].name, node.values[i].name);
        EXPECT_EQ(back.values[i].type, node.values[i].type);
        EXPECT_EQ(back.values[i].data, node.values[i].data) << node.values[i].name;
    }
}

TEST(DeviceFiles, HandSeededDevicesAreListedWithTheirData)
{
    fresh_root();
    seed("ACPI#PNP0501#1.device",
         "class = {4d36e978-e325-11ce-bfc1-08002be10318}\n"
         "FriendlyName = sz \"Communications Port (COM1)\\0\"\n"
         "DeviceDesc = sz \"Communications Port\\0\"\n"
         "value PortName = sz \"COM1\\0\"\n");
    seed("ACPI#PNP0501#2.device",  // a port without a port name
         "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n"
         "DeviceDesc = sz \"Odd Port\\0\"\n");
    seed("ACPI#PNP0501#3.device",  // not present
         "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\npresent = no\nvalue PortName = sz \"COM3\\0\"\n");
    seed("PCI#VEN_1#0.device", "class = {4D36E968-E325-11CE-BFC1-08002BE10318}\n");  // another class
    seed("junk.txt", "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n");

    EXPECT_EQ(listed_ports(), (std::vector<std::string>{"COM1", "-"}));

    HDEVINFO set = SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr,
                                          nullptr);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
    EXPECT_TRUE(dev.ClassGuid == GUID_DEVCLASS_PORTS);
    char text[256];
    DWORD type = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_FRIENDLYNAME, &type, (BYTE *)text, sizeof text,
                                                  nullptr));
    EXPECT_STREQ(text, "Communications Port (COM1)");
    EXPECT_EQ(type, (DWORD)REG_SZ);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_DEVICEDESC, nullptr, (BYTE *)text, 255, nullptr));
    EXPECT_STREQ(text, "Communications Port");

    // The second has no hardware key at all.
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &dev));
    SetLastError(0);
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ), (HKEY)INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_KEY_DOES_NOT_EXIST);
    SetupDiDestroyDeviceInfoList(set);

    // All classes, present or not.
    set = SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr);
    DWORD n = 0;
    while (SetupDiEnumDeviceInfo(set, n, &dev))
        n++;
    EXPECT_EQ(n, 4u);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(DeviceFiles, ValuesWithoutTerminatorsReadBackExactly)
{
    fresh_root();
    seed("ROOT#PORTS#0007.device",
         "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n"
         "HardwareID = multi_sz \"Qor\\\\Vsp\"\n"
         "value PortName = sz \"COM9\"\n"
         "value Flags = dword 0x1F\n"
         "value Raw = binary \"\\x00\\xFFz\\0007\"\n");
    HDEVINFO set = SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr,
                                          nullptr);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
    BYTE buf[64];
    memset(buf, 'X', sizeof buf);
    DWORD need = 0, type = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, &type, buf, sizeof buf, &need));
    EXPECT_EQ(need, 7u);
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    EXPECT_EQ(std::string((char *)buf, 8), "Qor\\VspX") << "nothing beyond the stored bytes is written";

    HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(key, (HKEY)INVALID_HANDLE_VALUE);
    DWORD size = sizeof buf;
    memset(buf, 'X', sizeof buf);
    ASSERT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, buf, &size), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::string((char *)buf, 5), "COM9X");
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "flags", nullptr, &type, buf, &size), 0) << "value names ignore case";
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buf[0], 0x1F);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "Raw", nullptr, &type, buf, &size), 0);
    EXPECT_EQ(std::string((char *)buf, size), std::string("\0\xFFz\0" "007", 7)) << "\\0 takes no digits after it";
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(DeviceFiles, ListingFollowsCreationOrderAcrossRestarts)
{
    std::string root = fresh_root();
    EXPECT_TRUE(listed_ports().empty()) << "no devices folder is an empty tree";
    seed("ZZZ#SEEDED#0.device", "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\nvalue PortName = sz \"COM1\\0\"\n");
    create_port_device("COM20", "a");  // ROOT\PORTS\0000
    create_port_device("COM10", "b");  // ROOT\PORTS\0001
    create_port_device("COM30", "c");  // ROOT\PORTS\0002
    EXPECT_EQ(listed_ports(), (std::vector<std::string>{"COM1", "COM20", "COM10", "COM30"}));

    // Remove the first created; the next device takes its free ID but lists last.
    HDEVINFO set = SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr,
                                          nullptr);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &dev));
    SP_REMOVEDEVICE_PARAMS rp{};
    rp.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    rp.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    rp.Scope = DI_REMOVEDEVICE_GLOBAL;
    ASSERT_TRUE(SetupDiSetClassInstallParamsA(set, &dev, &rp.ClassInstallHeader, sizeof rp));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &dev));
    SetupDiDestroyDeviceInfoList(set);
    struct stat st;
    EXPECT_NE(stat((root + "/devices/ROOT#PORTS#0000.device").c_str(), &st), 0);
    create_port_device("COM5", "d");
    EXPECT_EQ(stat((root + "/devices/ROOT#PORTS#0000.device").c_str(), &st), 0) << "the lowest free ID is reused";
    EXPECT_EQ(listed_ports(), (std::vector<std::string>{"COM1", "COM10", "COM30", "COM5"}));

    // A "restart": the root is set anew and every set is made afresh from the files.
    winsim::set_root(root);
    EXPECT_EQ(listed_ports(), (std::vector<std::string>{"COM1", "COM10", "COM30", "COM5"}));
}

TEST(DeviceFiles, ResolverStartsOnlyInstalledPresentDevices)
{
    fresh_root();
    seed("ROOT#PORTS#0000.device",
         "order = 1\nclass = {4D36E978-E325-11CE-BFC1-08002BE10318}\ndriver = oem0.inf\n"
         "value PortName = sz \"COM41\\0\"\n");
    seed("ROOT#PORTS#0001.device",  // registered, never installed
         "order = 2\nclass = {4D36E978-E325-11CE-BFC1-08002BE10318}\nvalue PortName = sz \"COM42\\0\"\n");
    seed("ROOT#PORTS#0002.device",
         "order = 3\nclass = {4D36E978-E325-11CE-BFC1-08002BE10318}\ndriver = oem0.inf\npresent = no\n"
         "value PortName = sz \"COM43\\0\"\n");
    {
        winsim::Guard g(winsim::lock);
        winsim::devtree_use();
        EXPECT_TRUE(winsim::devtree_resolve_port("com41")) << "port names ignore case";
        EXPECT_FALSE(winsim::devtree_resolve_port("COM42"));
        EXPECT_FALSE(winsim::devtree_resolve_port("COM43"));
        EXPECT_FALSE(winsim::devtree_resolve_port("COM44"));
    }
    EXPECT_NE(winsim::port_terminal("COM41"), "");
    EXPECT_EQ(winsim::port_terminal("COM42"), "");

    // As after a restart of the service: the port is gone from the driver, the device
    // stays, and opening the port by name brings it back.
    winsim::port_stop("COM41");
    HANDLE h = CreateFileA("\\\\.\\COM41", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(winsim::port_terminal("COM41"), "");
    CloseHandle(h);
    EXPECT_EQ(CreateFileA("\\\\.\\COM42", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    winsim::port_stop("COM41");
}

TEST(DeviceFiles, InfInUseByAnyInstalledNode)
{
    fresh_root();
    seed("ROOT#PORTS#0000.device", "driver = OEM3.inf\npresent = no\n");
    winsim::Guard g(winsim::lock);
    EXPECT_TRUE(winsim::devtree_inf_in_use("oem3.inf"));
    EXPECT_FALSE(winsim::devtree_inf_in_use("oem4.inf"));
}

TEST(DeviceFiles, OpeningATreeClearsTheTemporaryFilesOfProcessesThatAreGone)
{
    fresh_root();
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    std::string dead = ".tmp-" + std::to_string(gone) + "-1";
    std::string ours = ".tmp-" + std::to_string(getpid()) + "-7";  // a process before us had our ID
    std::string live = ".tmp-" + std::to_string(getppid()) + "-3";  // may be mid-write right now
    seed(dead, "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n");
    seed(ours, "half a devi");
    seed(live, "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n");
    seed(".tmp-notours", "kept: not a name the layer makes");
    seed("ACPI#PNP0501#1.device",
         "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\nvalue PortName = sz \"COM1\\0\"\n");

    EXPECT_EQ(listed_ports(), (std::vector<std::string>{"COM1"}));
    std::vector<std::string> kept{".tmp-notours", live, "ACPI#PNP0501#1.device"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(dir_entries(winsim::root() + "/devices"), kept);

    // Only the first use in a process clears: later writes of other processes are safe.
    seed(dead, "written after the tree was opened");
    create_port_device("COM2", "gw");
    EXPECT_EQ(listed_ports(), (std::vector<std::string>{"COM1", "COM2"}));
    EXPECT_EQ(dir_entries(winsim::root() + "/devices").size(), 5u);
}

}  // namespace
