// The port device functions called directly against a fresh stand-in root: opening a
// port's device, taking up existing devices, the walk over the Ports class with its
// filters, removing a device node and creating a virtual port, each with its failures.
#include <filesystem>

#include "addon/driver_if.h"
#include "addon/identity.h"
#include "addon/sysmsg.h"
#include "service_fixture.h"

using namespace e2e;

namespace {

int occupied()
{
    int n = 0;
    for (int i = 0; i < VPORTS_SLOTS; i++)
        n += vports[i] != nullptr;
    return n;
}

// A per-device action that notes each device it is given by its description and the
// filters it was handed.
std::vector<std::string> met;
const char *met_hardware_id;
const char *met_port_name;
int met_result;

int note_device(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, const char *port_name)
{
    char desc[256] = "";
    SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_DEVICEDESC, NULL, reinterpret_cast<PBYTE>(desc),
                                      sizeof desc - 1, NULL);
    met.push_back(desc);
    met_hardware_id = hardware_id;
    met_port_name = port_name;
    return met_result;
}

// Calls an action for every present Ports-class device, as a walk without filters
// would, and gives its results in device order.
std::vector<int> act_on_each(port_action action, const char *hardware_id = nullptr, const char *port_name = nullptr)
{
    std::vector<int> results;
    HDEVINFO set = SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, NULL, NULL, DIGCF_PRESENT, NULL, NULL, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return results;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++)
        results.push_back(action(set, &device, hardware_id, port_name));
    SetupDiDestroyDeviceInfoList(set);
    return results;
}

class PortDevices : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fresh_root();
        winsim::clear_faults();
        winsim::clear_calls();
        vports_clear();
        met.clear();
        met_result = 0;
        logged();
    }

    void TearDown() override
    {
        winsim::clear_faults();
        for (int i = 0; i < VPORTS_SLOTS; i++)
            if (vports[i])
                vports_remove(vports[i]);
    }

    // Everything logged since the last call, once it has all arrived: a marker line
    // written now is waited for and left out.
    std::string logged()
    {
        static int n;
        std::string marker = "--- mark " + std::to_string(++n) + " ---\n";
        printf("%s", marker.c_str());
        fflush(stdout);
        size_t end = log.wait_for(marker, seen);
        if (end == std::string::npos)
            return "<marker lost>";
        std::string out = log.text().substr(seen, end - marker.size() - seen);
        seen = end;
        return out;
    }

    void seed_ports_device(const std::string &file, const std::string &lines)
    {
        seed_device(root, file, kPortsClass + lines);
    }

    std::string device_file(const std::string &file) { return read_file(root + "/devices/" + file + ".device"); }
    bool device_exists(const std::string &file)
    {
        return std::filesystem::exists(root + "/devices/" + file + ".device");
    }
    size_t device_count()
    {
        std::error_code ec;
        size_t n = 0;
        for (auto &e : std::filesystem::directory_iterator(root + "/devices", ec))
            n += e.path().extension() == ".device";
        return n;
    }

    std::string root;
    LogCapture log;
    size_t seen = 0;
};

// ------------------------------------------------------------------ vport_open

TEST_F(PortDevices, OpeningAPortArmsOpenAndReadAndLogsEachStep)
{
    ASSERT_TRUE(winsim::port_start("PDOPEN1"));
    vport *p = named("PDOPEN1");
    HANDLE h = vport_open(p);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h, p->hcom);
    EXPECT_EQ(p->read_pending, 1);
    EXPECT_EQ(p->read_overlapped.hEvent, p->read_event);
    EXPECT_NE(p->open_overlapped.hEvent, nullptr);
    EXPECT_NE(p->write_overlapped.hEvent, nullptr);
    EXPECT_NE(p->open_overlapped.hEvent, p->write_overlapped.hEvent);
    EXPECT_NE(p->read_event, p->write_overlapped.hEvent);
    // The stand-in's READ is pending (997) and its OPEN is done at once: both count.
    EXPECT_FALSE(HasOverlappedIoCompleted(&p->read_overlapped));
    EXPECT_EQ(p->rx_frame[0], 0) << "the channel byte is vports_add's to write";
    EXPECT_EQ(logged(), open_lines("PDOPEN1", h));
    vport_release(p);

    // An OPEN left pending counts as issued too.
    ASSERT_TRUE(winsim::port_start("PDOPEN2"));
    winsim::fail_next("DeviceIoControl", ERROR_IO_PENDING);
    p = named("PDOPEN2");
    h = vport_open(p);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(p->read_pending, 1);
    EXPECT_EQ(logged(), open_lines("PDOPEN2", h));
    vport_release(p);
}

TEST_F(PortDevices, EachFailingStepOfOpeningLogsItsLineAndLeavesWhatWasDone)
{
    ASSERT_TRUE(winsim::port_start("PDSTEP"));
    const std::vector<std::string> ok_lines = {"will open \\\\.\\PDSTEP\n", "CreateFile ok, handle=H\n",
                                               "CreateEvent ok\n", "DeviceIoControl, hcom=H\n",
                                               "IOCTL_SERIAL_PEER_OPEN_CONTROL OK\n"};
    struct Case {
        const char *function;
        DWORD error;
        unsigned skip;
        size_t lines_before;  // of ok_lines
        const char *failure;
        int events;  // events created before the failure
    } cases[] = {
        {"CreateFileA", ERROR_ACCESS_DENIED, 0, 1, "CreateFile fail\n", 0},
        {"CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 0, 2, "CreateEvent error: 8\n", 0},
        {"CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 1, 3, "CreateEvent for open error: 8\n", 1},
        {"CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 2, 3, "CreateEvent error: 8\n", 2},
        {"DeviceIoControl", ERROR_GEN_FAILURE, 0, 4, "IOCTL_SERIAL_PEER_OPEN_CONTROL fail, error=31\n", 3},
        {"DeviceIoControl", ERROR_GEN_FAILURE, 1, 5, "IOCTL_SERIAL_PEER_READ_CONTROL fail, error=31\n", 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.function) + " after " + std::to_string(c.skip));
        winsim::clear_calls();
        winsim::fail_next(c.function, c.error, 1, c.skip);
        vport *p = named("PDSTEP");
        EXPECT_EQ(vport_open(p), nullptr);
        EXPECT_EQ(p->read_pending, 0);
        std::string expected;
        for (size_t i = 0; i < c.lines_before; i++)
            expected += ok_lines[i];
        expected += c.failure;
        size_t at;
        while ((at = expected.find("=H\n")) != std::string::npos)
            expected.replace(at + 1, 1, ptr(p->hcom));
        EXPECT_EQ(logged(), expected);
        if (c.lines_before == 1) {
            EXPECT_EQ(p->hcom, INVALID_HANDLE_VALUE);
        }
        int events = (p->read_event != nullptr) + (p->open_overlapped.hEvent != nullptr) +
                     (p->write_overlapped.hEvent != nullptr);
        EXPECT_EQ(events, c.events);
        EXPECT_EQ(winsim::call_count("CloseHandle"), 0u) << "nothing is undone";
        vport_release(p);
        winsim::clear_faults();
    }
}

TEST_F(PortDevices, APortNameTooLongForTheDevicePathIsNeverOpened)
{
    std::string longest(250, 'L');  // "\\.\" and 250 characters fill the 255-byte path
    vport *p = named(longest);
    EXPECT_EQ(vport_open(p), nullptr);
    EXPECT_EQ(winsim::call_count("CreateFileA"), 1u);
    EXPECT_EQ(logged(), "will open \\\\.\\" + longest + "\nCreateFile fail\n");
    vport_release(p);

    std::string too_long(251, 'L');
    p = named(too_long);
    EXPECT_EQ(vport_open(p), nullptr);
    EXPECT_EQ(winsim::call_count("CreateFileA"), 1u) << "a cut path would name another device";
    EXPECT_EQ(logged(), "port name " + too_long + " is too long for a device path\n");
    vport_release(p);
}

// ------------------------------------------------------------------ open_port

TEST_F(PortDevices, TakingUpDevicesGivesChannelsInOrderAndSkipsUnreadableOnes)
{
    const std::string hw = "HardwareID = multi_sz \"Qor\\\\Vsp\\0\\0\"\n";
    seed_virtual_port(root, "ROOT#PORTS#0000", "PDA", "gw-a");
    seed_ports_device("ROOT#PORTS#0001", hw);  // no device key
    seed_ports_device("ROOT#PORTS#0002", hw + "value PortName = sz \"PDC\\0\"\n");
    seed_ports_device("ROOT#PORTS#0003", hw + "value QorGatewayID = sz \"gw-d\\0\"\n");
    seed_ports_device("ROOT#PORTS#0004", hw + "value PortName = sz \"" + std::string(300, 'E') +
                                             "\\0\"\nvalue QorGatewayID = sz \"g\\0\"\n");
    seed_ports_device("ROOT#PORTS#0005", hw + "value PortName = sz \"P5\\0\"\nvalue QorGatewayID = sz \"" +
                                             std::string(255, 'G') + "\\0\"\n");
    // Installed without a driver: its port cannot be opened.
    seed_ports_device("ROOT#PORTS#0006", hw + "value PortName = sz \"PDF\\0\"\nvalue QorGatewayID = sz \"gw-f\\0\"\n");
    seed_virtual_port(root, "ROOT#PORTS#0007", "PDG", "gw-g");

    EXPECT_EQ(act_on_each(open_port), (std::vector<int>{0, -1, -1, -1, -1, -1, 0, 0}));
    ASSERT_EQ(occupied(), 3);
    vport *a = vports[0], *f = vports[1], *g = vports[2];
    ASSERT_TRUE(a && f && g);
    EXPECT_STREQ(a->portname, "PDA");
    EXPECT_STREQ(a->gateway_id, "gw-a");
    EXPECT_EQ(a->read_pending, 1);
    EXPECT_EQ(a->rx_frame[0], 0);
    EXPECT_STREQ(f->portname, "PDF");
    EXPECT_STREQ(f->gateway_id, "gw-f");
    EXPECT_EQ(f->hcom, INVALID_HANDLE_VALUE);
    EXPECT_EQ(f->read_pending, 0) << "a port that did not open is never waited on";
    EXPECT_EQ(f->channel_id, 1);
    EXPECT_STREQ(g->portname, "PDG");
    EXPECT_EQ(g->channel_id, 2);
    EXPECT_EQ(g->rx_frame[0], 2);

    char key_error[64];
    snprintf(key_error, sizeof key_error, "SetupDiOpenDevRegKey fail, error_code=%u\n",
             (unsigned)ERROR_KEY_DOES_NOT_EXIST);
    EXPECT_EQ(logged(), "open_port: PDA ----- gw-a\n" + open_lines("PDA", a->hcom) + key_error +
                            // no line for the missing gateway ID
                            "RegQueryValueEx fail for PortName: 2\n"
                            "RegQueryValueEx fail for PortName: 234\n"
                            "open_port: port name or gateway ID longer than 254 characters, device skipped\n"
                            "open_port: PDF ----- gw-f\nwill open \\\\.\\PDF\nCreateFile fail\n"
                            "open_port: PDG ----- gw-g\n" +
                            open_lines("PDG", g->hcom));
    // Every key that was opened is closed again.
    EXPECT_EQ(winsim::call_count("RegCloseKey"), 7u);
}

TEST_F(PortDevices, ADeviceTakenUpIntoAFullTableIsClosedAgain)
{
    for (int i = 0; i <= VPORTS_LAST_CHANNEL; i++)
        ASSERT_EQ(vports_add(named("filler")), i);
    seed_virtual_port(root, "ROOT#PORTS#0000", "PDFULL", "gw");
    EXPECT_EQ(act_on_each(open_port), (std::vector<int>{0}));
    EXPECT_EQ(occupied(), VPORTS_LAST_CHANNEL + 1);
    EXPECT_EQ(vports_find_by_channel_id(255), nullptr);
    std::string out = logged();
    EXPECT_NE(out.find("IOCTL_SERIAL_PEER_READ_CONTROL OK\nopen_port: no free channel for port PDFULL, closed\n"),
              std::string::npos)
        << out;
    // Its device handle and three events; the pending READ was ended first.
    EXPECT_EQ(winsim::call_count("CloseHandle"), 4u);
    EXPECT_EQ(winsim::call_count("CancelIoEx"), 1u);
}

// A user without administrator rights may read a device's hardware key but not write
// it: taking up and listing ports asks for reading only, the removal walk for more.
TEST_F(PortDevices, AKeyReadableOnlyServesTakingUpAndListingButStopsTheRemovalWalk)
{
    seed_virtual_port(root, "ROOT#PORTS#0000", "PDRO", "gw-r");
    write_file(root + "/devices/ROOT#PORTS#0000.device", device_file("ROOT#PORTS#0000") + "devkey = read-only\n");
    EXPECT_EQ(act_on_each(open_port), (std::vector<int>{0}));
    ASSERT_NE(vports[0], nullptr);
    EXPECT_EQ(vports[0]->read_pending, 1);
    EXPECT_EQ(act_on_each(add_system_port), (std::vector<int>{0}));
    std::string out = logged();
    EXPECT_NE(out.find("open_port: PDRO ----- gw-r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("PortName(PDRO), SPDRP_FRIENDLYNAME: "), std::string::npos) << out;

    EXPECT_FALSE(enum_ports("Qor\\Vsp", "PDRO", remove_one_port));
    EXPECT_EQ(logged(), "SetupDiOpenDevRegKey fail\n");
    EXPECT_TRUE(device_exists("ROOT#PORTS#0000"));
}

// ------------------------------------------------------------------ enum_ports

TEST_F(PortDevices, AWalkWithoutFiltersGivesEveryPresentPortsDeviceToTheAction)
{
    EXPECT_TRUE(enum_ports(nullptr, nullptr, note_device));
    EXPECT_TRUE(met.empty());
    EXPECT_EQ(logged(), "");

    seed_ports_device("A#1#1", "DeviceDesc = sz \"with name\\0\"\nvalue PortName = sz \"COM1\\0\"\n");
    seed_ports_device("A#1#2", "DeviceDesc = sz \"no key\\0\"\n");
    seed_ports_device("A#1#3", "present = no\nDeviceDesc = sz \"absent\\0\"\nvalue PortName = sz \"COM3\\0\"\n");
    seed_device(root, "A#1#4",
                "class = {4D36E972-E325-11CE-BFC1-08002BE10318}\nDeviceDesc = sz \"other class\\0\"\n"
                "value PortName = sz \"COM4\\0\"\n");
    seed_ports_device("A#1#5", "DeviceDesc = sz \"key without name\\0\"\ndevkey = yes\n");
    met_result = -1;  // a failing action does not stop the walk
    winsim::clear_calls();
    EXPECT_TRUE(enum_ports(nullptr, nullptr, note_device));
    EXPECT_EQ(met, (std::vector<std::string>{"with name", "no key", "key without name"}));
    EXPECT_EQ(met_hardware_id, nullptr);
    EXPECT_EQ(met_port_name, nullptr);
    EXPECT_EQ(logged(), "") << "the walk itself reads and logs nothing";
    EXPECT_EQ(winsim::call_count("SetupDiOpenDevRegKey"), 0u);
    EXPECT_EQ(winsim::call_count("SetupDiDestroyDeviceInfoList"), 1u);

    met.clear();
    winsim::clear_calls();
    winsim::fail_next("SetupDiGetClassDevsExA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(enum_ports(nullptr, nullptr, note_device));
    EXPECT_TRUE(met.empty());
    EXPECT_EQ(logged(), "SetupDiGetClassDevsEx fail\n");
    EXPECT_EQ(winsim::call_count("SetupDiDestroyDeviceInfoList"), 0u);
}

TEST_F(PortDevices, ThePortNameFilterIsExactAndCaseSensitiveAndComesFirst)
{
    const std::string hw = "HardwareID = multi_sz \"Qor\\\\Vsp\\0\\0\"\n";
    seed_ports_device("A#1#1", hw + "DeviceDesc = sz \"d1\\0\"\nvalue PortName = sz \"PDN1\\0\"\n");
    seed_ports_device("A#1#2", hw + "DeviceDesc = sz \"d2\\0\"\nvalue PortName = sz \"pdn1\\0\"\n");
    // A name stored without its NUL is the same name.
    seed_ports_device("A#1#3", hw + "DeviceDesc = sz \"d3\\0\"\nvalue PortName = sz \"PDN1\"\n");
    seed_ports_device("A#1#4", hw + "DeviceDesc = sz \"d4\\0\"\nvalue PortName = sz \"PDN10\\0\"\n");
    seed_ports_device("A#1#5", "HardwareID = multi_sz \"Other\\0\\0\"\nDeviceDesc = sz \"d5\\0\"\n"
                               "value PortName = sz \"PDN1\\0\"\n");

    const char *name = "PDN1";
    EXPECT_TRUE(enum_ports(nullptr, name, note_device));
    EXPECT_EQ(met, (std::vector<std::string>{"d1", "d3", "d5"}));
    EXPECT_EQ(met_port_name, name);
    EXPECT_EQ(logged(), "PDN1\npdn1\nPDN1\nPDN10\nPDN1\n");

    met.clear();
    winsim::clear_calls();
    const char *hardware_id = VSP_HARDWARE_ID;
    EXPECT_TRUE(enum_ports(hardware_id, name, note_device));
    EXPECT_EQ(met, (std::vector<std::string>{"d1", "d3"}));
    EXPECT_EQ(met_hardware_id, hardware_id);
    // Hardware IDs are read only for the three devices whose name matched; the other
    // two reads are the action's own.
    EXPECT_EQ(winsim::call_count("SetupDiGetDeviceRegistryPropertyA"), 3u + met.size());
    EXPECT_EQ(winsim::call_count("RegCloseKey"), 5u);
    logged();

    // A device that cannot be read ends the walk before the wanted one.
    std::string fresh = fresh_root();
    root = fresh;
    seed_ports_device("A#1#0", hw + "DeviceDesc = sz \"no key\\0\"\n");
    seed_ports_device("A#1#1", hw + "DeviceDesc = sz \"wanted\\0\"\nvalue PortName = sz \"PDN1\\0\"\n");
    met.clear();
    EXPECT_FALSE(enum_ports(hardware_id, name, note_device));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_KEY_DOES_NOT_EXIST) << "callers report the failing call's error";
    EXPECT_TRUE(met.empty());
    EXPECT_EQ(logged(), "SetupDiOpenDevRegKey fail\n");

    seed_ports_device("A#1#0", hw + "DeviceDesc = sz \"no name\\0\"\nvalue QorGatewayID = sz \"g\\0\"\n");
    winsim::clear_calls();
    EXPECT_FALSE(enum_ports(hardware_id, name, note_device));
    EXPECT_TRUE(met.empty());
    EXPECT_EQ(logged(), "RegQueryValueEx fail for PortName: 2\n");
    EXPECT_EQ(winsim::call_count("RegCloseKey"), 1u);
    EXPECT_EQ(winsim::call_count("SetupDiDestroyDeviceInfoList"), 1u);

    // With the hardware-ID filter alone the same device is no obstacle.
    EXPECT_TRUE(enum_ports(hardware_id, nullptr, note_device));
    EXPECT_EQ(met, (std::vector<std::string>{"no name", "wanted"}));
    EXPECT_EQ(logged(), "");
}

TEST_F(PortDevices, TheHardwareIdFilterLooksAtTheFirstIdOnly)
{
    auto device = [&](const std::string &file, const std::string &desc, const std::string &ids) {
        std::string lines = "DeviceDesc = sz \"" + desc + "\\0\"\n";
        if (!ids.empty())
            lines += "HardwareID = multi_sz \"" + ids + "\"\n";
        seed_ports_device(file, lines);
    };
    device("A#1#0", "exact, no key", "Qor\\\\Vsp\\0\\0");
    device("A#1#1", "small letters", "qor\\\\vsp\\0\\0");
    device("A#1#2", "longer", "Qor\\\\Vsp2\\0\\0");
    device("A#1#3", "second place", "Other\\0Qor\\\\Vsp\\0\\0");
    device("A#1#4", "first of two", "Qor\\\\Vsp\\0Other\\0\\0");
    device("A#1#5", "without NULs", "Qor\\\\Vsp");
    // A list that fills the whole 1024-byte buffer.
    device("A#1#6", "full buffer", "Qor\\\\Vsp\\0" + std::string(1014, 'X') + "\\0\\0");
    device("A#1#7", "no hardware IDs", "");
    device("A#1#8", "after the failure", "Qor\\\\Vsp\\0\\0");

    EXPECT_FALSE(enum_ports(VSP_HARDWARE_ID, nullptr, note_device));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
    EXPECT_EQ(met, (std::vector<std::string>{"exact, no key", "first of two", "without NULs", "full buffer"}))
        << "what the actions did before the failure stands";
    EXPECT_EQ(logged(), "SetupDiGetDeviceRegistryProperty fail\n");
    EXPECT_EQ(winsim::call_count("SetupDiOpenDevRegKey"), 0u);
}

// ------------------------------------------------------------------ remove_one_port

TEST_F(PortDevices, RemovingADeviceNodeAndItsTwoFailures)
{
    seed_virtual_port(root, "ROOT#PORTS#0000", "PDR1", "gw");
    seed_virtual_port(root, "ROOT#PORTS#0001", "PDR2", "gw");
    seed_virtual_port(root, "ROOT#PORTS#0002", "PDR3", "gw");

    EXPECT_TRUE(enum_ports(VSP_HARDWARE_ID, "PDR1", remove_one_port));
    EXPECT_EQ(logged(), "PDR1\nwill remove one port: PDR1\nremove ok\nPDR2\nPDR3\n");
    EXPECT_FALSE(device_exists("ROOT#PORTS#0000"));
    EXPECT_TRUE(device_exists("ROOT#PORTS#0001"));

    // Refused parameters: the class installer is not asked.
    winsim::clear_calls();
    winsim::fail_next("SetupDiSetClassInstallParamsA", ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(enum_ports(VSP_HARDWARE_ID, "PDR2", remove_one_port)) << "the action's failure is not the walk's";
    EXPECT_EQ(logged(), "PDR2\nwill remove one port: PDR2\nremove fail: error_code=87\nPDR3\n");
    EXPECT_EQ(winsim::call_count("SetupDiCallClassInstaller"), 0u);
    EXPECT_TRUE(device_exists("ROOT#PORTS#0001"));

    // The class installer refuses; its error is printed signed.
    winsim::fail_next("SetupDiCallClassInstaller", ERROR_NO_SUCH_DEVINST);
    EXPECT_EQ(act_on_each(remove_one_port, VSP_HARDWARE_ID, "PDR2"), (std::vector<int>{-1, 0}));
    EXPECT_EQ(logged(), "will remove one port: PDR2\nremove fail: error_code=-536870389\n"
                        "will remove one port: PDR2\nremove ok\n");
    EXPECT_EQ(device_count(), 1u);

    // Without a port-name filter the name in the line is empty.
    EXPECT_EQ(act_on_each(remove_one_port), (std::vector<int>{0}));
    EXPECT_EQ(logged(), "will remove one port: \nremove ok\n");
    EXPECT_EQ(device_count(), 0u);
}

// ------------------------------------------------------------------ create_port

TEST_F(PortDevices, CreatingAPortInstallsADeviceAndTakesTheLowestFreeChannel)
{
    seed_driver_package(root);
    ASSERT_EQ(vports_add(named("taken0")), 0);
    ASSERT_EQ(vports_add(named("taken1")), 1);
    char error_text[VSP_ERROR_TEXT_SIZE] = "left alone";

    winsim::clear_calls();
    vport *p = create_port("PDC7", "gw-7", error_text);
    ASSERT_NE(p, nullptr) << logged();
    EXPECT_STREQ(error_text, "left alone");
    EXPECT_EQ(vports[2], p);
    EXPECT_EQ(p->channel_id, 2);
    EXPECT_EQ(p->rx_frame[0], 2);
    EXPECT_STREQ(p->portname, "PDC7");
    EXPECT_STREQ(p->gateway_id, "gw-7");
    EXPECT_EQ(p->read_pending, 1);
    EXPECT_EQ(logged(), "SetupDiCreateDevRegKey OK\n"
                        "RegSetValueEx for PortName(PDC7)  OK: 0\n"
                        "RegSetValueEx OK for GatewayID(gw-7) : 0\n"
                        "DiInstallDevice rt=1\n" +
                            open_lines("PDC7", p->hcom));
    std::string node = device_file("ROOT#PORTS#0000");
    EXPECT_NE(node.find("HardwareID = multi_sz \"Qor\\\\Vsp\\0\\0\"\n"), std::string::npos) << node;
    EXPECT_NE(node.find("value PortName = sz \"PDC7\\0\"\n"), std::string::npos) << node;
    EXPECT_NE(node.find("value QorGatewayID = sz \"gw-7\\0\"\n"), std::string::npos) << node;
    EXPECT_NE(node.find("driver = oem0.inf\n"), std::string::npos) << node;

    // The key is written and closed before the installation; the set goes last.
    std::vector<std::string> order;
    for (auto &c : winsim::calls())
        if (c.function.rfind("SetupDi", 0) == 0 || c.function.rfind("Reg", 0) == 0 ||
            c.function == "DiInstallDevice")
            order.push_back(c.function);
    // The names of the present ports are looked at before anything is made.
    EXPECT_EQ(order, (std::vector<std::string>{"SetupDiGetClassDevsExA", "SetupDiEnumDeviceInfo",
                                               "SetupDiDestroyDeviceInfoList", "SetupDiCreateDeviceInfoList",
                                               "SetupDiCreateDeviceInfoA",
                                               "SetupDiSetDeviceRegistryPropertyA", "SetupDiCallClassInstaller",
                                               "SetupDiCreateDevRegKeyA", "RegSetValueExA", "RegSetValueExA",
                                               "RegCloseKey", "DiInstallDevice", "SetupDiDestroyDeviceInfoList"}));

    // A freed slot is taken again; the same gateway ID makes a second device node, and
    // an empty one is stored as the NUL alone.
    vports_remove(vports[0]);
    vport *q = create_port("PDC8", "gw-7", error_text);
    ASSERT_NE(q, nullptr) << logged();
    EXPECT_EQ(q->channel_id, 0);
    vport *r = create_port("PDC9", "", error_text);
    ASSERT_NE(r, nullptr) << logged();
    EXPECT_EQ(r->channel_id, 3);
    EXPECT_NE(device_file("ROOT#PORTS#0001").find("value QorGatewayID = sz \"gw-7\\0\"\n"), std::string::npos);
    EXPECT_NE(device_file("ROOT#PORTS#0002").find("value QorGatewayID = sz \"\\0\"\n"), std::string::npos);
    EXPECT_EQ(device_count(), 3u);
}

TEST_F(PortDevices, EachFailingStepOfCreationIsLoggedAndReportedWithTheSystemText)
{
    struct Case {
        const char *function;  // nullptr: no package to install
        DWORD error;
        unsigned skip;
        std::string line;
        const char *text;
        bool registered;  // the failure comes after the device node was registered
    } cases[] = {
        {"SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY, 0, "SetupDiCreateDeviceInfoList fail, error_code=8\n",
         "Not enough memory resources are available to process this command.\r\n", false},
        {"SetupDiCreateDeviceInfoA", ERROR_INVALID_DEVINST_NAME, 0,
         "SetupDiCreateDeviceInfo fail, error_code=3758096901\n", "The device instance name is invalid.\r\n", false},
        {"SetupDiSetDeviceRegistryPropertyA", ERROR_INVALID_REG_PROPERTY, 0,
         "SetupDiSetDeviceRegistryProperty fail, error_code=3758096905\n",
         "The device registry property is invalid.\r\n", false},
        {"SetupDiCallClassInstaller", ERROR_DEVINST_ALREADY_EXISTS, 0,
         "SetupDiCallClassInstaller DIF_REGISTERDEVICE fail, error_code=3758096903\n",
         "The device instance cannot be created because it already exists.\r\n", false},
        {"SetupDiCreateDevRegKeyA", ERROR_ACCESS_DENIED, 0, "SetupDiCreateDevRegKey fail, error_code=5\n",
         "Access is denied.\r\n", true},
        {nullptr, 0, 0, "DiInstallDevice rt=0\n",
         "There is no driver selected for the device information set or element.\r\n", true},
        {"CreateFileA", ERROR_ACCESS_DENIED, 0, "CreateFile fail\n", "Access is denied.\r\n", true},
        {"CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 0, "CreateEvent error: 8\n",
         "Not enough memory resources are available to process this command.\r\n", true},
        {"DeviceIoControl", ERROR_GEN_FAILURE, 0, "IOCTL_SERIAL_PEER_OPEN_CONTROL fail, error=31\n",
         "A device attached to the system is not functioning.\r\n", true},
        {"DeviceIoControl", ERROR_GEN_FAILURE, 1, "IOCTL_SERIAL_PEER_READ_CONTROL fail, error=31\n",
         "A device attached to the system is not functioning.\r\n", true},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        root = fresh_root();
        if (c.function)
            seed_driver_package(root);
        winsim::clear_calls();
        if (c.function)
            winsim::fail_next(c.function, c.error, 1, c.skip);
        char error_text[VSP_ERROR_TEXT_SIZE] = "";
        std::string name = "PDE" + std::to_string(n++);
        EXPECT_EQ(create_port(name.c_str(), "gw", error_text), nullptr);
        std::string out = logged();
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        // A registered node is taken out again, and the answer still names the step
        // that failed, not the removal.
        std::string removal = "will remove one port: " + name + "\nremove ok\n";
        EXPECT_EQ(out.find(removal) != std::string::npos, c.registered) << out;
        EXPECT_STREQ(error_text, c.text);
        EXPECT_EQ(occupied(), 0) << "no channel is taken";
        EXPECT_EQ(device_count(), 0u);
        EXPECT_EQ(winsim::port_terminal(name.c_str()), "") << "the driver serves no port for it";
        // The creation's set is released, and the text read after that.
        auto calls = winsim::calls();
        size_t created_at = calls.size(), destroyed = 0, destroy_at = 0, text_at = 0;
        for (size_t i = 0; i < calls.size(); i++) {
            if (calls[i].function == "SetupDiCreateDeviceInfoList" && created_at == calls.size())
                created_at = i;
            if (calls[i].function == "SetupDiDestroyDeviceInfoList" && i > created_at)
                destroyed++, destroy_at = i;
            if (calls[i].function == "FormatMessageA")
                text_at = i;
        }
        EXPECT_EQ(destroyed, c.line.rfind("SetupDiCreateDeviceInfoList", 0) == 0 ? 0u : 1u);
        EXPECT_GT(text_at, destroy_at);
        winsim::clear_faults();
    }
}

TEST_F(PortDevices, ANodeThatCannotBeTakenOutAgainStaysAndTheAnswerNamesTheFailedStep)
{
    // No package: the installation fails; then the class installer refuses the removal.
    winsim::fail_next("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, 1, 1);
    char error_text[VSP_ERROR_TEXT_SIZE] = "";
    EXPECT_EQ(create_port("PDK1", "gw", error_text), nullptr);
    std::string out = logged();
    EXPECT_NE(out.find("DiInstallDevice rt=0\nwill remove one port: PDK1\nremove fail: error_code=5\n"),
              std::string::npos)
        << out;
    EXPECT_STREQ(error_text, "There is no driver selected for the device information set or element.\r\n");
    EXPECT_EQ(device_count(), 1u);
}

TEST_F(PortDevices, ANameThatAPresentPortCarriesInAnyLetterCaseIsRefused)
{
    seed_driver_package(root);
    char error_text[VSP_ERROR_TEXT_SIZE] = "";
    vport *p = create_port("PDN7", "gw-1", error_text);
    ASSERT_NE(p, nullptr) << logged();
    logged();
    // A real port of the machine, and a device of the class without any port name.
    seed_ports_device("ACPI#PNP0501#1", "value PortName = sz \"COM1\\0\"\n");
    seed_ports_device("ROOT#NONAME#0000", "DeviceDesc = sz \"no name\\0\"\n");

    struct Case {
        const char *name, *taken;
    } cases[] = {{"PDN7", "PDN7"}, {"pdn7", "PDN7"}, {"com1", "COM1"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        winsim::clear_calls();
        strcpy(error_text, "");
        EXPECT_EQ(create_port(c.name, "gw-2", error_text), nullptr);
        std::string reason = std::string("port name ") + c.name + " is already taken by the present port " + c.taken;
        EXPECT_EQ(error_text, reason);
        EXPECT_EQ(logged(), "create_port refused: " + reason + "\n");
        EXPECT_EQ(winsim::call_count("SetupDiCreateDeviceInfoList"), 0u) << "nothing is created";
    }
    EXPECT_EQ(device_count(), 3u);
    EXPECT_EQ(occupied(), 1);

    // A name that only begins like a taken one is free; a port no longer present frees
    // its name.
    vport *q = create_port("PDN70", "gw-3", error_text);
    EXPECT_NE(q, nullptr) << logged();
    seed_ports_device("ACPI#PNP0501#1", "present = no\nvalue PortName = sz \"COM1\\0\"\n");
    EXPECT_NE(create_port("COM1", "gw-4", error_text), nullptr) << logged();

    // When the present ports cannot be listed, the name cannot be known to be free.
    logged();
    winsim::fail_next("SetupDiGetClassDevsExA", ERROR_NOT_ENOUGH_MEMORY);
    strcpy(error_text, "");
    EXPECT_EQ(create_port("PDN9", "gw-5", error_text), nullptr);
    EXPECT_STREQ(error_text, "Not enough memory resources are available to process this command.\r\n");
    EXPECT_EQ(logged(), "create_port refused: the present ports cannot be listed, error_code=8\n");
    EXPECT_EQ(occupied(), 3);
}

TEST_F(PortDevices, AFailedWriteOfARegistryValueDoesNotFailTheCreation)
{
    seed_driver_package(root);
    char error_text[VSP_ERROR_TEXT_SIZE] = "";
    // Without its PortName value the device gets no port from the installation; this
    // one's port already exists.
    ASSERT_TRUE(winsim::port_start("PDW1"));
    winsim::fail_next("RegSetValueExA", ERROR_ACCESS_DENIED);
    vport *p = create_port("PDW1", "gw-1", error_text);
    std::string out = logged();
    ASSERT_NE(p, nullptr) << out;
    EXPECT_EQ(p->channel_id, 0);
    EXPECT_NE(out.find("SetupDiCreateDevRegKey OK\nRegSetValueEx for PortName(PDW1) fail: 5\n"
                       "RegSetValueEx OK for GatewayID(gw-1) : 0\nDiInstallDevice rt=1\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(device_file("ROOT#PORTS#0000").find("PortName"), std::string::npos);

    winsim::fail_next("RegSetValueExA", ERROR_ACCESS_DENIED, 1, 1);
    p = create_port("PDW2", "gw-2", error_text);
    out = logged();
    ASSERT_NE(p, nullptr) << out;
    EXPECT_EQ(p->channel_id, 1);
    EXPECT_NE(out.find("RegSetValueEx for PortName(PDW2)  OK: 0\nRegSetValueEx fail  for GatewayID(gw-2) : 5\n"
                       "DiInstallDevice rt=1\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(device_file("ROOT#PORTS#0001").find("QorGatewayID"), std::string::npos);
    EXPECT_STREQ(error_text, "");
}

TEST_F(PortDevices, RequestsThatCouldNeverBeServedAreRefusedBeforeAnythingIsCreated)
{
    seed_driver_package(root);
    char error_text[VSP_ERROR_TEXT_SIZE];
    struct Case {
        std::string name, gateway;
        const char *reason;
    } cases[] = {
        {std::string(251, 'N'), "gw", "port name is longer than 250 characters"},
        {"PDLONG", std::string(255, 'G'), "gateway ID is longer than 254 characters"},
    };
    for (const Case &c : cases) {
        strcpy(error_text, "");
        EXPECT_EQ(create_port(c.name.c_str(), c.gateway.c_str(), error_text), nullptr);
        EXPECT_STREQ(error_text, c.reason);
        EXPECT_EQ(logged(), std::string("create_port refused: ") + c.reason + "\n");
    }
    EXPECT_EQ(winsim::call_count("SetupDiCreateDeviceInfoList"), 0u);
    EXPECT_EQ(device_count(), 0u);

    // The longest names that are taken.
    std::string gateway(254, 'G');
    vport *p = create_port("PDLONG", gateway.c_str(), error_text);
    ASSERT_NE(p, nullptr) << logged();
    EXPECT_EQ(p->gateway_id, gateway);
    std::string name(250, 'N');
    vport *q = create_port(name.c_str(), "gw", error_text);
    ASSERT_NE(q, nullptr) << logged();
    EXPECT_EQ(q->portname, name);
    EXPECT_EQ(winsim::call_count("SetupDiCreateDeviceInfoList"), 2u);
    logged();

    // Every channel taken: no device is made and no record is left behind.
    for (int i = 2; i <= VPORTS_LAST_CHANNEL; i++)
        ASSERT_EQ(vports_add(named("filler")), i);
    size_t devices = device_count();
    size_t handles = winsim::open_handle_count();
    winsim::clear_calls();
    strcpy(error_text, "");
    EXPECT_EQ(create_port("PDFULL2", "gw", error_text), nullptr);
    EXPECT_STREQ(error_text, "no free channel: every channel has a port");
    EXPECT_EQ(logged(), "create_port refused: no free channel: every channel has a port\n");
    EXPECT_EQ(winsim::call_count("SetupDiCreateDeviceInfoList"), 0u);
    EXPECT_EQ(device_count(), devices);
    EXPECT_EQ(winsim::open_handle_count(), handles);
    EXPECT_EQ(occupied(), VPORTS_LAST_CHANNEL + 1);
}

TEST_F(PortDevices, TheErrorTextIsWrittenOnlyWhenTheSystemHasOne)
{
    char buf[VSP_ERROR_TEXT_SIZE] = "kept";
    EXPECT_EQ(system_message(0, buf), 0u);
    EXPECT_STREQ(buf, "kept");

    // A failure whose code has no text in the system's table leaves the buffer too.
    winsim::fail_next("SetupDiCreateDeviceInfoList", 0x2000ABCD);
    EXPECT_EQ(create_port("PDNOTEXT", "gw", buf), nullptr);
    EXPECT_STREQ(buf, "kept");
    EXPECT_EQ(logged(), "SetupDiCreateDeviceInfoList fail, error_code=536914893\n");
}

}  // namespace
