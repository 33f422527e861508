// The service under stress, in process against the stand-in: whatever the system does
// to the pipe, a client is served afterwards; a client that stops reading loses
// nothing and holds the ports' programs up instead; ports past the wait set are told.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>

#include <atomic>
#include <memory>
#include <vector>

#include "service_fixture.h"

using namespace e2e;

namespace {

const size_t npos = std::string::npos;

std::string get_all_ports() { return request("get_all_ports_req", "{}"); }

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != npos; at = text.find(needle, at + needle.size()))
        n++;
    return n;
}

// A client that connects and is answered: the proof that the pipe is served.
void expect_served(const std::string &root, LogCapture &log)
{
    PipeClient client;
    ASSERT_TRUE(client.connect(root)) << log.text();
    EXPECT_TRUE(client.ask("get_all_ports_req", "{}").has_value()) << log.text();
}

// ------------------------------------------------------------------ the pipe never wedges

using PipeRecovery = ServiceTest;

TEST_F(PipeRecovery, ConnectRefusedWithNoDataAnyNumberOfTimesInARowIsRetried)
{
    // A client that came and went before each connect call.
    winsim::fail_next("ConnectNamedPipe", ERROR_NO_DATA, 6);
    start();
    ASSERT_NE(log.wait_for("now wait pipe client connect\n"), npos) << log.text();
    std::string out = log.text();
    EXPECT_EQ(count_of(out, "ConnectNamedPipe failed with 232.\n"), 6u) << out;
    // Each retry is the reconnect: disconnect, then the connect with its own lines.
    EXPECT_EQ(count_of(out, "will wait client connect\nConnectNamedPipe failed with 232.\n"), 5u) << out;
    EXPECT_EQ(winsim::call_count("ConnectNamedPipe"), 7u);
    expect_served(root, log);
}

TEST_F(PipeRecovery, AConnectThatKeepsFailingBacksOffInsteadOfSpinning)
{
    winsim::fail_next("ConnectNamedPipe", ERROR_ACCESS_DENIED, 100000);
    start();
    ASSERT_NE(log.wait_for("ConnectNamedPipe failed with 5.\n"), npos) << log.text();
    usleep(1500 * 1000);
    // Delays of 0, 10, 20, 40 ... up to 1000 ms: about nine attempts in 1.5 s; a loop
    // that spins would make thousands.
    size_t attempts = winsim::call_count("ConnectNamedPipe");
    EXPECT_GE(attempts, 4u);
    EXPECT_LE(attempts, 15u);
    EXPECT_LE(winsim::call_count("WaitForMultipleObjects"), 40u) << "passes without anything to do";
    winsim::clear_faults();
    // The next attempt, at most a second away, takes.
    expect_served(root, log);
}

TEST_F(PipeRecovery, AReadRefusedAfterAClientFoundConnectedAgainIsRetried)
{
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    size_t at = wait_client();
    ASSERT_NE(at, npos);
    ASSERT_TRUE(client.ask("get_all_ports_req", "{}").has_value());
    // After the next frame: the read is refused, the disconnect fails so the reconnect
    // finds the client connected again, and its first read is refused too.
    winsim::fail_next("ReadFile", ERROR_ACCESS_DENIED, 2);
    winsim::fail_next("DisconnectNamedPipe", ERROR_INVALID_HANDLE, 2);
    ASSERT_TRUE(client.ask("get_all_ports_req", "{}").has_value()) << log.text();
    // The first retry comes at once; the second after a short timed wait, during which
    // the loop waits with the pipe's entry alone.
    at = log.wait_for("pipe server ReadFile fail, error_no=5\n"
                      "DisconnectNamedPipe failed with 6.\nwill wait client connect\nERROR_PIPE_CONNECTED\n"
                      "pipe server ReadFile fail, error_no=5\n"
                      "set_events, events_count=1\n"
                      "DisconnectNamedPipe failed with 6.\nwill wait client connect\nERROR_PIPE_CONNECTED\n"
                      "set_events, events_count=1\n",
                      at);
    EXPECT_NE(at, npos) << log.text();
    // The same client is read again and served on.
    EXPECT_TRUE(client.ask("get_all_ports_req", "{}").has_value()) << log.text();
}

TEST_F(PipeRecovery, AFailedDisconnectAfterTheClientWentIsFollowedByAServedClient)
{
    start();
    {
        PipeClient first;
        ASSERT_TRUE(first.connect(root));
        ASSERT_TRUE(first.ask("get_all_ports_req", "{}").has_value());
        winsim::fail_next("DisconnectNamedPipe", ERROR_INVALID_HANDLE);
    }
    // The gone client is still on the instance: the connect says so with 232, and the
    // next reconnect clears it.
    size_t at = log.wait_for("DisconnectNamedPipe failed with 6.\nwill wait client connect\n"
                             "ConnectNamedPipe failed with 232.\n");
    ASSERT_NE(at, npos) << log.text();
    EXPECT_NE(log.wait_for("will wait client connect\nnow wait pipe client connect\n", at), npos) << log.text();
    expect_served(root, log);
}

TEST_F(PipeRecovery, ConnectCompletionsThatFailOneAfterAnotherAreStartedOver)
{
    start();
    ASSERT_NE(log.wait_for("now wait pipe client connect\n"), npos);
    size_t at = 0;
    for (int i = 0; i < 3; i++) {
        winsim::fail_next("GetOverlappedResult", ERROR_OPERATION_ABORTED);
        PipeClient client;
        ASSERT_TRUE(client.connect(root));
        at = log.wait_for("GetOverlappedResult failed, error_no=995\n", at);
        ASSERT_NE(at, npos) << "failure " << i << "\n" << log.text();
        ASSERT_NE(log.wait_for("now wait pipe client connect\n", at), npos) << log.text();
    }
    expect_served(root, log);
}

// Many clients connect and close at once, from several threads, while the service
// keeps taking them; then a normal client must be served. VSP_STORM_CLIENTS sets how
// many (for a long run by hand).
TEST_F(PipeRecovery, AStormOfClientsThatConnectAndCloseAtOnceLeavesThePipeServed)
{
    const char *env = getenv("VSP_STORM_CLIENTS");
    const int clients = env ? atoi(env) : 300;
    start();
    ASSERT_NE(log.wait_for("now wait pipe client connect\n"), npos);
    std::atomic<int> next{0}, connected{0};
    std::string path = root + "/pipe/qor_vport_pipe";
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&] {
            while (next.fetch_add(1) < clients) {
                int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
                sockaddr_un addr{};
                addr.sun_family = AF_UNIX;
                snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
                // Each storm client tries until it gets in (or gives up after a while),
                // so that the service has to take every one of them.
                for (int attempt = 0; attempt < 2000; attempt++) {
                    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
                        connected++;
                        break;
                    }
                    usleep(200);
                }
                close(fd);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    printf("storm: %d of %d clients connected and closed at once\n", connected.load(), clients);
    EXPECT_GT(connected.load(), clients / 2);
    expect_served(root, log);
}

// ------------------------------------------------------------------ flow control

// A program that writes `bytes` to a port's terminal as fast as the terminal takes
// them; it never blocks for good, so a service that stops reading cannot hang the test.
class Writer {
public:
    Writer(const std::string &terminal, const std::string &bytes) : bytes_(bytes)
    {
        fd_ = ::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t;
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Writer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool opened() const { return fd_ >= 0; }
    void start()
    {
        thread_ = std::thread([this] {
            while (!stop_ && written_ < bytes_.size()) {
                pollfd p{fd_, POLLOUT, 0};
                if (poll(&p, 1, 100) <= 0)
                    continue;
                ssize_t n = ::write(fd_, bytes_.data() + written_, bytes_.size() - written_);
                if (n > 0)
                    written_ += (size_t)n;
                else if (n < 0 && errno != EAGAIN)
                    break;
            }
        });
    }
    size_t written() const { return written_; }

private:
    std::string bytes_;
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> written_{0};
};

class FlowControl : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        pipe_queue_high_water = 256 * 1024;
        pipe_queue_low_water = 64 * 1024;
    }
    void TearDown() override
    {
        writer.reset();
        ServiceTest::TearDown();
        pipe_queue_high_water = saved_high;
        pipe_queue_low_water = saved_low;
    }
    // Starts the service with one port and a connected client, and a program that
    // writes `bytes` to the port; the open notification has been read. The stand-in
    // driver keeps a port's terminal for the whole process: each test names its own.
    void flood(PipeClient &client, const std::string &port_name, const std::string &bytes)
    {
        seed_virtual_port(root, "ROOT#PORTS#0000", port_name, "gw");
        start();
        ASSERT_TRUE(client.connect(root));
        ASSERT_NE(log.wait_for("set_events, events_count=2\n"), npos) << log.text();
        writer = std::make_unique<Writer>(root + "/dev/" + port_name, bytes);
        ASSERT_TRUE(writer->opened());
        ASSERT_TRUE(client.recv_json().has_value()) << "open_port_notify";
        writer->start();
    }
    std::unique_ptr<Writer> writer;
    size_t saved_high = pipe_queue_high_water;
    size_t saved_low = pipe_queue_low_water;
};

TEST_F(FlowControl, AClientThatStallsFiveSecondsGetsEveryByteAndTheProgramIsHeldUp)
{
    // More than the pipe itself holds, so that the program must be held up.
    const size_t total = 8u << 20;
    std::string bytes = byte_pattern(total);
    PipeClient client;
    ASSERT_NO_FATAL_FAILURE(flood(client, "COM5", bytes));

    // The client stalls; a request it sends meanwhile is still taken and handled.
    usleep(2500 * 1000);
    size_t mark = log.text().size();
    ASSERT_TRUE(client.send_json(get_all_ports()));
    EXPECT_NE(log.wait_for("get msg: get_all_ports_req\n", mark), npos) << "the dispatcher runs during a stall";
    usleep(2500 * 1000);
    size_t written_in_stall = writer->written();
    size_t queued = pipe_writes_pending_bytes();
    EXPECT_LT(written_in_stall, total) << "the program was never slowed down";
    // The queue is bounded: the mark, plus at most the one READ that completed meanwhile
    // and the answer.
    EXPECT_LE(queued, pipe_queue_high_water + 2 * 4096);

    // Now it reads: every byte arrives, in order, and the answer among the data.
    std::string got;
    got.reserve(total);
    int answers = 0;
    while (got.size() < total) {
        auto frame = client.recv(10000);
        ASSERT_TRUE(frame.has_value()) << got.size() << " of " << total << " bytes";
        if ((unsigned char)(*frame)[0] == 0xFF) {
            answers++;
            continue;
        }
        ASSERT_EQ((*frame)[0], '\0');
        got.append(*frame, 1, npos);
    }
    EXPECT_EQ(answers, 1);
    EXPECT_TRUE(got == bytes) << "the bytes differ";
    printf("stall: %zu bytes written by the program during a 5 s stall, %zu queued in the service, "
           "%zu of %zu delivered afterwards\n",
           written_in_stall, queued, got.size(), total);
    EXPECT_EQ(log.text().find("dropped"), npos);
}

TEST_F(FlowControl, AReadingClientIsAnsweredWhileAPortFloodsIt)
{
    const size_t total = 2u << 20;
    PipeClient client;
    ASSERT_NO_FATAL_FAILURE(flood(client, "COM6", byte_pattern(total)));
    size_t data = 0;
    int asked = 0, answered = 0;
    while (data < total) {
        if (data >= (size_t)asked * (total / 8) && asked < 8) {
            ASSERT_TRUE(client.send_json(get_all_ports()));
            asked++;
        }
        auto frame = client.recv(10000);
        ASSERT_TRUE(frame.has_value()) << data << " of " << total << " bytes";
        if ((unsigned char)(*frame)[0] == 0xFF)
            answered++;
        else
            data += frame->size() - 1;
    }
    auto last = client.recv_json(10000);
    while (last.has_value() && answered < asked) {
        answered++;
        last = client.recv_json(2000);
    }
    EXPECT_EQ(data, total);
    EXPECT_EQ(answered, asked);
}

TEST_F(FlowControl, AClientThatSendsWithoutReadingGetsEveryAnswerAndTheQueueStaysBounded)
{
    pipe_queue_high_water = 16 * 1024;
    pipe_queue_low_water = 4 * 1024;
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    ASSERT_NE(wait_client(), npos);
    // Far more answers than the pipe holds while nobody reads them; the sender blocks
    // when the service stops reading it, so it runs on a thread of its own.
    const int requests = 30000;
    std::atomic<int> sent{0};
    std::string req = std::string(1, '\xFF') + get_all_ports();
    std::thread sender([&] {
        for (int i = 0; i < requests && client.send(req); i++)
            sent++;
    });
    size_t largest = 0;
    for (int i = 0; i < 40; i++) {
        usleep(50 * 1000);
        largest = std::max(largest, pipe_writes_pending_bytes());
    }
    EXPECT_LE(largest, 2 * pipe_queue_high_water + 4096);
    int answers = 0;
    for (;;) {
        auto answer = client.recv_json(3000);
        if (!answer)
            break;
        ASSERT_EQ(*answer, "{ \"msg_id\": \"get_all_ports_resp\", \"msg_body\": { \"vports\": [ ] } }")
            << "a frame was overwritten while its write was pending";
        answers++;
    }
    sender.join();
    EXPECT_EQ(sent.load(), requests);
    EXPECT_EQ(answers, requests) << "answers were dropped";
}

// ------------------------------------------------------------------ wait set full

using WaitSetFull = ServiceTest;

TEST_F(WaitSetFull, PortsPastTheSixtyThirdAreLoggedOnceEach)
{
    for (int i = 0; i < 65; i++) {
        char file[32], name[16];
        snprintf(file, sizeof file, "ROOT#PORTS#%04d", i);
        snprintf(name, sizeof name, "COM%d", 100 + i);
        seed_virtual_port(root, file, name, "gw");
    }
    start();
    PipeClient client;
    ASSERT_TRUE(client.connect(root));
    size_t at = log.wait_for("set_events, events_count=64\n", 0, 20000);
    ASSERT_NE(at, npos) << log.text();
    // Several passes more.
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(client.ask("get_all_ports_req", "{}").has_value());
    std::string out = log.text();
    EXPECT_EQ(count_of(out, "vport(COM163) is not served: the wait set is full (63 ports)\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "vport(COM164) is not served: the wait set is full (63 ports)\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "is not served"), 2u) << out;
    EXPECT_NE(out.find("vport(COM164) is not served: the wait set is full (63 ports)\n"
                       "set_events, events_count=64\n"),
              npos)
        << out;
}

}  // namespace
