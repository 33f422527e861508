// The module in a real node: its exports, vsp_init, and the pipe server's clients.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "harness.h"

using namespace e2e;

TEST(Module, ExportsTheThreeFunctionsInOrderAndStartsTheServiceOnce)
{
    TempRoot root;
    NodeHost node(root.path);
    node.load();
    ASSERT_NE(node.wait_for("exports: [\"vsp_init\",\"vsp_install_driver\",\"vsp_need_install_driver\"]"),
              std::string::npos)
        << node.output();
    // Stray arguments change nothing.
    EXPECT_EQ(node.call("vsp_init"), "\"\"");
    size_t up = node.wait_for("now wait pipe client connect\n");
    ASSERT_NE(up, std::string::npos) << node.output();
    EXPECT_NE(node.output().find("create Mutex(QorVspMutex) OK\n"), std::string::npos);
    EXPECT_NE(node.output().find("-------------- begin vports_init ------------------\n"
                                 "-------------- end vports_init ---------------------\n"),
              std::string::npos);
    EXPECT_NE(node.output().find("create pipe server(\\\\.\\pipe\\qor_vport_pipe) OK\n"), std::string::npos);
    EXPECT_NE(node.wait_for("set_events, events_count=1\n", up), std::string::npos);

    // A second call must not start a second service on the same tables.
    EXPECT_EQ(node.call("vsp_init"), "\"\"");
    EXPECT_NE(node.wait_for("service thread already running\n"), std::string::npos);
    std::string out = node.output();
    size_t first = out.find("begin vports_init");
    EXPECT_EQ(out.find("begin vports_init", first + 1), std::string::npos) << out;
}

TEST(Module, WorksInAHostExecutableNotNamedNode)
{
    TempRoot root;
    std::string host = root.path + "/apphost";
    std::filesystem::copy_file(NODE_EXECUTABLE, host);
    chmod(host.c_str(), 0755);
    NodeHost node(root.path, host);
    node.load();
    ASSERT_NE(node.wait_for("exports: "), std::string::npos) << node.output();
    EXPECT_EQ(node.call("vsp_init"), "\"\"");
    PipeClient client;
    EXPECT_TRUE(client.connect(root.path));
}

TEST(Module, VspInitStartsEvenWhenAnotherProcessHoldsTheMutex)
{
    TempRoot root;
    NodeHost other(root.path);
    other.load();
    ASSERT_EQ(other.call("vsp_init"), "\"\"");
    NodeHost node(root.path);
    node.load();
    EXPECT_EQ(node.call("vsp_init"), "\"\"");
    EXPECT_NE(node.wait_for("begin vports_init"), std::string::npos);
}

TEST(PipeServer, ServesOneClientAtATimeAndTheNextOneAfterItGoes)
{
    TempRoot root;
    NodeHost node(root.path);
    node.load();
    ASSERT_EQ(node.call("vsp_init"), "\"\"");

    PipeClient first;
    ASSERT_TRUE(first.connect(root.path));
    // The client is in once its first frame is answered (it may have come before the
    // service's connect call, which then logs ERROR_PIPE_CONNECTED instead).
    ASSERT_TRUE(first.send_json(request("get_all_ports_req", "{}")));
    auto answer = first.recv_json();
    ASSERT_TRUE(answer.has_value()) << node.output();
    EXPECT_EQ(*answer, "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ ] } }");
    size_t connected = node.wait_for("send_msg_to_app, Write OK\n");
    ASSERT_NE(connected, std::string::npos) << node.output();

    PipeClient second;
    EXPECT_FALSE(second.try_connect(root.path) && !second.closed_by_peer(1000))
        << "a second client must not get the busy instance";

    // The client's going is seen by the pending read, or by the next read refused at once.
    first.close();
    size_t gone = node.wait_for("error_no=109\nwill wait client connect\nnow wait pipe client connect\n", connected);
    ASSERT_NE(gone, std::string::npos) << node.output();

    PipeClient third;
    ASSERT_TRUE(third.connect(root.path));
    ASSERT_TRUE(third.send_json(request("get_all_ports_req", "{}")));
    EXPECT_TRUE(third.recv_json().has_value()) << node.output();
}

TEST(PipeServer, OverlongAndEmptyFramesDoNotStopTheService)
{
    TempRoot root;
    NodeHost node(root.path);
    node.load();
    ASSERT_EQ(node.call("vsp_init"), "\"\"");
    PipeClient client;
    ASSERT_TRUE(client.connect(root.path));

    // 2048 bytes and more: no room for the text's NUL; dropped whole, with a log line.
    for (size_t size : {2048u, 5000u}) {
        std::string big(size, 'x');
        big[0] = '\xFF';
        ASSERT_TRUE(client.send(big));
    }
    ASSERT_TRUE(client.send(std::string(1, '\xFF')));  // an empty text: does not parse
    ASSERT_TRUE(client.send(std::string(1, '\x07')));  // data for a channel without a port
    ASSERT_TRUE(client.send_json(request("get_all_ports_req", "{}")));
    auto answer = client.recv_json();
    ASSERT_TRUE(answer.has_value()) << node.output();
    EXPECT_NE(answer->find("get_all_ports_resp"), std::string::npos);
    EXPECT_NE(node.wait_for("client frame longer than 2047 bytes, dropped\n"), std::string::npos) << node.output();
    EXPECT_NE(node.wait_for("parse msg fail: \n"), std::string::npos) << node.output();
    // The 2047-byte frame is still a frame: its text reaches the dispatcher whole.
    std::string edge = "\xFF" + std::string(2046, ' ');
    ASSERT_TRUE(client.send(edge));
    EXPECT_NE(node.wait_for("parse msg fail: " + std::string(2046, ' ') + "\n"), std::string::npos);
}

// The service holds its log lines while it works and writes them out before it waits:
// a reader of the output sees what a request did before the client sends the next one.
TEST(PipeServer, LogLinesOfAHandledRequestShowBeforeTheNextRequest)
{
    TempRoot root;
    seed_driver_package(root.path);
    seed_virtual_port(root.path, "ROOT#PORTS#0000", "COM7", "gw-1");
    PipeClient client;
    auto node = start_service(root.path, client);
    size_t at = 0;
    for (int i = 0; i < 5; i++) {
        std::string body = "{\"turn\": " + std::to_string(i) + "}";
        std::string text = request("get_all_ports_req", body);
        ASSERT_TRUE(client.send_json(text));
        ASSERT_TRUE(client.recv_json().has_value()) << node->output();
        at = node->wait_for("get msg: " + text + "\nget msg: get_all_ports_req\n", at);
        ASSERT_NE(at, std::string::npos) << "turn " << i << ":\n" << node->output();
        at = node->wait_for("send_msg_to_app, Write OK\n", at);
        ASSERT_NE(at, std::string::npos) << "turn " << i << ":\n" << node->output();
    }

    SerialProgram program;
    ASSERT_TRUE(program.open(root.path, "COM7"));
    ASSERT_TRUE(client.recv_json().has_value());
    at = node->wait_for("vport(COM7) opened\n", at);
    ASSERT_NE(at, std::string::npos) << node->output();
    for (int i = 1; i <= 3; i++) {
        std::string bytes(i, 'a');
        ASSERT_TRUE(program.write(bytes));
        ASSERT_EQ(client.recv_data(), std::string(1, '\0') + bytes);
        at = node->wait_for("fSuccess=1, error_no=0, cbRet=" + std::to_string(i) + "\n", at);
        ASSERT_NE(at, std::string::npos) << "write " << i << ":\n" << node->output();
    }
}
