// The log's buffering: lines of the holding thread stay back until the flush point or a
// full buffer, go out in one write per burst, and never mix with other threads' lines.
// Standard output is a SOCK_SEQPACKET socket during each test: every write(2) arrives as
// one message, so the messages tell how many writes there were and what each held.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "addon/log.h"

namespace {

class StdoutWrites {
public:
    StdoutWrites()
    {
        fflush(stdout);
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0)
            abort();
        int big = 4 << 20;
        setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        saved_ = dup(STDOUT_FILENO);
        dup2(sv[0], STDOUT_FILENO);
        ::close(sv[0]);
        reader_ = sv[1];
        fcntl(reader_, F_SETFL, O_NONBLOCK);
    }
    ~StdoutWrites()
    {
        restore();
        ::close(reader_);
    }
    // Puts the real standard output back (before any assertion prints).
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    // The writes that arrived since the last call, one string each.
    std::vector<std::string> take()
    {
        std::vector<std::string> out;
        std::vector<char> buf(1 << 17);
        for (;;) {
            ssize_t n = recv(reader_, buf.data(), buf.size(), 0);
            if (n < 0)
                break;
            out.emplace_back(buf.data(), (size_t)n);
        }
        return out;
    }

private:
    int saved_ = -1;
    int reader_ = -1;
};

std::string joined(const std::vector<std::string> &writes)
{
    std::string all;
    for (auto &w : writes)
        all += w;
    return all;
}

// Runs `body` on a thread of its own that holds its lines, as the service thread does.
template <typename F> void on_holding_thread(F body)
{
    std::thread t([&] {
        vsp_log_hold_lines();
        body();
    });
    t.join();
}

TEST(Log, HeldLinesWaitForTheFlushAndThenGoOutInOneWrite)
{
    StdoutWrites out;
    std::vector<std::string> before, after;
    on_holding_thread([&] {
        vsp_log("get msg: %s\n", "get_all_ports_req");
        vsp_log("WaitForMultipleObjects return ,index = %d\n", 3);
        vsp_log("vport(%s) opened\n", "COM7");
        before = out.take();
        vsp_log_flush();
        after = out.take();
        vsp_log_flush();  // nothing held: no empty write
    });
    std::vector<std::string> rest = out.take();
    out.restore();
    EXPECT_TRUE(before.empty()) << joined(before);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0], "get msg: get_all_ports_req\nWaitForMultipleObjects return ,index = 3\nvport(COM7) opened\n");
    EXPECT_TRUE(rest.empty());
}

TEST(Log, OtherThreadsWriteAtOnceBehindWhatIsHeld)
{
    StdoutWrites out;
    std::vector<std::string> direct;
    on_holding_thread([&] { vsp_log("held %d\n", 1); });
    vsp_log("vsp_init %s\n", "called");
    direct = out.take();
    on_holding_thread([&] { vsp_log("held %d\n", 2); });
    std::vector<std::string> held = out.take();
    vsp_log_flush();
    std::vector<std::string> flushed = out.take();
    out.restore();
    // The line of a writing-through thread takes the held lines along, in logged order.
    ASSERT_EQ(direct.size(), 1u);
    EXPECT_EQ(direct[0], "held 1\nvsp_init called\n");
    EXPECT_TRUE(held.empty());
    ASSERT_EQ(flushed.size(), 1u);
    EXPECT_EQ(flushed[0], "held 2\n");
}

TEST(Log, AFullBufferGoesOutBeforeTheLineThatDoesNotFitAndLongLinesStayWhole)
{
    StdoutWrites out;
    std::string expected;
    std::vector<std::string> before_flush, after_flush;
    std::string longline(3 * VSP_LOG_HELD_MAX, 'x');
    on_holding_thread([&] {
        for (int i = 0; i < 200; i++) {
            char line[64];
            snprintf(line, sizeof line, "line %03d of the burst, padded to some length ....\n", i);
            expected += line;
            vsp_log("%s", line);
        }
        vsp_log("%s\n", longline.c_str());
        expected += longline + "\n";
        vsp_log("after the long one\n");
        expected += "after the long one\n";
        before_flush = out.take();
        vsp_log_flush();
        after_flush = out.take();
    });
    out.restore();
    // 200 lines of 51 bytes fill the buffer twice: those writes come at once, each
    // ending on a line; the long line follows whole; the last line waits for the flush.
    ASSERT_GE(before_flush.size(), 3u);
    for (size_t i = 0; i < before_flush.size(); i++) {
        if (before_flush[i].find('x') != std::string::npos)
            continue;  // part of the long line
        EXPECT_LE(before_flush[i].size(), (size_t)VSP_LOG_HELD_MAX);
        EXPECT_EQ(before_flush[i].back(), '\n');
    }
    ASSERT_EQ(after_flush.size(), 1u);
    EXPECT_EQ(after_flush[0], "after the long one\n");
    EXPECT_EQ(joined(before_flush) + joined(after_flush), expected);
}

TEST(Log, LinesOfTwoThreadsNeverMixAndKeepEachThreadsOrder)
{
    StdoutWrites out;
    const int lines = 3000;
    std::string all;
    std::thread service([&] {
        vsp_log_hold_lines();
        for (int i = 0; i < lines; i++) {
            vsp_log("service line %d with some words in it\n", i);
            if (i % 37 == 0)
                vsp_log_flush();
        }
        vsp_log_flush();
    });
    std::thread js([&] {
        for (int i = 0; i < lines; i++)
            vsp_log("javascript thread line %d\n", i);
    });
    // Drain while they log, so that the socket never fills up.
    std::atomic<bool> done{false};
    std::thread drain([&] {
        while (!done) {
            all += joined(out.take());
            usleep(1000);
        }
        all += joined(out.take());
    });
    service.join();
    js.join();
    done = true;
    drain.join();
    out.restore();
    int next_service = 0, next_js = 0;
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "unterminated: " << all.substr(at);
        std::string line = all.substr(at, end - at);
        at = end + 1;
        if (line.rfind("service", 0) == 0)
            ASSERT_EQ(line, "service line " + std::to_string(next_service++) + " with some words in it");
        else
            ASSERT_EQ(line, "javascript thread line " + std::to_string(next_js++));
    }
    EXPECT_EQ(next_service, lines);
    EXPECT_EQ(next_js, lines);
}

}  // namespace
