// Fuzz target: every input is one frame from the pipe client, handed to the service's
// frame handling as the event loop hands each frame it reads - control messages to the
// dispatcher, data to the ports - in process against the stand-in. The service's state
// carries over from input to input, as it does for a long-lived client.
//
// What it checks beyond the sanitizers: every frame the service sends back is a
// control message that parses as a JSON object with a string "msg_id" and an object
// "msg_body".
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "addon/service.h"
#include "winsim/test.h"

namespace {

std::string root;
int client = -1;

void write_file(const std::string &path, const std::string &content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void remove_root() { std::filesystem::remove_all(root); }

void check_answer(const char *text)
{
    json_object *msg = json_tokener_parse(text);
    json_object *id = json_member(msg, "msg_id");
    json_object *body = json_member(msg, "msg_body");
    if (id == NULL || !json_object_is_type(id, json_type_string) || body == NULL ||
        !json_object_is_type(body, json_type_object)) {
        fprintf(stderr, "the service sent a control message that is not one: %s\n", text);
        abort();
    }
    json_object_put(msg);
}

// Reads whatever the service sent back and checks each frame.
void drain_client(void)
{
    std::vector<char> frame;
    for (;;) {
        ssize_t size = recv(client, NULL, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0)
            break;
        frame.resize((size_t)size + 1);
        ssize_t got = recv(client, frame.data(), (size_t)size, MSG_DONTWAIT);
        if (got <= 0)
            break;
        frame[(size_t)got] = '\0';
        if ((unsigned char)frame[0] != 0xFF) {
            fprintf(stderr, "the service sent a data frame no program wrote\n");
            abort();
        }
        check_answer(frame.data() + 1);
    }
    pipe_writes_collect();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char tmpl[] = "/tmp/vsp-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == NULL)
        abort();
    root = tmpl;
    atexit(remove_root);
    winsim::set_root(root);
    // The driver package is installed, so requests can create ports.
    write_file(root + "/drive_c/windows/INF/oem0.inf", read_file(WINSIM_DRIVER_INF));

    // The service's log would cost more than the work; libFuzzer reports on stderr.
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    fflush(stdout);
    dup2(null_fd, 1);
    close(null_fd);

    vports_init();
    app_comm_init();
    // Two ports from the start, so that data frames and requests naming channels 0 and
    // 1 reach a port even before an input created one.
    char error_text[1024];
    if (!create_port("COM1", "gw-1", error_text) || !create_port("COM2", "gw-2", error_text))
        abort();

    client = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/pipe/qor_vport_pipe", root.c_str());
    if (connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        abort();
    DWORD ignored;
    if (!GetOverlappedResult(pipe_handle, &oReadOverlap, &ignored, TRUE))
        abort();
    pipe_connecting = 0;
    return 0;
}

// Ports that inputs created are removed again, through the service's own request,
// once there are more than a few: a full table would turn every later creation into
// the same refusal, and every listing into a walk over hundreds of devices.
static void keep_table_small(void)
{
    int ports = 0;
    for (vport *port = vports_link(); port != NULL; port = port->next)
        ports++;
    if (ports <= 8)
        return;
    for (int channel = 2; channel < VPORTS_SLOTS; channel++) {
        if (vports[channel] == NULL)
            continue;
        std::string frame = "\xff{\"msg_id\": \"remove_port_req\", \"msg_body\": {\"channel_id\": " +
                            std::to_string(channel) + "}}";
        handle_client_frame(frame.data(), (DWORD)frame.size());
    }
    drain_client();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The pipe hands the loop frames of 1 to 2047 bytes; a longer message never
    // reaches the frame handling whole.
    if (size == 0 || size > 2047)
        return 0;
    handle_client_frame(data, (DWORD)size);
    drain_client();
    keep_table_small();
    return 0;
}
