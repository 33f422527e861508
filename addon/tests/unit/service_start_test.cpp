// Starting the service as the modules' JavaScript functions do: one service thread at a
// time, and a new one once the last has ended, on state put back as it was at load.
#include "service_fixture.h"

using namespace e2e;

namespace {

class ServiceStart : public ServiceTest {
protected:
    void TearDown() override
    {
        end_service();
        ServiceTest::TearDown();
    }

    // Makes the running service's next wait fail and waits until its thread has ended.
    bool end_service()
    {
        if (!service_running())
            return true;
        winsim::fail_next("WaitForMultipleObjects", ERROR_INVALID_HANDLE);
        for (int i = 0; i < 200 && service_running(); i++) {
            if (oReadOverlap.hEvent)
                SetEvent(oReadOverlap.hEvent);
            Sleep(25);
        }
        return !service_running();
    }

    size_t count(const std::string &needle)
    {
        std::string text = log.text();
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            n++;
        return n;
    }

    std::string listing()
    {
        PipeClient client;
        if (!client.connect(root))
            return "<no pipe>";
        return client.ask("get_all_ports_req", "{}").value_or("<no answer>");
    }
};

const std::string kOnePort = "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ { \"gateway_id\": "
                             "\"gw\", \"portname\": \"SSA\", \"channel_id\": 0 } ] } }";

TEST_F(ServiceStart, AStartWhileTheServiceRunsStartsNothingAndAnEndedOneCanStartAgain)
{
    seed_driver_package(root);
    seed_virtual_port(root, "ROOT#PORTS#0000", "SSA", "gw");

    ASSERT_EQ(service_start(), SERVICE_STARTED);
    size_t up = log.wait_for("now wait pipe client connect\n");
    ASSERT_NE(up, std::string::npos) << log.text();
    EXPECT_TRUE(service_running());
    EXPECT_EQ(service_start(), SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(service_start(), SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(listing(), kOnePort);
    EXPECT_EQ(count("begin vports_init"), 1u);
    HANDLE first_port = vports[0]->hcom;

    ASSERT_TRUE(end_service()) << log.text();
    size_t ended = log.wait_for("Index out of range.\n", up);
    ASSERT_NE(ended, std::string::npos);

    // The new service takes the same port up again, on a pipe that serves as before.
    // (The first service's pipe also waited for a client again once the listing's
    // client left: only a line after its end is the new service's.)
    winsim::clear_calls();
    ASSERT_EQ(service_start(), SERVICE_STARTED);
    ASSERT_NE(log.wait_for("now wait pipe client connect\n", ended), std::string::npos) << log.text();
    EXPECT_EQ(count("begin vports_init"), 2u);
    auto closed = winsim::handles_passed_to("CloseHandle");
    EXPECT_NE(std::find(closed.begin(), closed.end(), first_port), closed.end())
        << "the ended service's port was released before the new one started";
    EXPECT_EQ(listing(), kOnePort);
    EXPECT_EQ(service_start(), SERVICE_ALREADY_RUNNING);
}

TEST_F(ServiceStart, AThreadThatCannotBeCreatedLeavesItsErrorAndTheNextStartWorks)
{
    winsim::fail_next("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(service_start(), SERVICE_START_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(service_running());
    EXPECT_EQ(service_start(), SERVICE_STARTED);
    EXPECT_NE(log.wait_for("now wait pipe client connect\n"), std::string::npos) << log.text();
}

}  // namespace
