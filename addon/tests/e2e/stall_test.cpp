// A client that stops reading, with the module in a real node and a real program
// writing to the port's terminal: the program is held up, and every byte arrives once
// the client reads again.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

extern char **environ;

using namespace e2e;

namespace {

const size_t npos = std::string::npos;

TEST(Stall, AProgramWritingToAClientThatStallsFiveSecondsIsHeldUpAndEveryByteArrives)
{
    TempRoot root;
    seed_driver_package(root.path);
    PipeClient client;
    auto node = start_service(root.path, client);
    ASSERT_EQ(client.ask("create_port_req", create_body("gw-1", "COM7")), created(0)) << node->output();

    // Well beyond what the pipe, the service's queue and the driver hold together.
    const size_t total = 16u << 20;
    std::string bytes = byte_pattern(total);
    std::string file = root.path + "/stream.bin";
    write_file(file, bytes);
    std::string terminal = root.path + "/dev/COM7";
    const char *argv[] = {"sh", "-c", "exec cat \"$0\" > \"$1\"", file.c_str(), terminal.c_str(), nullptr};
    pid_t program;
    ASSERT_EQ(posix_spawnp(&program, "sh", nullptr, nullptr, const_cast<char **>(argv), environ), 0);

    // The client stalls for 5 s, then takes a look at the program.
    sleep(5);
    int status = 0;
    bool held_up = waitpid(program, &status, WNOHANG) == 0;
    EXPECT_TRUE(held_up) << "the program wrote everything while nobody read";

    std::string got;
    got.reserve(total);
    std::vector<std::string> messages;
    while (got.size() < total) {
        auto frame = client.recv(15000);
        ASSERT_TRUE(frame.has_value()) << got.size() << " of " << total << " bytes\n" << node->output().substr(0, 4000);
        if ((unsigned char)(*frame)[0] == 0xFF) {
            messages.push_back(frame->substr(1));
            continue;
        }
        ASSERT_EQ((*frame)[0], '\0');
        got.append(*frame, 1, npos);
    }
    EXPECT_TRUE(got == bytes) << "the bytes differ";
    // The program ends once its last byte is taken; its close follows the data.
    if (held_up) {
        EXPECT_EQ(waitpid(program, &status, 0), program);
    }
    auto closed = client.recv_json(10000);
    ASSERT_TRUE(closed.has_value());
    messages.push_back(*closed);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], notify("open_port_notify", 0));
    EXPECT_EQ(messages[1], notify("close_port_notify", 0));
    EXPECT_EQ(node->output().find("dropped"), npos);
    printf("stall: %zu of %zu bytes delivered after a 5 s stall; the program was %s\n", got.size(), total,
           held_up ? "held up" : "not held up");
}

}  // namespace
