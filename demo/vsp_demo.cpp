// The service at work on a fresh machine: the driver package is installed with
// portctl, Node.js loads portbridge and starts the service, and this program plays
// both other parties: the application on the named pipe, and a serial program that
// opens the new virtual port.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "e2e/harness.h"

using namespace e2e;

static void say(const std::string &text) { printf("demo: %s\n", text.c_str()); }

static std::string printable(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += (char)c;
    }
    return out;
}

static std::string json_or_nothing(const std::optional<std::string> &text)
{
    return text ? *text : std::string("(nothing came)");
}

static int fail(const std::string &why, NodeHost *node)
{
    say("FAILED: " + why);
    if (node)
        printf("---- service log ----\n%s", node->output().c_str());
    return 1;
}

int main()
{
    TempRoot root;
    setenv("VSP_SIM_ROOT", root.path.c_str(), 1);
    say("a fresh machine: the Windows stand-in keeps its state in " + root.path);

    say("installing the driver package: portctl install");
    fflush(stdout);
    std::string portctl = std::string(PORTCTL_EXECUTABLE);
    pid_t pid = fork();
    if (pid == 0) {
        execl(portctl.c_str(), portctl.c_str(), "install", (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    printf("\n");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail("portctl install did not run", nullptr);

    say("starting Node.js with the portbridge module");
    NodeHost node(root.path);
    node.load();
    if (node.wait_for("exports: ") == std::string::npos)
        return fail("node did not load the module", &node);
    say("vsp_init() returned " + node.call("vsp_init"));

    PipeClient app;
    if (!app.connect(root.path))
        return fail("the named pipe did not come up", &node);
    say("connected to \\\\.\\pipe\\qor_vport_pipe");

    std::string create = request("create_port_req", "{\"gateway_id\": \"gw-demo-01\", \"portname\": \"COM7\"}");
    say("app -> service: " + create);
    app.send_json(create);
    auto created = app.recv_json();
    say("service -> app: " + json_or_nothing(created));
    if (!created || created->find("\"error_code\": 0") == std::string::npos)
        return fail("the port was not created", &node);

    SerialProgram program;
    if (!program.open(root.path, "COM7"))
        return fail("the port's terminal did not appear", &node);
    say("a serial program opened COM7 (" + root.path + "/dev/COM7)");
    say("service -> app: " + json_or_nothing(app.recv_json()));

    std::string from_program = "hello from the serial program\r\n";
    program.write(from_program);
    say("program wrote \"" + printable(from_program) + "\"");
    std::string got;
    while (got.size() < from_program.size()) {
        auto frame = app.recv_data();
        if (!frame)
            break;
        say("service -> app: data frame, channel " + std::to_string((unsigned char)(*frame)[0]) + ", \"" +
            printable(frame->substr(1)) + "\"");
        got += frame->substr(1);
    }
    if (got != from_program)
        return fail("the program's bytes did not reach the app", &node);

    int channel = std::stoi(created->substr(created->find("\"channel_id\": ") + 14));
    std::string to_program = "hello from the app\r\n";
    app.send(std::string(1, (char)channel) + to_program);
    say("app -> service: data frame for channel " + std::to_string(channel) + ", \"" + printable(to_program) + "\"");
    std::string read = program.read(to_program.size());
    say("program read \"" + printable(read) + "\"");
    if (read != to_program)
        return fail("the app's bytes did not reach the program", &node);

    app.send_json(request("get_all_ports_req", "{}"));
    say("service -> app: " + json_or_nothing(app.recv_json()));

    program.close();
    say("the serial program closed COM7");
    say("service -> app: " + json_or_nothing(app.recv_json()));

    app.send_json(request("remove_port_req", "{\"channel_id\": " + std::to_string(channel) + "}"));
    say("service -> app: " + json_or_nothing(app.recv_json()));

    app.close();
    node.stop();
    say("done; the service's own log follows");
    printf("---- service log ----\n%s", node.output().c_str());
    return 0;
}
