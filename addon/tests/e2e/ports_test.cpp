// Virtual ports through the pipe, with the module in a real node: creating a port and
// using it from a serial program, a creation the machine cannot carry out, ports that
// come back after a restart, removal, port status, and what 100 ports leave behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "harness.h"

using namespace e2e;

namespace {

const size_t npos = std::string::npos;

std::string remove_body(int channel) { return "{\"channel_id\": " + std::to_string(channel) + "}"; }

// Collects the data frames of one channel until `size` bytes came; every frame must
// carry the channel first and at most 2047 data bytes.
std::string collect_data(PipeClient &client, unsigned char channel, size_t size)
{
    std::string got;
    while (got.size() < size) {
        auto frame = client.recv_data(5000);
        if (!frame)
            break;
        EXPECT_GE(frame->size(), 2u);
        EXPECT_LE(frame->size(), 2048u);
        EXPECT_EQ((unsigned char)(*frame)[0], channel);
        got += frame->substr(1);
    }
    return got;
}

std::string all_byte_values(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = (char)(unsigned char)((i * 7 + 3) % 256);
    return bytes;
}

}  // namespace

TEST(Ports, CreatedPortCarriesBinaryDataBothWaysAndReportsItsPrograms)
{
    TempRoot root;
    seed_driver_package(root.path);
    PipeClient client;
    auto node = start_service(root.path, client);

    EXPECT_EQ(client.ask("create_port_req", create_body("gw-1", "COM7")), created(0)) << node->output();

    // The device node that stays in the system: the port's identity and its two values.
    auto files = device_files(root.path);
    ASSERT_EQ(files.size(), 1u);
    std::string device = read_file(root.path + "/devices/" + files[0]);
    EXPECT_NE(device.find("class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n"), npos) << device;
    EXPECT_NE(device.find("driver = oem0.inf\n"), npos) << device;
    EXPECT_NE(device.find("HardwareID = multi_sz \"Qor\\\\Vsp\\0\\0\"\n"), npos) << device;
    EXPECT_NE(device.find("value PortName = sz \"COM7\\0\"\n"), npos) << device;
    EXPECT_NE(device.find("value QorGatewayID = sz \"gw-1\\0\"\n"), npos) << device;

    SerialProgram program;
    ASSERT_TRUE(program.open(root.path, "COM7"));
    EXPECT_EQ(client.recv_json(), notify("open_port_notify", 0)) << node->output();

    // More than one READ's worth, every byte value: the client gets it whole and in order.
    std::string from_program = all_byte_values(3000);
    ASSERT_TRUE(program.write(from_program));
    EXPECT_EQ(collect_data(client, 0, from_program.size()), from_program);

    // To the program: NULs and 0xFF bytes pass; a frame of the channel byte alone is a
    // write of nothing.
    std::string to_program = all_byte_values(256) + std::string("\0\xFF\r\n", 4);
    ASSERT_TRUE(client.send(std::string(1, '\0') + to_program));
    ASSERT_TRUE(client.send(std::string(1, '\0')));
    ASSERT_TRUE(client.send(std::string(1, '\0') + "end"));
    EXPECT_EQ(program.read(to_program.size() + 3), to_program + "end");

    program.close();
    EXPECT_EQ(client.recv_json(), notify("close_port_notify", 0)) << node->output();

    // The port serves the next program the same way.
    SerialProgram next;
    ASSERT_TRUE(next.open(root.path, "COM7"));
    EXPECT_EQ(client.recv_json(), notify("open_port_notify", 0));
    ASSERT_TRUE(next.write("again"));
    EXPECT_EQ(collect_data(client, 0, 5), "again");
    next.close();
    EXPECT_EQ(client.recv_json(), notify("close_port_notify", 0));
    EXPECT_FALSE(client.recv(200).has_value()) << "nothing else is sent";
}

TEST(Ports, CreationWithoutADriverPackageFailsWithTheSystemsTextAndTakesNoChannel)
{
    TempRoot root;
    PipeClient client;
    auto node = start_service(root.path, client);

    EXPECT_EQ(client.ask("create_port_req", create_body("gw-1", "COM7")),
              code_answer("create_port_resp", 1,
                     "There is no driver selected for the device information set or element.\\r\\n"))
        << node->output();
    EXPECT_NE(node->wait_for("DiInstallDevice rt=0\n"), npos);
    EXPECT_EQ(client.ask("get_all_ports_req", "{}"),
              "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ ] } }");
    // The registered node is taken out again, so no port comes of it at the next start,
    // and no program can open the port.
    EXPECT_NE(node->wait_for("will remove one port: COM7\nremove ok\n"), npos) << node->output();
    EXPECT_EQ(device_files(root.path).size(), 0u);
    SerialProgram program;
    EXPECT_FALSE(program.open(root.path, "COM7"));

    // Once the package is there, the next port gets the first channel.
    seed_driver_package(root.path);
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-2", "COM8")), created(0)) << node->output();
}

TEST(Ports, PortsComeBackAfterARestartInTheDeviceTreesOrder)
{
    TempRoot root;
    seed_driver_package(root.path);
    {
        PipeClient client;
        auto node = start_service(root.path, client);
        EXPECT_EQ(client.ask("create_port_req", create_body("gw-a", "COMA")), created(0));
        EXPECT_EQ(client.ask("create_port_req", create_body("gw-b", "COMB")), created(1));
        EXPECT_EQ(client.ask("create_port_req", create_body("gw-c", "COMC")), created(2));
        EXPECT_EQ(client.ask("remove_port_req", remove_body(1)), code_answer("remove_port_resp", 0, ""));
        // Takes the free channel 1, but comes last in the device tree.
        EXPECT_EQ(client.ask("create_port_req", create_body("gw-d", "COMD")), created(1)) << node->output();
        client.close();
        EXPECT_EQ(node->stop(), 0);
    }

    PipeClient client;
    auto node = start_service(root.path, client);
    EXPECT_NE(node->wait_for("-------------- end vports_init ---------------------\n"), npos) << node->output();
    EXPECT_EQ(node->count("IOCTL_SERIAL_PEER_READ_CONTROL OK\n"), 3u) << node->output();
    EXPECT_EQ(client.ask("get_all_ports_req", "{}"),
              "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ "
              "{ \"gateway_id\": \"gw-a\", \"portname\": \"COMA\", \"channel_id\": 0 }, "
              "{ \"gateway_id\": \"gw-c\", \"portname\": \"COMC\", \"channel_id\": 1 }, "
              "{ \"gateway_id\": \"gw-d\", \"portname\": \"COMD\", \"channel_id\": 2 } ] } }")
        << node->output();

    // Programs use the ports again, on their new channels.
    SerialProgram program;
    ASSERT_TRUE(program.open(root.path, "COMD"));
    EXPECT_EQ(client.recv_json(), notify("open_port_notify", 2)) << node->output();
    ASSERT_TRUE(program.write(std::string("\x00\x01\xFE", 3)));
    EXPECT_EQ(collect_data(client, 2, 3), std::string("\x00\x01\xFE", 3));
    ASSERT_TRUE(client.send(std::string("\x02\xFF\x00", 3)));
    EXPECT_EQ(program.read(2), std::string("\xFF\x00", 2));
    program.close();
    EXPECT_EQ(client.recv_json(), notify("close_port_notify", 2));

    // And they can be removed as before.
    EXPECT_EQ(client.ask("remove_port_req", remove_body(0)), code_answer("remove_port_resp", 0, ""));
    EXPECT_EQ(device_files(root.path).size(), 2u);
}

TEST(Ports, ANameAPresentPortCarriesInAnyCaseIsRefusedAndThatPortGoesOnWorking)
{
    TempRoot root;
    seed_driver_package(root.path);
    PipeClient client;
    auto node = start_service(root.path, client);
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-a", "COM7")), created(0));
    for (const char *name : {"com7", "COM7"})
        EXPECT_EQ(client.ask("create_port_req", create_body("gw-b", name)),
                  code_answer("create_port_resp", 1,
                         std::string("port name ") + name + " is already taken by the present port COM7"))
            << node->output();
    EXPECT_EQ(device_files(root.path).size(), 1u);

    // Removing the one port takes its own device only, and a program still reaches it
    // on its channel until then.
    SerialProgram program;
    ASSERT_TRUE(program.open(root.path, "COM7"));
    EXPECT_EQ(client.recv_json(), notify("open_port_notify", 0));
    ASSERT_TRUE(program.write("mine"));
    EXPECT_EQ(collect_data(client, 0, 4), "mine");
    program.close();
    EXPECT_EQ(client.recv_json(), notify("close_port_notify", 0));
    EXPECT_EQ(client.ask("remove_port_req", remove_body(0)), code_answer("remove_port_resp", 0, ""));
    EXPECT_EQ(device_files(root.path).size(), 0u);
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-b", "com7")), created(0)) << "the name is free again";
}

TEST(Ports, RemovalWhileAProgramHasThePortOpenAndRemovalsOfChannelsWithoutPorts)
{
    TempRoot root;
    seed_driver_package(root.path);
    PipeClient client;
    auto node = start_service(root.path, client);
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-a", "COMA")), created(0));
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-b", "COMB")), created(1));

    SerialProgram program;
    ASSERT_TRUE(program.open(root.path, "COMA"));
    EXPECT_EQ(client.recv_json(), notify("open_port_notify", 0));
    ASSERT_TRUE(program.write("pending"));
    EXPECT_EQ(collect_data(client, 0, 7), "pending");

    EXPECT_EQ(client.ask("remove_port_req", remove_body(0)), code_answer("remove_port_resp", 0, "")) << node->output();
    EXPECT_NE(node->wait_for("remove ok\n", node->wait_for("will enum port(COMA) for remove\n")), npos);
    // The device node and the port's terminal are gone; the program is hung up.
    auto files = device_files(root.path);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(read_file(root.path + "/devices/" + files[0]).find("\"COMB\\0\""), npos);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(root.path + "/dev/COMA")));
    EXPECT_TRUE(program.hung_up());
    program.close();

    // Data for the emptied channel is dropped; the service goes on.
    ASSERT_TRUE(client.send(std::string("\x00lost", 5)));
    EXPECT_EQ(client.ask("get_all_ports_req", "{}"),
              "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ "
              "{ \"gateway_id\": \"gw-b\", \"portname\": \"COMB\", \"channel_id\": 1 } ] } }");

    // The next port takes the freed channel, and works.
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-c", "COMC")), created(0));
    SerialProgram next;
    ASSERT_TRUE(next.open(root.path, "COMC"));
    EXPECT_EQ(client.recv_json(), notify("open_port_notify", 0));
    ASSERT_TRUE(client.send(std::string("\x00ok", 3)));
    EXPECT_EQ(next.read(2), "ok");

    for (int channel : {300, -1, 2, 255})
        EXPECT_EQ(client.ask("remove_port_req", remove_body(channel)),
                  code_answer("remove_port_resp", 1, "can't find port for cid=" + std::to_string(channel)));
    EXPECT_EQ(client.ask("remove_port_req", remove_body(1)), code_answer("remove_port_resp", 0, ""));
    EXPECT_EQ(client.ask("remove_port_req", remove_body(1)),
              code_answer("remove_port_resp", 1, "can't find port for cid=1"));
    EXPECT_EQ(device_files(root.path).size(), 1u) << "only COMC is left";
    EXPECT_TRUE(next.write("still"));
    EXPECT_EQ(collect_data(client, 0, 5), "still");
}

TEST(Ports, StatusOfSeveralPortsInOneRequestGoesToTheDriverOnlyWhenItChanges)
{
    TempRoot root;
    seed_driver_package(root.path);
    PipeClient client;
    auto node = start_service(root.path, client);
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-a", "COMA")), created(0));
    EXPECT_EQ(client.ask("create_port_req", create_body("gw-b", "COMB")), created(1));

    const std::string sent_line = "IOCTL_SERIAL_PEER_STATUS_CONTROL OK";
    // Status requests sent to the driver while one request was served.
    auto status_requests = [&](const std::string &ports, const std::string &expected_answer) {
        size_t from = node->output().size();
        EXPECT_EQ(client.ask("set_port_status_req", "{\"ports\": " + ports + "}"), expected_answer)
            << node->output();
        // The answer's own log line follows every line of its request.
        size_t begin = node->wait_for("get msg: set_port_status_req\n", from);
        size_t to = node->wait_for("send_msg_to_app, Write OK\n", begin);
        EXPECT_NE(to, npos);
        from = begin;
        return node->count(sent_line, from, to);
    };

    // 261 goes out as its low byte; the same status twice in a row sends one request; a
    // channel without a port is reported while the others are served.
    EXPECT_EQ(status_requests("[ {\"channel_id\": 0, \"port_status\": 261}, {\"channel_id\": 1, \"port_status\": 3},"
                              "  {\"channel_id\": 200, \"port_status\": 1}, {\"channel_id\": 1, \"port_status\": 3} ]",
                              code_answer("set_port_status_resp", 1, "can't find port for cid=200")),
              2u);
    EXPECT_EQ(read_file(root.path + "/status/COMA"), "5\n");
    EXPECT_EQ(read_file(root.path + "/status/COMB"), "3\n");

    EXPECT_EQ(status_requests("[ {\"channel_id\": 1, \"port_status\": 3}, {\"channel_id\": 0, \"port_status\": 261} ]",
                              code_answer("set_port_status_resp", 0, "")),
              0u);
    // 5 differs from the stored 261, though the driver already has the byte 5.
    EXPECT_EQ(status_requests("[ {\"channel_id\": 0, \"port_status\": 5}, {\"channel_id\": 1, \"port_status\": 0} ]",
                              code_answer("set_port_status_resp", 0, "")),
              2u);
    EXPECT_EQ(read_file(root.path + "/status/COMA"), "5\n");
    EXPECT_EQ(read_file(root.path + "/status/COMB"), "0\n");
    EXPECT_EQ(status_requests("[ ]", code_answer("set_port_status_resp", 0, "")), 0u);
}

TEST(Ports, HundredCreationsAndRemovalsLeaveNoDevicesAndNoOpenFiles)
{
    TempRoot root;
    seed_driver_package(root.path);
    PipeClient client;
    auto node = start_service(root.path, client);

    // One cycle first: what the first port sets up once (the driver's watch) stays.
    ASSERT_EQ(client.ask("create_port_req", create_body("gw", "COMX")), created(0));
    ASSERT_EQ(client.ask("remove_port_req", remove_body(0)), code_answer("remove_port_resp", 0, ""));
    int fds_before = open_fd_count(node->pid());
    ASSERT_GT(fds_before, 0);

    for (int i = 0; i < 100; i++) {
        std::string name = "COML" + std::to_string(i);
        ASSERT_EQ(client.ask("create_port_req", create_body("gw-" + std::to_string(i), name)), created(0))
            << "cycle " << i;
        if (i % 10 == 0) {
            // Now and then a program holds the port open while it is removed.
            SerialProgram program;
            ASSERT_TRUE(program.open(root.path, name));
            ASSERT_EQ(client.recv_json(), notify("open_port_notify", 0)) << "cycle " << i;
            ASSERT_TRUE(program.write("x"));
            ASSERT_EQ(collect_data(client, 0, 1), "x");
            ASSERT_EQ(client.ask("remove_port_req", remove_body(0)), code_answer("remove_port_resp", 0, ""));
            EXPECT_TRUE(program.hung_up());
        } else {
            ASSERT_EQ(client.ask("remove_port_req", remove_body(0)), code_answer("remove_port_resp", 0, ""))
                << "cycle " << i;
        }
    }

    EXPECT_TRUE(device_files(root.path).empty());
    EXPECT_EQ(open_fd_count(node->pid()), fds_before);
    EXPECT_EQ(client.ask("get_all_ports_req", "{}"),
              "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ ] } }");
}
