// The binding build of the service, in process against the stand-in: where it takes
// another course than portbridge (its own hardware ID, walks that skip what they cannot
// read, answers without texts, create and remove that report success), and the
// operations it carries that nothing in it calls.
#include <unistd.h>

#include <filesystem>

#include "addon/binding/binding.h"
#include "addon/identity.h"
#include "service_fixture.h"

using namespace e2e;

namespace {

const std::string kUmdfId = "UMDF\\VirtualSerial2um";
const std::string kBeginInit = "-------------- begin vports_init ------------------\n";
const std::string kEndInit = "-------------- end vports_init ---------------------\n";

class Binding : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        vports_clear();
        logged();
    }

    // Everything logged since the last call, up to a marker written now.
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

    void serve()
    {
        start();
        ASSERT_TRUE(client.connect(root));
        ASSERT_NE(wait_client(seen), std::string::npos) << log.text();
    }

    // Sends a request and returns its answer; `handled` gets what was logged from the
    // request's arrival up to the answer's arrival.
    std::string ask(const std::string &msg_id, const std::string &body, std::string *handled = nullptr)
    {
        std::string text = request(msg_id, body);
        size_t from = log.text().size();
        if (!client.send_json(text))
            return "<not sent>";
        auto got = client.recv_json();
        if (handled) {
            size_t start = log.wait_for("get msg: " + text + "\n", from);
            size_t next = log.wait_for("set_events, ", start);
            *handled = start == std::string::npos || next == std::string::npos
                           ? "<not logged>"
                           : log.text().substr(start, next - start - 12);
        }
        return got.value_or("<no answer>");
    }

    void seed_umdf_port(const std::string &file, const std::string &name, const std::string &gateway)
    {
        seed_virtual_port(root, file, name, gateway, kUmdfId, "oem1.inf");
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

    PipeClient client;
    size_t seen = 0;
};

// ------------------------------------------------------------------ start-up walk

TEST_F(Binding, StartUpSkipsUnreadableDevicesTakesOnlyItsOwnPortsAndAlwaysLogsTheEnd)
{
    seed_driver_package(root, "oem1.inf", umdf_driver_package());
    seed_umdf_port("ROOT#PORTS#0000", "BU0", "gw0");  // its hardware IDs will not read
    seed_virtual_port(root, "ROOT#PORTS#0001", "QV1", "gw1");
    seed_device(root, "ROOT#PORTS#0002", kPortsClass + "HardwareID = multi_sz \"UMDF\\\\VirtualSerial2um\\0\\0\"\n");
    seed_umdf_port("ROOT#PORTS#0003", "BU3", "gw3");

    winsim::fail_next("SetupDiGetDeviceRegistryPropertyA", ERROR_INVALID_DATA);
    vports_init();
    ASSERT_NE(vports[0], nullptr);
    EXPECT_STREQ(vports[0]->portname, "BU3");
    EXPECT_STREQ(vports[0]->gateway_id, "gw3");
    EXPECT_EQ(vports[0]->read_pending, 1) << "the port's device was opened and its read armed";
    EXPECT_EQ(vports[1], nullptr) << "a Qor\\Vsp device is no port of binding's";
    EXPECT_EQ(logged(), kBeginInit +
                            "SetupDiGetDeviceRegistryProperty fail\n"
                            // the key of the device without one, without its error code
                            "SetupDiOpenDevRegKey fail\n"
                            "open_port: BU3 ----- gw3\n" +
                            open_lines("BU3", vports[0]->hcom) + kEndInit);
    vports_remove(vports[0]);

    // A walk that cannot even list the devices still ends with the end line.
    winsim::fail_next("SetupDiGetClassDevsExA", ERROR_INVALID_DATA);
    vports_init();
    EXPECT_EQ(logged(), kBeginInit + "SetupDiGetClassDevsEx fail\n" + kEndInit);
}

// Device keys are opened for writing too: a key that the user may only read is a
// device that can be neither taken up nor listed.
TEST_F(Binding, ADeviceWhoseKeyIsReadableOnlyIsNeitherTakenUpNorListed)
{
    seed_driver_package(root, "oem1.inf", umdf_driver_package());
    seed_umdf_port("ROOT#PORTS#0000", "BRO", "gw");
    write_file(root + "/devices/ROOT#PORTS#0000.device", device_file("ROOT#PORTS#0000") + "devkey = read-only\n");
    vports_init();
    EXPECT_EQ(vports[0], nullptr);
    EXPECT_EQ(logged(), kBeginInit + "SetupDiOpenDevRegKey fail\n" + kEndInit);
    EXPECT_TRUE(enum_ports(NULL, NULL, add_system_port));
    EXPECT_EQ(logged(), "SetupDiOpenDevRegKey fail\n");
    EXPECT_TRUE(list_vports(kUmdfId.c_str()));
    EXPECT_EQ(logged(), "SetupDiOpenDevRegKey fail\n");
}

// ------------------------------------------------------------------ control messages

TEST_F(Binding, CreatingAPortMakesAUmdfDeviceAndAnswersWithoutText)
{
    seed_driver_package(root, "oem0.inf", umdf_driver_package());
    serve();

    std::string handled;
    EXPECT_EQ(ask("create_port_req", create_body("gw-a", "BCA"), &handled), created(0));
    ASSERT_NE(vports[0], nullptr);
    std::string node = device_file("ROOT#PORTS#0000");
    EXPECT_NE(node.find("HardwareID = multi_sz \"UMDF\\\\VirtualSerial2um\\0\\0\"\n"), std::string::npos) << node;
    EXPECT_NE(node.find("value PortName = sz \"BCA\\0\"\n"), std::string::npos) << node;
    EXPECT_NE(node.find("driver = oem0.inf\n"), std::string::npos) << node;
    EXPECT_EQ(handled, "get msg: create_port_req\n"
                       "SetupDiCreateDevRegKey OK\n"
                       "RegSetValueEx for PortName(BCA)  OK: 0\n"
                       "RegSetValueEx OK for GatewayID(gw-a) : 0\n"
                       "DiInstallDevice rt=1\n" +
                           open_lines("BCA", vports[0]->hcom) +
                           "after install, SPDRP_FRIENDLYNAME: Virtual Serial Port (UMDF) (BCA), "
                           "SPDRP_DEVICEDESC: Virtual Serial Port (UMDF)\n");

    // A device that cannot be installed is still a port with a channel; it never opens.
    winsim::fail_next("DiInstallDevice", ERROR_NO_DRIVER_SELECTED);
    EXPECT_EQ(ask("create_port_req", create_body("gw-b", "BCB"), &handled), created(1));
    ASSERT_NE(vports[1], nullptr);
    EXPECT_EQ(vports[1]->read_pending, 0);
    EXPECT_NE(handled.find("DiInstallDevice rt=0\nwill open \\\\.\\BCB\nCreateFile fail\n"
                           "after install, SPDRP_FRIENDLYNAME: , SPDRP_DEVICEDESC: \n"),
              std::string::npos)
        << handled;

    // Without its device key the values are not written, and the port is still made.
    winsim::fail_next("SetupDiCreateDevRegKeyA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(ask("create_port_req", create_body("gw-c", "BCC"), &handled), created(2));
    EXPECT_NE(handled.find("SetupDiCreateDevRegKey fail\nDiInstallDevice rt=1\n"), std::string::npos) << handled;
    EXPECT_EQ(device_file("ROOT#PORTS#0002").find("value PortName"), std::string::npos);

    // A failure up to the registration makes nothing and is answered 1, without text.
    winsim::fail_next("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED);
    EXPECT_EQ(ask("create_port_req", create_body("gw-d", "BCD"), &handled), code_answer("create_port_resp", 1));
    EXPECT_EQ(handled, "get msg: create_port_req\nSetupDiCallClassInstaller DIF_REGISTERDEVICE fail\n");
    winsim::fail_next("SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ask("create_port_req", create_body("gw-d", "BCD"), &handled), code_answer("create_port_resp", 1));
    EXPECT_EQ(handled, "get msg: create_port_req\nSetupDiCreateDeviceInfoList fail\n");
    EXPECT_EQ(ask("create_port_req", "{\"portname\": \"BCD\"}"), code_answer("create_port_resp", 101));
    EXPECT_EQ(device_count(), 3u);
}

TEST_F(Binding, AFullChannelTableCreatesNothingAndAnswersOne)
{
    seed_driver_package(root, "oem0.inf", umdf_driver_package());
    serve();
    // The service waits on its pipe alone: the table can be filled under it.
    for (int i = 0; i <= VPORTS_LAST_CHANNEL; i++)
        ASSERT_EQ(vports_add(named("full" + std::to_string(i))), i);
    winsim::clear_calls();
    std::string handled;
    EXPECT_EQ(ask("create_port_req", create_body("gw", "BCF"), &handled), code_answer("create_port_resp", 1));
    EXPECT_EQ(handled, "get msg: create_port_req\ncreate_port refused: no free channel: every channel has a port\n");
    EXPECT_EQ(winsim::call_count("SetupDiCreateDeviceInfoList"), 0u);
    EXPECT_EQ(winsim::call_count("CreateFileA"), 0u) << "no device was opened for a port without a channel";
    EXPECT_EQ(device_count(), 0u);
}

TEST_F(Binding, ANameAnyPresentPortCarriesIsRefusedInAnyLetterCase)
{
    seed_driver_package(root, "oem0.inf");
    seed_virtual_port(root, "ROOT#PORTS#0000", "COM9", "gw-q");  // portbridge's, still a port
    serve();
    std::string handled;
    EXPECT_EQ(ask("create_port_req", create_body("gw", "com9"), &handled), code_answer("create_port_resp", 1));
    EXPECT_EQ(handled, "get msg: create_port_req\n"
                       "create_port refused: port name com9 is already taken by the present port COM9\n");
    EXPECT_EQ(device_count(), 1u);
}

TEST_F(Binding, RemovalAnswersZeroForAnyChannelAndTouchesOnlyItsOwnDevices)
{
    seed_driver_package(root, "oem0.inf");
    seed_driver_package(root, "oem1.inf", umdf_driver_package());
    // Same port name on a Qor\Vsp device and on binding's own.
    seed_virtual_port(root, "ROOT#PORTS#0000", "BRA", "gw-q");
    seed_umdf_port("ROOT#PORTS#0001", "BRA", "gw-u");
    seed_umdf_port("ROOT#PORTS#0002", "BRB", "gw-b");
    // Walked first, and unreadable in every way: passed over, not the walk's end.
    seed_device(root, "ACPI#PNP0501#1", kPortsClass);
    serve();
    ASSERT_NE(vports[0], nullptr);
    EXPECT_STREQ(vports[0]->gateway_id, "gw-u");

    std::string handled;
    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": 0}", &handled), code_answer("remove_port_resp", 0));
    EXPECT_NE(handled.find("will enum port(BRA) for remove\n"), std::string::npos) << handled;
    EXPECT_NE(handled.find("SetupDiOpenDevRegKey fail\n"), std::string::npos) << handled;
    EXPECT_NE(handled.find("will remove port: BRA\nremove ok\n"), std::string::npos) << handled;
    EXPECT_TRUE(device_exists("ROOT#PORTS#0000")) << "the Qor\\Vsp device stays";
    EXPECT_FALSE(device_exists("ROOT#PORTS#0001"));
    EXPECT_EQ(vports[0], nullptr);

    // No port on the channel: nothing is removed, and the answer is still 0.
    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": 7}", &handled), code_answer("remove_port_resp", 0));
    EXPECT_NE(handled.find("vports_find_by_channel_id(7) is " + ptr(nullptr) + "\n"), std::string::npos) << handled;
    EXPECT_EQ(handled.find("will enum port"), std::string::npos) << handled;
    EXPECT_EQ(ask("remove_port_req", "{}", &handled), code_answer("remove_port_resp", 101));
    EXPECT_NE(handled.find("can't get channel_id\n"), std::string::npos) << handled;

    // A device that cannot be removed, or a walk that fails, is not the answer's concern.
    winsim::fail_next("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED);
    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": 1}", &handled), code_answer("remove_port_resp", 0));
    EXPECT_NE(handled.find("will remove port: BRB\nremove fail 2\n"), std::string::npos) << handled;
    EXPECT_TRUE(device_exists("ROOT#PORTS#0002"));
    EXPECT_EQ(vports[1], nullptr);
}

TEST_F(Binding, StatusAnswersCarryCodesOnly)
{
    seed_driver_package(root, "oem1.inf", umdf_driver_package());
    seed_umdf_port("ROOT#PORTS#0000", "BSA", "gw");
    serve();
    EXPECT_EQ(ask("set_port_status_req", "{\"ports\": [{\"channel_id\": 0, \"port_status\": 1}]}"),
              code_answer("set_port_status_resp", 0));
    std::string handled;
    EXPECT_EQ(ask("set_port_status_req", "{\"ports\": [{\"channel_id\": 9, \"port_status\": 1}]}", &handled),
              code_answer("set_port_status_resp", 1));
    EXPECT_NE(handled.find("set_port_status fail: channel_id=9, status=1\n"), std::string::npos) << handled;
    EXPECT_EQ(ask("set_port_status_req", "{\"ports\": [{\"channel_id\": 0}]}"),
              code_answer("set_port_status_resp", 102));
}

TEST_F(Binding, PipeWritesLogOnlyTheirFailureAndWithoutALineEnd)
{
    serve();
    winsim::fail_next("WriteFile", ERROR_NO_DATA);
    ASSERT_TRUE(client.send_json(request("get_all_ports_req", "{}")));
    EXPECT_NE(log.wait_for("send_msg_to_app, WriteFile failset_events, events_count=1\n", seen),
              std::string::npos)
        << log.text();
    // The next answer arrives, and a write that succeeds logs nothing.
    EXPECT_EQ(ask("get_all_ports_req", "{}"), "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ ] } }");
    EXPECT_EQ(log.text().find("Write OK"), std::string::npos);
    EXPECT_EQ(log.text().find("error_no"), std::string::npos);
}

// ------------------------------------------------------------------ carried operations

TEST_F(Binding, FindingAPortByNameOrGatewayIsExactAndTakesTheLowestSlot)
{
    vport *ports[4] = {named("COM3", "gw-x"), named("COM4", "gw-x"), named("COM5", "gw-y"), named("com3", "gw-z")};
    vports[3] = ports[0];
    vports[5] = ports[1];
    vports[6] = ports[2];
    vports[9] = ports[3];
    EXPECT_EQ(vports_find_by_portname("COM3"), ports[0]) << "slots 0 to 2 are empty";
    EXPECT_EQ(vports_find_by_portname("com3"), ports[3]);
    EXPECT_EQ(vports_find_by_portname("Com3"), nullptr);
    EXPECT_EQ(vports_find_by_portname("COM"), nullptr);
    EXPECT_EQ(vports_find_by_portname(""), nullptr);
    EXPECT_EQ(vports_find_by_gateway_id("gw-x"), ports[0]);
    EXPECT_EQ(vports_find_by_gateway_id("gw-y"), ports[2]);
    EXPECT_EQ(vports_find_by_gateway_id("GW-Y"), nullptr);
    EXPECT_EQ(vports_find_by_gateway_id("COM5"), nullptr) << "the two fields are not mixed up";
    vports[3] = NULL;
    EXPECT_EQ(vports_find_by_gateway_id("gw-x"), ports[1]);
    EXPECT_EQ(vports_find_by_portname("COM3"), nullptr);
    vport_release(ports[0]);
}

TEST_F(Binding, ClosingAPortsHandleLeavesItsEventsAndSlot)
{
    seed_driver_package(root, "oem1.inf", umdf_driver_package());
    seed_umdf_port("ROOT#PORTS#0000", "BHA", "gw");
    vports_init();
    vport *port = vports[0];
    ASSERT_NE(port, nullptr);
    ASSERT_NE(port->hcom, nullptr);
    HANDLE events[3] = {port->read_event, port->open_overlapped.hEvent, port->write_overlapped.hEvent};
    winsim::clear_calls();
    vport_close_handle(port);
    EXPECT_EQ(port->hcom, nullptr);
    EXPECT_EQ(vports[0], port);
    EXPECT_EQ(port->read_event, events[0]);
    EXPECT_EQ(winsim::call_count("CloseHandle"), 1u);
    for (HANDLE e : events)
        EXPECT_TRUE(SetEvent(e)) << "the events are still open";
    // Nothing left to close, and no handle is no handle either.
    vport_close_handle(port);
    port->hcom = INVALID_HANDLE_VALUE;
    vport_close_handle(port);
    EXPECT_EQ(port->hcom, INVALID_HANDLE_VALUE);
    EXPECT_EQ(winsim::call_count("CloseHandle"), 1u);
    port->hcom = NULL;
}

TEST_F(Binding, ListingPortsLogsEachOfTheGivenHardwareIdAndGoesOnPastFailures)
{
    seed_driver_package(root, "oem1.inf", umdf_driver_package());
    seed_umdf_port("ROOT#PORTS#0000", "BLA", "gw-a");
    seed_virtual_port(root, "ROOT#PORTS#0001", "QLB", "gw-b");
    seed_device(root, "ROOT#PORTS#0002",
                kPortsClass + "HardwareID = multi_sz \"UMDF\\\\VirtualSerial2um\\0\\0\"\nvalue QorGatewayID = sz \"g\\0\"\n");
    seed_device(root, "ROOT#PORTS#0003",
                kPortsClass + "HardwareID = multi_sz \"UMDF\\\\VirtualSerial2um\\0\\0\"\nvalue PortName = sz \"BLD\\0\"\n");
    seed_device(root, "ROOT#PORTS#0004", kPortsClass + "HardwareID = multi_sz \"UMDF\\\\VirtualSerial2um\\0\\0\"\n");
    EXPECT_TRUE(list_vports(kUmdfId.c_str()));
    EXPECT_EQ(logged(), "list_ports: BLA ----- gw-a\n"
                        "RegQueryValueEx fail for PortName: 2\n"
                        "list_ports: BLD ----- \n"
                        "SetupDiOpenDevRegKey fail\n");
    EXPECT_EQ(winsim::call_count("RegCloseKey"), 3u) << "every key opened is closed";
    EXPECT_TRUE(list_vports("Qor\\Vsp"));
    EXPECT_EQ(logged(), "list_ports: QLB ----- gw-b\n");
    winsim::fail_next("SetupDiGetClassDevsExA", ERROR_INVALID_DATA);
    EXPECT_TRUE(list_vports(kUmdfId.c_str()));
    EXPECT_EQ(logged(), "SetupDiGetClassDevsEx fail\n");
}

TEST_F(Binding, ClosingThePipeClosesItEvenWhenTheDisconnectFails)
{
    app_comm_init();
    ASSERT_NE(pipe_handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(client.connect(root));
    logged();
    app_comm_close();
    EXPECT_EQ(logged(), "");
    EXPECT_TRUE(client.closed_by_peer());
    EXPECT_FALSE(CloseHandle(pipe_handle)) << "the handle was closed";

    app_comm_init();
    logged();
    winsim::fail_next("DisconnectNamedPipe", ERROR_INVALID_HANDLE);
    app_comm_close();
    EXPECT_EQ(logged(), "DisconnectNamedPipe failed with 6.\n");
    EXPECT_FALSE(CloseHandle(pipe_handle)) << "the handle was closed all the same";
    pipe_handle = NULL;
}

TEST_F(Binding, InstallingAnInfCopiesItIntoTheInfFolder)
{
    std::string dir = root + "/pkg";
    std::filesystem::create_directories(dir);
    write_file(dir + "/vserial2um.inf", umdf_driver_package());
    char before[1024];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);

    std::string path = "Z:" + dir + "/vserial2um.inf";
    for (char &c : path)
        if (c == '/')
            c = '\\';
    EXPECT_TRUE(install_inf(path.c_str()));
    EXPECT_EQ(logged(), "SetupCopyOEMInf ok, dest=oem0.inf\n");
    EXPECT_EQ(read_file(root + "/drive_c/windows/INF/oem0.inf"), umdf_driver_package());
    char after[1024];
    ASSERT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(after, before) << "the current directory is left alone";
    // The same package again is no failure: the system names the copy it has.
    EXPECT_TRUE(install_inf(path.c_str()));
    EXPECT_EQ(logged(), "SetupCopyOEMInf ok, dest=oem0.inf\n");

    std::string missing = "Z:" + dir + "\\none.inf";
    EXPECT_FALSE(install_inf(missing.c_str()));
    EXPECT_EQ(logged(), "SetupCopyOEMInf fail: 2\n");
    std::string too_long = "C:\\" + std::string(300, 'x') + ".inf";
    EXPECT_FALSE(install_inf(too_long.c_str()));
    EXPECT_EQ(logged(), "GetFullPathName for inf(" + too_long + ") fail\n");
}

}  // namespace
