// Named pipe server against a real SOCK_SEQPACKET client.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fresh_root.h"
#include "pipe_client.h"
#include "winsim/test.h"

namespace {

const char *const kPipeName = "\\\\.\\pipe\\test_pipe";
const char *const kShort = "test_pipe";

HANDLE make_pipe(DWORD pipe_mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT)
{
    return CreateNamedPipeA(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, pipe_mode,
                            PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
}

bool signalled(HANDLE ev) { return WaitForSingleObject(ev, 0) == WAIT_OBJECT_0; }

// Waits for a pending request; returns its error (0 on success) and byte count.
DWORD finish(HANDLE pipe, OVERLAPPED &ov, DWORD *bytes = nullptr)
{
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(pipe, &ov, &n, TRUE);
    if (bytes)
        *bytes = n;
    return ok ? 0 : GetLastError();
}

struct PipeTest : ::testing::Test {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE ev = nullptr;
    OVERLAPPED ov{};
    PipeClient client;

    void SetUp() override
    {
        fresh_root();
        winsim::clear_faults();
        ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ov.hEvent = ev;
        pipe = make_pipe();
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        client.close_now();
        if (pipe != INVALID_HANDLE_VALUE)
            CloseHandle(pipe);
        CloseHandle(ev);
    }
    // Connects the client and completes the server's connect, whichever came first.
    void connect_client()
    {
        ASSERT_EQ(client.connect_to(kShort), 0);
        accept_client();
    }
    // Completes the server's connect to a client that has come or is still to come.
    void accept_client()
    {
        if (!ConnectNamedPipe(pipe, &ov)) {
            DWORD e = GetLastError();
            if (e == ERROR_IO_PENDING)
                ASSERT_EQ(finish(pipe, ov), 0u);
            else
                ASSERT_EQ(e, (DWORD)ERROR_PIPE_CONNECTED);
        }
    }
};

TEST_F(PipeTest, ClientBeforeConnectIsReportedConnectedAndOverlappedStaysUnsignalled)
{
    ASSERT_EQ(client.connect_to(kShort), 0);
    SetEvent(ev);
    EXPECT_FALSE(ConnectNamedPipe(pipe, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_CONNECTED);
    EXPECT_FALSE(signalled(ev)) << "the event is reset at issue and not signalled";

    ASSERT_TRUE(client.send_msg("hello"));
    char buf[64];
    DWORD n = 0;
    // The message may or may not have arrived before the read: both paths must give it.
    BOOL ok = ReadFile(pipe, buf, sizeof buf, &n, &ov);
    if (!ok) {
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        ASSERT_EQ(finish(pipe, ov, &n), 0u);
    }
    EXPECT_TRUE(signalled(ev));
    EXPECT_EQ(std::string(buf, n), "hello");
}

TEST_F(PipeTest, PendingConnectCompletesAndOnlyOneClientIsServed)
{
    char buf[16];
    DWORD n;
    EXPECT_FALSE(ReadFile(pipe, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_LISTENING);
    EXPECT_FALSE(WriteFile(pipe, "x", 1, &n, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_LISTENING);

    EXPECT_FALSE(ConnectNamedPipe(pipe, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(ev, 50), WAIT_TIMEOUT);

    ASSERT_EQ(client.connect_to(kShort), 0);
    EXPECT_EQ(WaitForSingleObject(ev, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(finish(pipe, ov), 0u);

    PipeClient second;
    EXPECT_EQ(second.connect_to(kShort), ECONNREFUSED) << "one instance serves one client";
    // The first client is still served.
    ASSERT_TRUE(WriteFile(pipe, "ok", 2, &n, &ov));
    std::string got;
    ASSERT_TRUE(client.recv_msg(got));
    EXPECT_EQ(got, "ok");
}

TEST_F(PipeTest, MessageBoundariesHoldBothWays)
{
    connect_client();
    ASSERT_TRUE(client.send_msg("abc"));
    ASSERT_TRUE(client.send_msg(""));
    ASSERT_TRUE(client.send_msg("defgh"));
    char buf[2048];
    std::vector<std::string> got;
    for (int i = 0; i < 3; i++) {
        DWORD n = 0;
        if (!ReadFile(pipe, buf, sizeof buf, &n, &ov)) {
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
            ASSERT_EQ(finish(pipe, ov, &n), 0u);
        }
        got.emplace_back(buf, n);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"abc", "", "defgh"}));

    DWORD n;
    ASSERT_TRUE(WriteFile(pipe, "one", 3, &n, &ov));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(signalled(ev)) << "a write that completes at once still signals";
    ASSERT_TRUE(WriteFile(pipe, "two!", 4, &n, &ov));
    std::string a, b;
    ASSERT_TRUE(client.recv_msg(a));
    ASSERT_TRUE(client.recv_msg(b));
    EXPECT_EQ(a, "one");
    EXPECT_EQ(b, "two!");

    // The service writes long JSON answers as one message.
    std::string big(300 * 1024, 'j');
    big.front() = '\xff';
    big.back() = '}';
    ASSERT_TRUE(WriteFile(pipe, big.data(), (DWORD)big.size(), &n, &ov)) << GetLastError();
    std::string bigger;
    ASSERT_TRUE(client.recv_msg(bigger));
    EXPECT_EQ(bigger, big);
}

TEST_F(PipeTest, MessageLargerThanBufferGivesMoreDataAndKeepsTheRest)
{
    connect_client();
    ASSERT_TRUE(client.send_msg("0123456789"));
    ASSERT_TRUE(client.send_msg("next"));
    char buf[4];
    DWORD n = 0;
    // A local send has queued the message when it returns, so the read completes at once.
    ResetEvent(ev);
    EXPECT_FALSE(ReadFile(pipe, buf, 4, &n, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(n, 4u);
    EXPECT_TRUE(signalled(ev)) << "ERROR_MORE_DATA is a completion";
    EXPECT_EQ(finish(pipe, ov, &n), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buf, 4), "0123");

    EXPECT_FALSE(ReadFile(pipe, buf, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(std::string(buf, 4), "4567");
    ASSERT_TRUE(ReadFile(pipe, buf, 4, &n, &ov));
    EXPECT_EQ(std::string(buf, n), "89") << "the last part completes successfully";
    ASSERT_TRUE(ReadFile(pipe, buf, 4, &n, &ov));
    EXPECT_EQ(std::string(buf, n), "next") << "the next message is untouched";

    // A pending read meets a long message too.
    char small[3];
    EXPECT_FALSE(ReadFile(pipe, small, 3, &n, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(client.send_msg("abcdefg"));
    EXPECT_EQ(finish(pipe, ov, &n), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(std::string(small, n), "abc");
    EXPECT_FALSE(ReadFile(pipe, small, 3, &n, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    ASSERT_TRUE(ReadFile(pipe, small, 3, &n, &ov));
    EXPECT_EQ(std::string(small, n), "g");
}

TEST_F(PipeTest, ClientGoingBreaksPendingAndNewReads)
{
    connect_client();
    char buf[64];
    DWORD n;
    EXPECT_FALSE(ReadFile(pipe, buf, sizeof buf, &n, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(client.send_msg("last words"));
    EXPECT_EQ(finish(pipe, ov, &n), 0u);
    EXPECT_EQ(std::string(buf, n), "last words");

    EXPECT_FALSE(ReadFile(pipe, buf, sizeof buf, &n, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    client.close_now();
    EXPECT_EQ(finish(pipe, ov, &n), (DWORD)ERROR_BROKEN_PIPE);

    EXPECT_FALSE(ReadFile(pipe, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE) << "refused at once";
    EXPECT_FALSE(WriteFile(pipe, "x", 1, &n, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_DATA);
    EXPECT_FALSE(ConnectNamedPipe(pipe, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_DATA) << "not yet disconnected";
}

TEST_F(PipeTest, ClientLeavingBeforeAnyReadIsSeenByTheFirstRead)
{
    connect_client();
    ASSERT_TRUE(client.send_msg("bye"));
    client.close_now();
    char buf[16];
    DWORD n;
    ASSERT_TRUE(ReadFile(pipe, buf, sizeof buf, &n, &ov)) << "data sent before leaving is still read";
    EXPECT_EQ(std::string(buf, n), "bye");
    EXPECT_FALSE(ReadFile(pipe, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE);
}

TEST_F(PipeTest, WritesWaitForTheClientAndGoOutInOrderFromTheBufferAtSendTime)
{
    connect_client();
    // Fill the socket until a write has to wait.
    const size_t chunk = 256 * 1024;
    std::vector<std::vector<char>> bufs;
    std::vector<OVERLAPPED> ovs(200);
    size_t immediate = 0;
    bool pending = false;
    for (size_t i = 0; i < ovs.size() && !pending; i++) {
        bufs.emplace_back(chunk, (char)('a' + i % 26));
        DWORD n;
        if (WriteFile(pipe, bufs.back().data(), (DWORD)chunk, &n, &ovs[i])) {
            immediate++;
            EXPECT_EQ(n, chunk);
        } else {
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
            pending = true;
        }
    }
    ASSERT_TRUE(pending) << "the client never pushed back";
    size_t first_pending = immediate;
    // A small write behind it waits too, even though it would fit.
    std::string tail = "tail";
    OVERLAPPED tail_ov{};
    tail_ov.hEvent = ev;
    DWORD n;
    EXPECT_FALSE(WriteFile(pipe, tail.data(), (DWORD)tail.size(), &n, &tail_ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ovs[first_pending]));
    // The pending write sends what its buffer holds when it goes out.
    std::fill(bufs[first_pending].begin(), bufs[first_pending].end(), 'Z');
    tail = "TAIL";

    std::string got;
    for (size_t i = 0; i < immediate; i++) {
        ASSERT_TRUE(client.recv_msg(got));
        ASSERT_EQ(got.size(), chunk);
        EXPECT_EQ(got[0], (char)('a' + i % 26));
    }
    ASSERT_TRUE(client.recv_msg(got));
    EXPECT_EQ(got, std::string(chunk, 'Z'));
    ASSERT_TRUE(client.recv_msg(got));
    EXPECT_EQ(got, "TAIL");
    EXPECT_EQ(finish(pipe, ovs[first_pending], &n), 0u);
    EXPECT_EQ(n, chunk);
    EXPECT_EQ(finish(pipe, tail_ov, &n), 0u);
    EXPECT_EQ(n, 4u);
}

TEST_F(PipeTest, CancelAndCloseAbortPendingRequestsAsynchronously)
{
    connect_client();
    std::vector<char> buf(64);
    DWORD n;
    EXPECT_FALSE(ReadFile(pipe, buf.data(), 64, &n, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIoEx(pipe, &ov));
    EXPECT_EQ(finish(pipe, ov), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(CancelIoEx(pipe, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);

    // The pipe stays connected; a cancelled read took nothing.
    ASSERT_TRUE(client.send_msg("after cancel"));
    ASSERT_TRUE(ReadFile(pipe, buf.data(), 64, &n, &ov));
    EXPECT_EQ(std::string(buf.data(), n), "after cancel");

    // A blocking read on a thread is cancelled too.
    std::thread t([&] {
        char b[8];
        DWORD m;
        EXPECT_FALSE(ReadFile(pipe, b, sizeof b, &m, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    });
    // Nothing else is pending, so the cancel finds the read once the thread has issued it.
    while (!CancelIoEx(pipe, nullptr)) {
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    t.join();

    // Closing the handle aborts what is pending and takes the socket file away.
    EXPECT_FALSE(ReadFile(pipe, buf.data(), 64, &n, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    OVERLAPPED wov{};
    struct stat st;
    ASSERT_EQ(stat(PipeClient::path_of(kShort).c_str(), &st), 0);
    EXPECT_TRUE(CloseHandle(pipe));
    HANDLE closed = pipe;
    pipe = INVALID_HANDLE_VALUE;
    EXPECT_EQ(finish(closed, ov), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_NE(stat(PipeClient::path_of(kShort).c_str(), &st), 0);
    EXPECT_TRUE(client.sees_end());
    EXPECT_FALSE(WriteFile(closed, "x", 1, &n, &wov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(PipeTest, DisconnectDropsTheClientAndTheNextOneIsServed)
{
    connect_client();
    char buf[64];
    DWORD n;
    EXPECT_FALSE(ReadFile(pipe, buf, sizeof buf, &n, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_TRUE(DisconnectNamedPipe(pipe));
    EXPECT_EQ(finish(pipe, ov), (DWORD)ERROR_PIPE_NOT_CONNECTED);
    EXPECT_TRUE(client.sees_end());

    EXPECT_FALSE(ReadFile(pipe, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_NOT_CONNECTED);
    EXPECT_FALSE(DisconnectNamedPipe(pipe));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_NOT_CONNECTED);
    PipeClient early;
    EXPECT_EQ(early.connect_to(kShort), ECONNREFUSED) << "not listening until ConnectNamedPipe";

    EXPECT_FALSE(ConnectNamedPipe(pipe, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    PipeClient next;
    ASSERT_EQ(next.connect_to(kShort), 0);
    EXPECT_EQ(finish(pipe, ov), 0u);
    ASSERT_TRUE(next.send_msg("second client"));
    if (!ReadFile(pipe, buf, sizeof buf, &n, &ov)) {
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        ASSERT_EQ(finish(pipe, ov, &n), 0u);
    }
    EXPECT_EQ(std::string(buf, n), "second client");

    // Disconnecting while a connect is pending ends the connect.
    EXPECT_TRUE(DisconnectNamedPipe(pipe));
    EXPECT_FALSE(ConnectNamedPipe(pipe, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_TRUE(DisconnectNamedPipe(pipe));
    EXPECT_EQ(finish(pipe, ov), (DWORD)ERROR_PIPE_NOT_CONNECTED);
}

TEST_F(PipeTest, BlockingCallsWithoutOverlapped)
{
    std::thread t([&] {
        PipeClient c;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ASSERT_EQ(c.connect_to(kShort), 0);
        ASSERT_TRUE(c.send_msg("ping"));
        std::string got;
        ASSERT_TRUE(c.recv_msg(got));
        EXPECT_EQ(got, "pong");
    });
    EXPECT_TRUE(ConnectNamedPipe(pipe, nullptr));
    char buf[8];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(pipe, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "ping");
    ASSERT_TRUE(WriteFile(pipe, "pong", 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    t.join();
}

TEST(NamedPipe, CreationChecksNamesFaultsAndOwnership)
{
    fresh_root();
    winsim::clear_faults();
    size_t handles = winsim::open_handle_count();

    winsim::fail_next("CreateNamedPipeA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(make_pipe(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    EXPECT_EQ(CreateNamedPipeA("\\\\.\\nopipe\\x", PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);

    // A socket file left by a dead server is replaced.
    mkdir((winsim::root() + "/pipe").c_str(), 0755);
    std::string path = winsim::root() + "/pipe/" + kShort;
    int stale = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(stale, (sockaddr *)&addr, sizeof addr), 0);
    close(stale);

    // The prefix is matched without regard to case.
    HANDLE p = CreateNamedPipeA("\\\\.\\PIPE\\test_pipe", PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
    ASSERT_NE(p, INVALID_HANDLE_VALUE);
    PipeClient c;
    EXPECT_EQ(c.connect_to(kShort), 0);

    // One instance per name.
    EXPECT_EQ(make_pipe(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_BUSY);

    c.close_now();
    EXPECT_TRUE(CloseHandle(p));
    HANDLE again = make_pipe();
    ASSERT_NE(again, INVALID_HANDLE_VALUE) << "the name is free again once closed";
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_EQ(winsim::open_handle_count(), handles);
}

TEST(NamedPipe, ByteModeReadsAMessageInPiecesWithoutMoreData)
{
    fresh_root();
    HANDLE p = make_pipe(PIPE_TYPE_BYTE | PIPE_READMODE_BYTE);
    ASSERT_NE(p, INVALID_HANDLE_VALUE);
    PipeClient c;
    ASSERT_EQ(c.connect_to(kShort), 0);
    OVERLAPPED ov{};
    EXPECT_FALSE(ConnectNamedPipe(p, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_CONNECTED);
    ASSERT_TRUE(c.send_msg("abcdef"));
    char buf[4];
    DWORD n = 0;
    if (!ReadFile(p, buf, 4, &n, &ov)) {
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        ASSERT_EQ(finish(p, ov, &n), 0u);
    }
    EXPECT_EQ(std::string(buf, n), "abcd");
    ASSERT_TRUE(ReadFile(p, buf, 4, &n, &ov));
    EXPECT_EQ(std::string(buf, n), "ef");
    CloseHandle(p);
}

}  // namespace

// Clients that keep connecting while the server takes one after another: a client
// whose connect() succeeded was taken by the server and gets its greeting; the others
// are refused, as Windows refuses a client that finds the instance busy. None is
// connected and then dropped without a word.
TEST_F(PipeTest, AClientThatGotInIsServedAndTheOthersAreRefused)
{
    const int rounds = 300;
    std::atomic<bool> stop{false};
    std::atomic<int> served{0}, dropped{0};
    std::string path = PipeClient::path_of(kShort);
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; t++) {
        clients.emplace_back([&] {
            while (!stop) {
                // Blocking, so that a client waits in connect() while the one slot
                // of the listener's queue is taken.
                int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
                sockaddr_un addr{};
                addr.sun_family = AF_UNIX;
                snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
                if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
                    char buf[16];
                    ssize_t n = recv(fd, buf, sizeof buf, 0);
                    if (n == 5 && memcmp(buf, "hello", 5) == 0)
                        served++;
                    else if (!stop)
                        dropped++;
                }
                close(fd);
            }
        });
    }
    for (int i = 0; i < rounds; i++) {
        ASSERT_NO_FATAL_FAILURE(accept_client());
        OVERLAPPED wov{};
        wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!WriteFile(pipe, "hello", 5, nullptr, &wov)) {
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        }
        DWORD written = 0;
        GetOverlappedResult(pipe, &wov, &written, TRUE);
        CloseHandle(wov.hEvent);
        DisconnectNamedPipe(pipe);
    }
    stop = true;
    // Clients still waiting in connect() are let go by the instance's end.
    CloseHandle(pipe);
    pipe = INVALID_HANDLE_VALUE;
    for (auto &t : clients)
        t.join();
    EXPECT_GE(served.load(), rounds - 1);
    EXPECT_EQ(dropped.load(), 0);
}

// A thread that waits pass after pass serves the pipe's socket itself while it waits.
// Whatever it waits for must still wake it, and requests of other threads must still
// complete, both while it waits and once it has stopped waiting.
TEST_F(PipeTest, AThreadThatServesTheSocketInItsWaitMissesNothingAndHoldsUpNobody)
{
    connect_client();
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED rov{};
    rov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buf[64];
    using Clock = std::chrono::steady_clock;
    auto ms_since = [](Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
    };

    // Woken by another thread's SetEvent, and by the client's message completing its read.
    std::atomic<int> stage{0};
    std::atomic<DWORD> got{0};
    std::thread waiter([&] {
        HANDLE both[2] = {wake, rov.hEvent};
        got = WaitForMultipleObjects(2, both, FALSE, 5000);
        stage = 1;
        if (!ReadFile(pipe, buf, sizeof buf, nullptr, &rov) && GetLastError() != ERROR_IO_PENDING)
            return;
        got = WaitForMultipleObjects(2, both, FALSE, 5000);
        stage = 2;
        // Busy now, waiting for nothing, while another thread's read is pending.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        stage = 3;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto set = Clock::now();
    SetEvent(wake);
    while (stage < 1)
        std::this_thread::yield();
    EXPECT_LT(ms_since(set), 1000) << "SetEvent did not wake the wait";
    EXPECT_EQ(got.load(), WAIT_OBJECT_0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto sent = Clock::now();
    ASSERT_TRUE(client.send_msg("one"));
    while (stage < 2)
        std::this_thread::yield();
    EXPECT_LT(ms_since(sent), 1000) << "the message did not end the wait";
    EXPECT_EQ(got.load(), WAIT_OBJECT_0 + 1);
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(pipe, &rov, &n, FALSE));
    EXPECT_EQ(std::string(buf, n), "one");

    // The waiting thread is busy: this thread's read completes all the same, long before
    // that thread waits again.
    ResetEvent(rov.hEvent);
    ASSERT_FALSE(ReadFile(pipe, buf, sizeof buf, nullptr, &rov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    sent = Clock::now();
    ASSERT_TRUE(client.send_msg("two"));
    ASSERT_EQ(WaitForSingleObject(rov.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_LT(ms_since(sent), 200) << "the read waited for the busy thread";
    EXPECT_EQ(stage.load(), 2);
    ASSERT_TRUE(GetOverlappedResult(pipe, &rov, &n, FALSE));
    EXPECT_EQ(std::string(buf, n), "two");
    waiter.join();
    CloseHandle(rov.hEvent);
    CloseHandle(wake);
}

// A thread that has been serving the descriptors in its waits and then polls for a
// completion with Sleep (as the service does while it puts away the pipe of a service
// thread that ended) sees it within its first sleep, not once the I/O thread has
// noticed that it stopped waiting.
TEST_F(PipeTest, AThreadPollingWithSleepSeesItsCancelledRequestEndAtOnce)
{
    connect_client();
    HANDLE idle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(idle, 20), (DWORD)WAIT_TIMEOUT);
    OVERLAPPED rov{};
    rov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buf[16];
    ASSERT_FALSE(ReadFile(pipe, buf, sizeof buf, nullptr, &rov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(CancelIoEx(pipe, &rov));
    int sleeps = 0;
    while (!HasOverlappedIoCompleted(&rov) && sleeps < 1000) {
        Sleep(1);
        sleeps++;
    }
    // None at all when the I/O thread, having taken the role back meanwhile (a loaded
    // machine), ended the request before the first sleep.
    EXPECT_LE(sleeps, 1);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(pipe, &rov, &n, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    CloseHandle(rov.hEvent);
    CloseHandle(idle);
}

// Timed waits and sleeps last their time, in the thread that serves the descriptors and
// in one that sleeps beside it; a wait for all objects takes none until all are set.
TEST_F(PipeTest, TimedWaitsAndSleepsLastTheirTimeAndWaitAllTakesAllOrNothing)
{
    using Clock = std::chrono::steady_clock;
    auto timed = [](auto &&fn) {
        auto t0 = Clock::now();
        fn();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    };
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<long long> other_wait{0}, other_sleep{0};
    std::thread other([&] {
        other_wait = timed([&] { EXPECT_EQ(WaitForSingleObject(never, 80), (DWORD)WAIT_TIMEOUT); });
        other_sleep = timed([] { Sleep(40); });
    });
    EXPECT_GE(timed([&] { EXPECT_EQ(WaitForSingleObject(never, 60), (DWORD)WAIT_TIMEOUT); }), 60);
    EXPECT_GE(timed([] { Sleep(30); }), 30);
    other.join();
    EXPECT_GE(other_wait.load(), 80);
    EXPECT_GE(other_sleep.load(), 40);

    HANDLE both[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    SetEvent(both[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 30), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(both[0], 0), WAIT_OBJECT_0) << "a wait for all took one event alone";
    SetEvent(both[0]);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        SetEvent(both[1]);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 5000), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), (DWORD)WAIT_TIMEOUT) << "both auto-reset events were taken";
    CloseHandle(both[0]);
    CloseHandle(both[1]);
    CloseHandle(never);
}
