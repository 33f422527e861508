// WRITE and STATUS requests that the driver leaves pending: each in flight with an
// OVERLAPPED of its own, collected once completed, capped per port, and waited for when
// the port's record is given up, so that no completion lands in freed memory (the
// sanitizer build catches one that does, and its leak check one that is never freed).
#include <algorithm>
#include <chrono>
#include <set>

#include "addon/driver_if.h"
#include "service_fixture.h"

using namespace e2e;

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<port_request *> in_flight(vport *port)
{
    std::vector<port_request *> list;
    for (port_request *r = port->writes; r; r = r->next)
        list.push_back(r);
    return list;
}

// Ports opened by the test directly, as open_port and create_port do; the driver's
// hold on their requests is switched on by each test.
class HeldRequests : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        ASSERT_EQ(vports_link(), nullptr);
        handles_before = winsim::open_handle_count();
    }
    void TearDown() override
    {
        ServiceTest::TearDown();
        for (auto &name : started)
            winsim::port_stop(name.c_str());
        EXPECT_EQ(winsim::open_handle_count(), handles_before) << "handles leaked";
        EXPECT_EQ(log.text().find("did not end"), std::string::npos);
    }
    vport *open_record(const std::string &name)
    {
        started.push_back(name);
        EXPECT_TRUE(winsim::port_start(name.c_str()));
        vport *port = vport_new();
        strcpy(port->portname, name.c_str());
        EXPECT_NE(vport_open(port), nullptr) << log.text();
        return port;
    }
    std::vector<std::string> started;
    size_t handles_before = 0;
};

TEST_F(HeldRequests, EachPendingRequestHasItsOwnOverlappedAndIsCollectedOnceCompleted)
{
    vport *port = open_record("COMH1");
    ASSERT_EQ(vports_add(port), 0);
    SerialProgram program;
    ASSERT_TRUE(program.open(root, "COMH1"));
    // The driver has seen the program once the READ completes with the open.
    ASSERT_EQ(WaitForSingleObject(port->read_event, 3000), WAIT_OBJECT_0);

    ASSERT_TRUE(winsim::port_hold_requests("COMH1", true));
    char frame[8];
    const char *parts[] = {"one,", "two,", "three"};
    for (int i = 0; i < 3; i++) {
        // The service reuses its frame buffer at once; the request must not need it.
        strcpy(frame, parts[i]);
        EXPECT_FALSE(vport_issue_write(port, frame, (DWORD)strlen(frame)));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        memset(frame, '#', sizeof frame);
        EXPECT_FALSE(vport_issue_status(port, (unsigned char)(10 + i)));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    }
    auto list = in_flight(port);
    ASSERT_EQ(list.size(), 6u) << "all six requests are in flight at once";
    std::set<OVERLAPPED *> overlappeds;
    for (port_request *r : list) {
        overlappeds.insert(&r->ov);
        EXPECT_NE(&r->ov, &port->write_overlapped);
        EXPECT_FALSE(HasOverlappedIoCompleted(&r->ov));
        EXPECT_EQ(r->ov.hEvent, port->write_overlapped.hEvent);
    }
    EXPECT_EQ(overlappeds.size(), 6u) << "no two requests share an OVERLAPPED";
    EXPECT_EQ(program.read(1, 50), "");

    ASSERT_TRUE(winsim::port_hold_requests("COMH1", false));
    for (port_request *r : in_flight(port))
        EXPECT_TRUE(HasOverlappedIoCompleted(&r->ov));
    EXPECT_EQ(program.read(13), "one,two,three") << "in the order they were issued";
    EXPECT_EQ(winsim::port_status("COMH1"), 12);
    EXPECT_EQ(in_flight(port).size(), 6u) << "completed requests stay until the next one collects them";

    EXPECT_TRUE(vport_issue_write(port, "!", 1)) << "without the hold a WRITE completes at once";
    EXPECT_EQ(port->writes, nullptr) << "nothing kept: the completed ones collected, the new one done";
    EXPECT_EQ(program.read(1), "!");
    EXPECT_TRUE(vport_issue_status(port, 1));
    EXPECT_EQ(port->writes, nullptr);
}

TEST_F(HeldRequests, GivingUpARecordWaitsUntilItsHeldRequestsAreAborted)
{
    vport *listed = open_record("COMH2");
    ASSERT_EQ(vports_add(listed), 0);
    // A record that found no channel is given up the same way, with vport_release.
    vport *unlisted = open_record("COMH3");
    // With their READs ended (as when re-arming one failed), only the held requests keep
    // the records alive: their completions come after everything else of the records.
    for (vport *port : {listed, unlisted}) {
        EXPECT_TRUE(CancelIoEx(port->hcom, &port->read_overlapped));
        ASSERT_EQ(WaitForSingleObject(port->read_event, 3000), WAIT_OBJECT_0);
    }
    ASSERT_TRUE(winsim::port_hold_requests("COMH2", true));
    ASSERT_TRUE(winsim::port_hold_requests("COMH3", true));
    for (int i = 0; i < 20; i++) {
        EXPECT_FALSE(vport_issue_write(listed, "data", 4));
        EXPECT_FALSE(vport_issue_status(listed, (unsigned char)i));
        EXPECT_FALSE(vport_issue_write(unlisted, "data", 4));
    }
    ASSERT_EQ(in_flight(listed).size(), 40u);
    ASSERT_EQ(in_flight(unlisted).size(), 20u);

    winsim::clear_calls();
    auto start = Clock::now();
    vports_remove(listed);
    EXPECT_LT(ms_since(start), 1000) << "the aborted requests end promptly";
    EXPECT_EQ(vports_link(), nullptr);
    EXPECT_EQ(winsim::call_count("CancelIoEx"), 1u);
    // A Sleep would cost every removal a timer tick (up to 15.6 ms on Windows).
    EXPECT_EQ(winsim::call_count("Sleep"), 0u) << "it waits for the completions themselves";

    // Should the cancel fail, closing the handle still ends what was issued on it; should
    // the waits fail too, the release polls rather than spins, and still frees the record
    // only once its requests have ended.
    winsim::fail_next("CancelIoEx", ERROR_NOT_FOUND);
    winsim::fail_next("WaitForMultipleObjects", ERROR_INVALID_HANDLE, 3);
    winsim::clear_calls();
    start = Clock::now();
    vport_release(unlisted);
    EXPECT_LT(ms_since(start), 1000);
    // The requests may also have ended before the first wait.
    size_t failed_waits = std::min<size_t>(winsim::call_count("WaitForMultipleObjects"), 3);
    EXPECT_GE(winsim::call_count("Sleep"), failed_waits) << "a failed wait is not retried at once";
    winsim::clear_faults();

    // Nothing of either record is left with the driver: a completion now would write
    // into freed memory.
    EXPECT_TRUE(winsim::port_hold_requests("COMH2", false));
    EXPECT_TRUE(winsim::port_hold_requests("COMH3", false));
}

TEST_F(HeldRequests, ThePortsRequestsInFlightAreCapped)
{
    vport *port = open_record("COMH4");
    ASSERT_EQ(vports_add(port), 0);
    ASSERT_TRUE(winsim::port_hold_requests("COMH4", true));
    for (int i = 0; i < 1024; i++) {
        ASSERT_FALSE(vport_issue_write(port, "x", 1));
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING) << "request " << i;
    }
    winsim::clear_calls();
    EXPECT_FALSE(vport_issue_write(port, "y", 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(vport_issue_status(port, 1)) << "STATUS requests count against the same cap";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(winsim::call_count("DeviceIoControl"), 0u) << "a dropped request never reaches the driver";
    EXPECT_NE(log.wait_for("vport(COMH4) has 1024 requests in flight, request dropped\n"), std::string::npos);
    EXPECT_EQ(in_flight(port).size(), 1024u);

    // Once the driver takes them, there is room again.
    ASSERT_TRUE(winsim::port_hold_requests("COMH4", false));
    ASSERT_TRUE(winsim::port_hold_requests("COMH4", true));
    EXPECT_FALSE(vport_issue_write(port, "z", 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(in_flight(port).size(), 1u);
    // TearDown removes the port with this request still held.
}

TEST_F(ServiceTest, ClientDataToAPortWhoseDriverHoldsRequestsIsPendingAndTheRemovalIsPrompt)
{
    seed_driver_package(root);
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    auto answer = client.ask("create_port_req", create_body("gw", "COMH5"));
    ASSERT_TRUE(answer.has_value()) << log.text();
    ASSERT_EQ(*answer, created(0));
    ASSERT_TRUE(winsim::port_hold_requests("COMH5", true));

    size_t at = 0;
    for (int i = 0; i < 5; i++) {
        std::string text = "frame" + std::to_string(i);
        ASSERT_TRUE(client.send(std::string(1, '\0') + text));
        at = log.wait_for("IOCTL_SERIAL_PEER_WRITE_CONTROL OK, write2 6 bytes(" + text + "), return 0, en=997\n", at);
        ASSERT_NE(at, std::string::npos) << log.text();
    }
    answer = client.ask("set_port_status_req", "{\"ports\": [{\"channel_id\": 0, \"port_status\": 3}]}");
    ASSERT_TRUE(answer.has_value());
    EXPECT_NE(log.wait_for("IOCTL_SERIAL_PEER_STATUS_CONTROL OK, set status=3, return 0, error_code=997\n", at),
              std::string::npos);

    auto start = Clock::now();
    answer = client.ask("remove_port_req", "{\"channel_id\": 0}");
    ASSERT_TRUE(answer.has_value()) << log.text();
    EXPECT_EQ(*answer,
              "{ \"msg_id\": \"remove_port_resp\", \"msg_body\": { \"error_code\": 0, \"error_msg\": \"\" } }");
    EXPECT_LT(ms_since(start), 2000) << "the held requests were aborted, not waited out";
    EXPECT_EQ(vports_link(), nullptr);
    EXPECT_EQ(log.text().find("did not end"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(ServiceTest, ARecordWhoseRequestsNeverEndIsKeptRatherThanFreed)
{
    ASSERT_TRUE(winsim::port_start("COMH9"));
    vport *port = vport_new();
    strcpy(port->portname, "COMH9");
    ASSERT_NE(vport_open(port), nullptr) << log.text();
    ASSERT_TRUE(winsim::port_hold_requests("COMH9", true));
    EXPECT_FALSE(vport_issue_write(port, "x", 1));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);

    // A driver that ends nothing: neither the cancel nor the close reaches it.
    winsim::fail_next("CancelIoEx", ERROR_NOT_FOUND);
    winsim::fail_next("CloseHandle", ERROR_INVALID_HANDLE);
    auto start = Clock::now();
    vport_release(port);
    EXPECT_GE(ms_since(start), 4900) << "the wait is bounded by time, not cut short";
    EXPECT_NE(log.wait_for("vport(COMH9) requests did not end after its handle was closed, record kept\n"),
              std::string::npos)
        << log.text();
    // The record and its request are still there for the completions to land in.
    EXPECT_STREQ(port->portname, "COMH9");
    ASSERT_EQ(in_flight(port).size(), 1u);

    // Once the driver lets go, a second release ends and frees everything (the leak
    // check of the sanitizer build would see what it did not).
    ASSERT_TRUE(winsim::port_hold_requests("COMH9", false));
    vport_release(port);
    winsim::port_stop("COMH9");
}

}  // namespace
