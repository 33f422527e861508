// The service thread and its event loop, in process against the stand-in: start-up,
// the pipe's states, the failure rows and the relay between client and ports.
#include "service_fixture.h"

using namespace e2e;

namespace {

std::string json_frame(const std::string &id, const std::string &body) { return request(id, body); }

TEST_F(ServiceTest, StartUpWithoutPortsWaitsOnThePipeAlone)
{
    start();
    size_t at = log.wait_for("set_events, events_count=1\n");
    ASSERT_NE(at, std::string::npos) << log.text();
    EXPECT_NE(log.text().find("-------------- begin vports_init ------------------\n"
                              "-------------- end vports_init ---------------------\n"
                              "\n---------- begin app_comm_init ------------\n"
                              "create pipe server(\\\\.\\pipe\\qor_vport_pipe) OK\n"
                              "now wait pipe client connect\n"
                              "---------- end app_comm_init ----------------\n"
                              "set_events, events_count=1\n"),
              std::string::npos)
        << log.text();
}

TEST_F(ServiceTest, ArmedPortsAreWaitedOnOnlyWhileAClientIsConnected)
{
    for (const char *name : {"COMA", "COMB", "COMC"})
        seed_virtual_port(root, std::string("ROOT#PORTS#") + name, name, std::string("gw-") + name);
    start();
    ASSERT_NE(log.wait_for("now wait pipe client connect\n"), std::string::npos) << log.text();
    size_t first = log.wait_for("set_events, events_count=1\n");
    EXPECT_NE(first, std::string::npos) << log.text();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    EXPECT_NE(log.wait_for("set_events, events_count=4\n", wait_client()), std::string::npos)
        << log.text();
}

TEST_F(ServiceTest, DataAndProgramEventsTravelBothWaysByteForByte)
{
    seed_virtual_port(root, "ROOT#PORTS#0000", "COM5", "gw-5");
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    ASSERT_NE(log.wait_for("set_events, events_count=2\n"), std::string::npos) << log.text();

    SerialProgram program;
    ASSERT_TRUE(program.open(root, "COM5"));
    auto opened = client.recv_json();
    ASSERT_TRUE(opened.has_value()) << log.text();
    EXPECT_EQ(*opened, "{ \"msg_id\": \"open_port_notify\", \"msg_body\": { \"channel_id\": 0 } }");

    std::string bytes("\x00\x01\xFF\n\r binary", 13);
    ASSERT_TRUE(program.write(bytes));
    std::string got;
    while (got.size() < bytes.size()) {
        auto frame = client.recv_data();
        ASSERT_TRUE(frame.has_value()) << log.text();
        ASSERT_EQ((*frame)[0], '\0') << "channel 0 in front";
        got += frame->substr(1);
    }
    EXPECT_EQ(got, bytes);

    std::string to_program("\xFF\x00\x7F hello", 9);
    ASSERT_TRUE(client.send(std::string(1, '\0') + to_program));
    EXPECT_EQ(program.read(to_program.size()), to_program);
    // A frame of the channel byte alone is a write of no bytes.
    ASSERT_TRUE(client.send(std::string(1, '\0')));
    EXPECT_NE(log.wait_for("IOCTL_SERIAL_PEER_WRITE_CONTROL OK, write2 0 bytes()"), std::string::npos);

    program.close();
    auto closed = client.recv_json();
    ASSERT_TRUE(closed.has_value()) << log.text();
    EXPECT_EQ(*closed, "{ \"msg_id\": \"close_port_notify\", \"msg_body\": { \"channel_id\": 0 } }");
}

TEST_F(ServiceTest, AReadOf2047BytesBecomesOneFrameOf2048)
{
    seed_virtual_port(root, "ROOT#PORTS#0000", "COM6", "gw");
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    SerialProgram program;
    ASSERT_TRUE(program.open(root, "COM6"));
    ASSERT_TRUE(client.recv_json().has_value());
    std::string big(5000, 'z');
    ASSERT_TRUE(program.write(big));
    size_t total = 0;
    size_t largest = 0;
    while (total < big.size()) {
        auto frame = client.recv_data();
        ASSERT_TRUE(frame.has_value()) << log.text();
        total += frame->size() - 1;
        largest = std::max(largest, frame->size());
    }
    EXPECT_EQ(total, big.size());
    EXPECT_LE(largest, 2048u);
}

TEST_F(ServiceTest, ClientDataForAFreeChannelIsDroppedAndTheNextFrameIsRead)
{
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    ASSERT_TRUE(client.send(std::string("\x09somebytes")));
    ASSERT_TRUE(client.send_json(json_frame("get_all_ports_req", "{}")));
    EXPECT_TRUE(client.recv_json().has_value()) << log.text();
    EXPECT_EQ(log.text().find("IOCTL_SERIAL_PEER_WRITE_CONTROL"), std::string::npos);
}

// ------------------------------------------------------------------ failure rows

TEST_F(ServiceTest, NoReadEventMeansNoPipeAndTheFirstWaitEndsTheThread)
{
    winsim::fail_next("CreateEventA", ERROR_NOT_ENOUGH_MEMORY);
    start();
    ASSERT_TRUE(thread_ended()) << log.text();
    ASSERT_NE(log.wait_for("Index out of range.\n"), std::string::npos) << log.text();
    std::string out = log.text();
    EXPECT_NE(out.find("CreateEvent failed for oReadOverlap with 8.\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("CreateNamedPipe"), std::string::npos);
    EXPECT_EQ(winsim::call_count("CreateNamedPipeA"), 0u);
    EXPECT_NE(out.find("ConnectNamedPipe failed with 6.\n---------- end app_comm_init ----------------\n"
                       "set_events, events_count=1\nIndex out of range.\n"),
              std::string::npos)
        << out;
}

TEST_F(ServiceTest, NoWriteEventOrNoPipeLeavesTheServiceWithoutAClient)
{
    winsim::fail_next("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    start();
    ASSERT_NE(log.wait_for("set_events, events_count=1\n"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("CreateEvent failed for oWriteOverlap with 8.\n"), std::string::npos);
    EXPECT_EQ(winsim::call_count("CreateNamedPipeA"), 0u);
    EXPECT_FALSE(thread_ended(200)) << "the loop goes on serving the ports";
}

TEST_F(ServiceTest, PipeCreationAndConnectFailuresAreLoggedAndTheLoopGoesOn)
{
    winsim::fail_next("CreateNamedPipeA", ERROR_ACCESS_DENIED);
    start();
    ASSERT_NE(log.wait_for("set_events, events_count=1\n"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("CreateNamedPipe failed with 5.\nConnectNamedPipe failed with 6.\n"),
              std::string::npos)
        << log.text();
    EXPECT_FALSE(thread_ended(200));
}

TEST_F(ServiceTest, AFailedConnectCompletionStartsOverAndTheNextClientIsServed)
{
    start();
    ASSERT_NE(log.wait_for("now wait pipe client connect\n"), std::string::npos);
    winsim::fail_next("GetOverlappedResult", ERROR_NO_DATA);
    PipeClient first;
    ASSERT_TRUE(first.connect(root));
    size_t at = log.wait_for("GetOverlappedResult failed, error_no=232\n");
    ASSERT_NE(at, std::string::npos) << log.text();
    EXPECT_NE(log.wait_for("will wait client connect\nnow wait pipe client connect\n", at), std::string::npos)
        << log.text();
    PipeClient second;
    ASSERT_TRUE(second.connect(root));
    ASSERT_TRUE(second.send_json(json_frame("get_all_ports_req", "{}")));
    EXPECT_TRUE(second.recv_json().has_value()) << log.text();
}

TEST_F(ServiceTest, FrameReadFailuresOtherThanABrokenPipeStillLeaveThePipeServed)
{
    start();
    PipeClient first;
    ASSERT_TRUE(first.connect(root));
    ASSERT_NE(wait_client(), std::string::npos);
    // A frame read whose completion reports an unexpected error.
    winsim::fail_next("GetOverlappedResult", ERROR_ACCESS_DENIED);
    ASSERT_TRUE(first.send_json(json_frame("get_all_ports_req", "{}")));
    size_t at = log.wait_for("GetOverlappedResult failed, error_no=5\n");
    ASSERT_NE(at, std::string::npos) << log.text();
    ASSERT_NE(log.wait_for("now wait pipe client connect\n", at), std::string::npos) << log.text();

    // A frame read refused at once, and a failing disconnect on the way.
    PipeClient second;
    ASSERT_TRUE(second.connect(root));
    ASSERT_NE(wait_client(at), std::string::npos);
    winsim::fail_next("ReadFile", ERROR_ACCESS_DENIED);
    winsim::fail_next("DisconnectNamedPipe", ERROR_INVALID_HANDLE);
    ASSERT_TRUE(second.send_json(json_frame("get_all_ports_req", "{}")));
    EXPECT_TRUE(second.recv_json().has_value()) << log.text();
    at = log.wait_for("pipe server ReadFile fail, error_no=5\n", at);
    ASSERT_NE(at, std::string::npos) << log.text();
    EXPECT_NE(log.wait_for("DisconnectNamedPipe failed with 6.\nwill wait client connect\nERROR_PIPE_CONNECTED\n", at),
              std::string::npos)
        << log.text();
    // The client the failed disconnect left connected is served on.
    ASSERT_TRUE(second.send_json(json_frame("get_all_ports_req", "{}")));
    EXPECT_TRUE(second.recv_json().has_value()) << log.text();
    second.close();

    PipeClient third;
    ASSERT_TRUE(third.connect(root));
    ASSERT_TRUE(third.send_json(json_frame("get_all_ports_req", "{}")));
    EXPECT_TRUE(third.recv_json().has_value()) << log.text();
}

TEST_F(ServiceTest, AReadThatCannotBeArmedAgainTakesThePortOutOfTheWaitSetForGood)
{
    seed_virtual_port(root, "ROOT#PORTS#0000", "COM8", "gw-8");
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    ASSERT_NE(log.wait_for("set_events, events_count=2\n"), std::string::npos) << log.text();
    // The next READ the loop issues is refused.
    winsim::fail_next("DeviceIoControl", ERROR_GEN_FAILURE);
    SerialProgram program;
    ASSERT_TRUE(program.open(root, "COM8"));
    ASSERT_TRUE(client.recv_json().has_value()) << log.text();
    size_t at = log.wait_for("DeviceIoControl fail, error=31\nset_events, events_count=1\n");
    ASSERT_NE(at, std::string::npos) << log.text();
    ASSERT_TRUE(client.send_json(json_frame("get_all_ports_req", "{}")));
    auto list = client.recv_json();
    ASSERT_TRUE(list.has_value());
    EXPECT_NE(list->find("\"portname\": \"COM8\""), std::string::npos) << "still listed";
}

TEST_F(ServiceTest, AFailedWriteRequestLosesTheDataOnly)
{
    seed_virtual_port(root, "ROOT#PORTS#0000", "COM9", "gw");
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    ASSERT_NE(log.wait_for("set_events, events_count=2\n"), std::string::npos);
    winsim::fail_next("DeviceIoControl", ERROR_GEN_FAILURE);
    ASSERT_TRUE(client.send(std::string("\0lost", 5)));
    EXPECT_NE(log.wait_for("IOCTL_SERIAL_PEER_WRITE_CONTROL fail, en=31\n"), std::string::npos) << log.text();
    ASSERT_TRUE(client.send_json(json_frame("get_all_ports_req", "{}")));
    EXPECT_TRUE(client.recv_json().has_value());
}

}  // namespace
