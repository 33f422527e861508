// The binding module in a real node: its one function, and its ports served end to end
// by the stand-in's user-mode driver package; and portbridge leaving those ports alone.
#include <gtest/gtest.h>

#include "harness.h"

using namespace e2e;

namespace {

const size_t npos = std::string::npos;
const std::string kNoPorts = "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ ] } }";

size_t occurrences(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

// A node with binding loaded, hello called and `client` connected.
std::unique_ptr<NodeHost> start_binding(const std::string &root, PipeClient &client)
{
    auto node = std::make_unique<NodeHost>(root);
    node->load(binding_module_path());
    EXPECT_EQ(node->call("hello"), "\"world\"");
    EXPECT_TRUE(client.connect(root)) << node->output();
    return node;
}

}  // namespace

TEST(BindingModule, HelloAnswersWorldOnEveryCallAndStartsOneService)
{
    TempRoot root;
    NodeHost node(root.path);
    node.load(binding_module_path());
    ASSERT_NE(node.wait_for("exports: [\"hello\"]"), npos) << node.output();
    EXPECT_EQ(node.call("hello"), "\"world\"");
    size_t up = node.wait_for("now wait pipe client connect\n");
    ASSERT_NE(up, npos) << node.output();
    // Idle: waiting on its pipe, with nothing more to log until something happens.
    up = node.wait_for("set_events, events_count=1\n", up);
    ASSERT_NE(up, npos) << node.output();
    EXPECT_EQ(node.call("hello"), "\"world\"");
    EXPECT_EQ(node.call("hello"), "\"world\"");
    std::string out = node.output();
    EXPECT_EQ(occurrences(out, "begin vports_init"), 1u) << out;
    EXPECT_EQ(out.find("Mutex"), npos) << "binding makes no mutex";
    // Nothing but the results between the calls: hello itself logs nothing.
    EXPECT_NE(out.find("result hello: \"world\"\nresult hello: \"world\"\n", up), npos) << out;
    // The service came up as portbridge's does.
    PipeClient client;
    ASSERT_TRUE(client.connect(root.path));
    EXPECT_EQ(client.ask("get_all_ports_req", "{}"), kNoPorts);
}

TEST(BindingModule, ItsPortsCarryDataAndProgramEventsWhilePortbridgePortsAreNotItsOwn)
{
    TempRoot root;
    seed_driver_package(root.path, "oem0.inf", umdf_driver_package());
    seed_driver_package(root.path, "oem1.inf");
    seed_virtual_port(root.path, "ROOT#PORTS#0000", "QEA", "gw-q", "Qor\\Vsp", "oem1.inf");
    seed_virtual_port(root.path, "ROOT#PORTS#0001", "BEA", "gw-a", kUmdfHardwareId, "oem0.inf");
    PipeClient client;
    auto node = start_binding(root.path, client);

    EXPECT_EQ(client.ask("get_all_ports_req", "{}"),
              "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ { \"gateway_id\": \"gw-a\", "
              "\"portname\": \"BEA\", \"channel_id\": 0 } ] } }")
        << node->output();
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-b", "BEB")), created(1)) << node->output();
    std::string device = read_file(root.path + "/devices/ROOT#PORTS#0002.device");
    EXPECT_NE(device.find("HardwareID = multi_sz \"UMDF\\\\VirtualSerial2um\\0\\0\"\n"), npos) << device;
    EXPECT_NE(device.find("driver = oem0.inf\n"), npos) << device;

    SerialProgram program;
    ASSERT_TRUE(program.open(root.path, "BEB"));
    EXPECT_EQ(client.recv_json(), notify("open_port_notify", 1));
    ASSERT_TRUE(program.write("from the program"));
    EXPECT_EQ(client.recv_data(), std::string("\x01") + "from the program");
    ASSERT_TRUE(client.send(std::string("\x01") + "to the program"));
    EXPECT_EQ(program.read(14), "to the program");
    program.close();
    EXPECT_EQ(client.recv_json(), notify("close_port_notify", 1));

    EXPECT_EQ(client.ask("remove_port_req", "{\"channel_id\": 1}"),
              "{ \"msg_id\": \"remove_port_resp\", \"msg_body\": { \"error_code\": 0, \"error_msg\": \"\" } }");
    EXPECT_EQ(device_files(root.path), (std::vector<std::string>{"ROOT#PORTS#0000.device", "ROOT#PORTS#0001.device"}));
    EXPECT_NE(node->wait_for("will remove port: BEB\nremove ok\n"), npos) << node->output();
    EXPECT_EQ(node->output().find("Write OK"), npos) << "a write that succeeds logs nothing";
}

TEST(BindingModule, PortbridgeNeitherOpensNorListsBindingsPorts)
{
    TempRoot root;
    seed_driver_package(root.path, "oem0.inf", umdf_driver_package());
    seed_virtual_port(root.path, "ROOT#PORTS#0000", "BPA", "gw", kUmdfHardwareId);
    PipeClient client;
    auto node = start_service(root.path, client);
    EXPECT_EQ(client.ask("get_all_ports_req", "{}"), kNoPorts) << node->output();
    EXPECT_EQ(node->output().find("will open"), npos);
}

TEST(BindingModule, HelloAnswersWorldAlsoWhenNoThreadCouldBeStarted)
{
    TempRoot root;
    NodeHost node(root.path, "", {{"VSP_SIM_FAULTS", "CreateThread:8:1"}});
    node.load(binding_module_path());
    EXPECT_EQ(node.call("hello"), "\"world\"");
    // Nothing runs, so the next call starts the service.
    EXPECT_EQ(node.call("hello"), "\"world\"");
    EXPECT_NE(node.wait_for("now wait pipe client connect\n"), npos) << node.output();
    EXPECT_EQ(occurrences(node.output(), "begin vports_init"), 1u) << node.output();
}
