// Many ports created and removed through the pipe leave nothing behind: no handle, no
// device node, and (in the sanitizer build, whose leak check runs at exit) no memory.
#include <filesystem>

#include "service_fixture.h"

using namespace e2e;

namespace {

TEST_F(ServiceTest, HundredCreateRemoveCyclesLeaveNoHandlesDevicesOrMemory)
{
    seed_driver_package(root);
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    auto cycle = [&](int i, bool with_program) {
        std::string name = "CYC" + std::to_string(i);
        client.send_json(request("create_port_req", "{\"gateway_id\": \"gw\", \"portname\": \"" + name + "\"}"));
        auto created = client.recv_json();
        ASSERT_TRUE(created.has_value()) << log.text();
        ASSERT_NE(created->find("\"error_code\": 0"), std::string::npos) << *created;
        SerialProgram program;
        if (with_program) {
            // A program holds the port while it is removed, with data on its way.
            ASSERT_TRUE(program.open(root, name));
            ASSERT_TRUE(client.recv_json().has_value());  // open_port_notify
            ASSERT_TRUE(program.write("bytes in flight"));
        }
        client.send_json(request("remove_port_req", "{\"channel_id\": 0}"));
        std::optional<std::string> removed;
        do
            removed = client.recv_json();
        while (removed && removed->find("remove_port_resp") == std::string::npos);
        ASSERT_TRUE(removed.has_value()) << log.text();
        EXPECT_EQ(*removed, "{ \"msg_id\": \"remove_port_resp\", \"msg_body\": { \"error_code\": 0, \"error_msg\": \"\" } }");
    };
    cycle(0, false);  // first use sets up what stays for the process's life
    while (client.recv(200))
        ;
    size_t handles = winsim::open_handle_count();
    for (int i = 1; i <= 100; i++)
        cycle(i, i % 10 == 0);
    EXPECT_EQ(winsim::open_handle_count(), handles) << "a port's handles were not all closed";
    EXPECT_TRUE(std::filesystem::is_empty(root + "/devices"));
    EXPECT_EQ(vports_link(), nullptr);
}

}  // namespace
