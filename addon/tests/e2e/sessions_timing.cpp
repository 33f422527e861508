// A program that opens a port, writes and closes it again and again, as a script or a
// polling tool does: the client must see every open, every byte and every close in the
// order the program did them, each session's bytes inside that session.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

using namespace e2e;

namespace {

// The serial program: python3, through pyserial where it is installed, else plain file
// calls on the terminal. Each cycle writes "<i>".
const char cycles_script[] = R"(
import os, sys, time
path, count, gap = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]) / 1000.0
try:
    import serial
except ImportError:
    serial = None
for i in range(count):
    data = b"<%d>" % i
    if serial:
        s = serial.Serial(path, 115200)
        s.write(data)
        s.close()
    else:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        os.write(fd, data)
        os.close(fd)
    if gap > 0:
        time.sleep(gap)
)";

// Runs the program to its end; its exit status.
int run_cycles(const std::string &terminal, int count, int gap_ms)
{
    std::string n = std::to_string(count), gap = std::to_string(gap_ms);
    const char *argv[] = {"python3", "-c", cycles_script, terminal.c_str(), n.c_str(), gap.c_str(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "python3", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Session {
    bool closed = false;
    std::string data;
};

// Reads what the client gets until `count` sessions closed, checking as it goes that
// opens and closes alternate and no byte falls outside a session.
std::vector<Session> collect_sessions(PipeClient &client, int channel, int count)
{
    const std::string open_note = notify("open_port_notify", channel);
    const std::string close_note = notify("close_port_notify", channel);
    std::vector<Session> sessions;
    bool open = false;
    while ((int)sessions.size() < count || open) {
        auto frame = client.recv(10000);
        if (!frame) {
            ADD_FAILURE() << "stream stopped after " << sessions.size() << " sessions";
            break;
        }
        if (!frame->empty() && (*frame)[0] == '\xFF') {
            std::string text = frame->substr(1);
            if (text == open_note) {
                EXPECT_FALSE(open) << "two opens without a close, session " << sessions.size();
                sessions.emplace_back();
                open = true;
            } else if (text == close_note) {
                EXPECT_TRUE(open) << "a close without an open after session " << sessions.size();
                if (open)
                    sessions.back().closed = true;
                open = false;
            } else {
                ADD_FAILURE() << "unexpected message " << text;
            }
            continue;
        }
        EXPECT_EQ((unsigned char)(*frame)[0], channel);
        EXPECT_TRUE(open) << "bytes outside a session: " << frame->substr(1);
        if (open)
            sessions.back().data += frame->substr(1);
    }
    return sessions;
}

TEST(Sessions, EveryOpenByteAndCloseArrivesInTheProgramsOrder)
{
    TempRoot root;
    seed_driver_package(root.path);
    PipeClient client;
    auto node = start_service(root.path, client);
    ASSERT_EQ(client.ask("create_port_req", create_body("gw-1", "COM7")), created(0)) << node->output();
    const std::string terminal = root.path + "/dev/COM7";
    const int count = 200;

    std::string expected_stream;
    for (int i = 0; i < count; i++)
        expected_stream += "<" + std::to_string(i) + ">";

    for (int gap : {10, 2, 1, 0}) {
        SCOPED_TRACE("gap " + std::to_string(gap) + " ms");
        // A program that waits between sessions finds each on a terminal of its own,
        // provided the driver's link mover gets a processor within the gap. Where the
        // machine is loaded far beyond its processors, or built with the sanitizers, a
        // thread that has slept can take over a millisecond to wake, so at 1 ms the first
        // session after a pause may still share its terminal with the next: from 2 ms on
        // every session must be intact, at 1 ms all but a few. Each such gap has three
        // runs. One that reopens at once may share a terminal with the session before.
        int best = -1;
        for (int attempt = 0; attempt < (gap >= 1 ? 3 : 1) && best < count; attempt++) {
            ASSERT_EQ(run_cycles(terminal, count, gap), 0);
            std::vector<Session> sessions = collect_sessions(client, 0, count);

            // Whatever the pace: every session reported and closed, no byte lost, moved or doubled.
            ASSERT_EQ(sessions.size(), (size_t)count);
            std::string stream, mixed;
            int intact = 0;
            for (int i = 0; i < count; i++) {
                EXPECT_TRUE(sessions[i].closed);
                stream += sessions[i].data;
                if (sessions[i].data == "<" + std::to_string(i) + ">")
                    intact++;
                else if (mixed.size() < 200)
                    mixed += " " + std::to_string(i) + ":" + sessions[i].data;
            }
            EXPECT_EQ(stream, expected_stream);
            std::printf("sessions intact with %d ms between them: %d of %d%s\n", gap, intact, count,
                        mixed.c_str());
            best = std::max(best, intact);
        }
        if (gap >= 2) {
            EXPECT_EQ(best, count);
        } else if (gap == 1) {
            EXPECT_GE(best, count - 10);
        }
    }
    EXPECT_FALSE(client.recv(200)) << "nothing after the last close";
}

}  // namespace
