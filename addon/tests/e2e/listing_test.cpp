// The two listings, with the module in a real node: the service's own ports by channel,
// and every serial port of the machine from its device tree.
#include <gtest/gtest.h>

#include <memory>

#include "harness.h"

using namespace e2e;

namespace {

const size_t npos = std::string::npos;

// Data of a device file line: quotes and backslashes escaped.
std::string quoted(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    return "\"" + out + "\\0\"";
}

const char ports_class[] = "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n";

// A port of the machine as the Ports class installer leaves it.
void seed_serial_port(const std::string &root, const std::string &file, const std::string &port_name,
                      const std::string &desc, const std::string &friendly, const std::string &extra = "")
{
    seed_device(root, file,
                std::string(ports_class) + "driver = msports.inf\n" + "HardwareID = multi_sz \"ACPI\\\\PNP0501\\0\\0\"\n" +
                    "DeviceDesc = sz " + quoted(desc) + "\n" + "FriendlyName = sz " + quoted(friendly) + "\n" +
                    "value PortName = sz " + quoted(port_name) + "\n" +
                    extra);
}

std::string sport(const std::string &name, const std::string &desc, const std::string &friendly)
{
    return "{ \"portname\": \"" + name + "\", \"portdesc\": \"" + desc + "\", \"friendlyname\": \"" + friendly +
           "\" }";
}

std::string system_ports(const std::vector<std::string> &elements)
{
    std::string list;
    for (size_t i = 0; i < elements.size(); i++)
        list += (i ? ", " : " ") + elements[i];
    return "{ \"msg_id\": \"get_system_ports_resp\", \"msg_body\": { \"sports\": [" + list + " ] } }";
}

}  // namespace

TEST(Listing, AllPortsComeInChannelOrderWithTheirGatewayIds)
{
    TempRoot root;
    seed_driver_package(root.path);
    PipeClient client;
    auto node = start_service(root.path, client);
    EXPECT_EQ(client.ask("get_all_ports_req", "{}"),
              "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ ] } }");

    EXPECT_EQ(client.ask("create_port_req", create_body("gw/a", "COMA")), created(0));
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-b", "COMB")), created(1));
    EXPECT_EQ(client.ask("create_port_req", create_body("", "COMC")), created(2));
    EXPECT_EQ(client.ask("remove_port_req", "{\"channel_id\": 1}"),
              "{ \"msg_id\": \"remove_port_resp\", \"msg_body\": { \"error_code\": 0, \"error_msg\": \"\" } }");
    // Created last, listed second: it took the free channel.
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-b", "COMD")), created(1)) << node->output();

    // The body is not read: any object will do.
    EXPECT_EQ(client.ask("get_all_ports_req", "{\"channel_id\": 7}"),
              "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ "
              "{ \"gateway_id\": \"gw\\/a\", \"portname\": \"COMA\", \"channel_id\": 0 }, "
              "{ \"gateway_id\": \"gw-b\", \"portname\": \"COMD\", \"channel_id\": 1 }, "
              "{ \"gateway_id\": \"\", \"portname\": \"COMC\", \"channel_id\": 2 } ] } }")
        << node->output();
}

TEST(Listing, SystemPortsListEveryPresentPortOfTheClassInTreeOrderTheSameEachTime)
{
    TempRoot root;
    seed_driver_package(root.path);
    seed_serial_port(root.path, "ACPI#PNP0501#1", "COM1", "Communications Port", "Communications Port (COM1)");
    // A device of the class without a port name stops nothing.
    seed_device(root.path, "ACPI#PNP0501#2",
                std::string(ports_class) + "HardwareID = multi_sz \"BTHENUM\\\\SPP\\0\\0\"\n" +
                    "DeviceDesc = sz \"No name here\\0\"\nvalue Other = sz \"x\\0\"\n");
    // Neither a device that is not present nor one of another class is listed.
    seed_serial_port(root.path, "ACPI#PNP0501#3", "COM3", "Communications Port", "Gone (COM3)", "present = no\n");
    seed_device(root.path, "ACPI#PNP0303#0",
                "class = {4D36E96B-E325-11CE-BFC1-08002BE10318}\nvalue PortName = sz \"KBD\\0\"\n");
    seed_virtual_port(root.path, "ROOT#PORTS#0900", "COM9", "gw-9");
    seed_serial_port(root.path, "PCI#VEN_1415#0", "COM2", "PCI Serial \"Port\"", "PCI Serial (COM2)");

    PipeClient client;
    auto node = start_service(root.path, client);
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-20", "COM20")), created(1)) << node->output();

    // Hand-made devices by file name, then the created one; the description of the
    // created one comes from the driver package.
    std::string expected = system_ports({
        sport("COM1", "Communications Port", "Communications Port (COM1)"),
        sport("COM2", "PCI Serial \\\"Port\\\"", "PCI Serial (COM2)"),
        sport("COM9", "", ""),
        sport("COM20", "Qor Virtual Serial Port", "Qor Virtual Serial Port (COM20)"),
    });
    EXPECT_EQ(client.ask("get_system_ports_req", "{}"), expected) << node->output();
    EXPECT_NE(node->wait_for("RegQueryValueEx fail for PortName: 2\n"), npos);
    EXPECT_EQ(client.ask("get_system_ports_req", "{\"anything\": [1, 2]}"), expected);

    // Removal walks the devices by port name, and the device without one comes first:
    // the port leaves its channel, but its device node stays and is still listed.
    auto removed = client.ask("remove_port_req", "{\"channel_id\": 1}");
    ASSERT_TRUE(removed.has_value()) << node->output();
    EXPECT_EQ(removed->rfind("{ \"msg_id\": \"remove_port_resp\", \"msg_body\": { \"error_code\": 1, \"error_msg\": \"", 0),
              0u)
        << *removed;
    EXPECT_EQ(removed->find("\"error_msg\": \"\""), npos) << *removed;
    EXPECT_EQ(client.ask("get_all_ports_req", "{}"),
              "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ "
              "{ \"gateway_id\": \"gw-9\", \"portname\": \"COM9\", \"channel_id\": 0 } ] } }");
    EXPECT_EQ(client.ask("get_system_ports_req", "{}"), expected);
}

TEST(Listing, ASystemListingLongerThanOneFrameArrivesWholeInOneMessage)
{
    TempRoot root;
    std::vector<std::string> elements;
    for (int i = 100; i < 160; i++) {
        std::string name = "COM" + std::to_string(i);
        std::string desc = "Multiport serial adapter, line " + std::to_string(i);
        std::string friendly = desc + " (" + name + ")";
        seed_serial_port(root.path, "PCI#MULTI#" + std::to_string(i), name, desc, friendly);
        elements.push_back(sport(name, desc, friendly));
    }
    std::string expected = system_ports(elements);
    ASSERT_GT(expected.size(), 4096u) << "longer than a frame and than the pipe's buffer";

    PipeClient client;
    auto node = start_service(root.path, client);
    EXPECT_EQ(client.ask("get_system_ports_req", "{}"), expected) << node->output();
    // The pipe carries on after it.
    EXPECT_EQ(client.ask("get_all_ports_req", "{}"),
              "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ ] } }");
    EXPECT_EQ(client.ask("get_system_ports_req", "{}"), expected);
}
