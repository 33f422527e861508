// End-to-end test harness: the real node process hosting the module, a pipe client,
// and a serial program on a virtual port's terminal, all against a fresh root folder.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// The environment of a child process on the stand-in root `root`: this process's own,
// without its injected faults, with VSP_SIM_ROOT and then `extra` set.
std::vector<std::string> child_environment(const std::string &root,
                                           const std::map<std::string, std::string> &extra = {});

// A fresh stand-in root folder for one test, removed afterwards.
struct TempRoot {
    TempRoot();
    ~TempRoot();
    std::string path;
};

// Runs `node host.js` (or another host executable) with VSP_SIM_ROOT set, loads the
// module and collects everything it prints.
class NodeHost {
public:
    explicit NodeHost(const std::string &root, const std::string &executable = "",
                      const std::map<std::string, std::string> &env = {});
    ~NodeHost();
    NodeHost(const NodeHost &) = delete;
    NodeHost &operator=(const NodeHost &) = delete;

    void load(const std::string &module_path = "");
    // Calls an exported function; returns the printed result (JSON text or "undefined").
    std::string call(const std::string &function, int timeout_ms = 10000);
    void send_line(const std::string &line);
    // Waits until the output holds `needle` at or after position `from`; returns the
    // position just past it, or npos on time-out.
    size_t wait_for(const std::string &needle, size_t from = 0, int timeout_ms = 10000);
    std::string output();
    // How often `needle` occurs in the output between positions `from` and `to`.
    size_t count(const std::string &needle, size_t from = 0, size_t to = std::string::npos);
    int pid() const { return pid_; }
    // Ends the process (closing its stdin) and waits for it; returns its exit status.
    int stop();

private:
    int pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::string out_;
    bool eof_ = false;
};

// A pipe client on the service's named pipe (a SOCK_SEQPACKET socket under the root).
class PipeClient {
public:
    ~PipeClient();
    // Connects, retrying until the service listens or the time-out passes.
    bool connect(const std::string &root, int timeout_ms = 10000);
    // One attempt; false when refused (the one pipe instance is busy).
    bool try_connect(const std::string &root);
    void close();
    bool send(const std::string &frame);
    bool send_json(const std::string &text) { return send(std::string(1, '\xFF') + text); }
    // Sends a control message and returns the next control message that comes back.
    std::optional<std::string> ask(const std::string &msg_id, const std::string &body, int timeout_ms = 10000);
    // The next frame, or nothing after the time-out.
    std::optional<std::string> recv(int timeout_ms = 10000);
    // The next control message's text (frames that are data are kept for recv_data).
    std::optional<std::string> recv_json(int timeout_ms = 10000);
    // The next data frame (channel byte first).
    std::optional<std::string> recv_data(int timeout_ms = 10000);
    // True when the service has closed our connection.
    bool closed_by_peer(int timeout_ms = 10000);

private:
    std::optional<std::string> recv_kind(bool json, int timeout_ms);
    int fd_ = -1;
    std::vector<std::string> held_;
};

// A serial program using a virtual port through its terminal <root>/dev/<name>.
class SerialProgram {
public:
    ~SerialProgram();
    bool open(const std::string &root, const std::string &port_name);
    void close();
    bool write(const std::string &bytes);
    // Reads exactly `n` bytes, or what came before the time-out.
    std::string read(size_t n, int timeout_ms = 10000);
    // True when the terminal reports a hang-up (its port is gone) within the time-out.
    bool hung_up(int timeout_ms = 10000);

private:
    int fd_ = -1;
};

std::string module_path();
// The earlier build of the module, binding.node.
std::string binding_module_path();
// Builds a control message frame's text: {"msg_id": id, "msg_body": body}.
std::string request(const std::string &msg_id, const std::string &body);
// The body of a "create_port_req", and the answer to one that made a port on `channel`.
std::string create_body(const std::string &gateway_id, const std::string &port_name);
std::string created(int channel);
// A control message's text as the service writes it, with the given body; an answer
// that carries only an error code and text; an open or close note of `channel`.
std::string answer(const std::string &msg_id, const std::string &body);
std::string code_answer(const std::string &msg_id, int code, const std::string &error_msg = "");
std::string notify(const std::string &msg_id, int channel);
// A node with the service started (vsp_init answered "") and `client` connected to it.
std::unique_ptr<NodeHost> start_service(const std::string &root, PipeClient &client);
// `size` bytes of every value in an order that does not repeat every 256 bytes, so
// that a lost or doubled block shows.
std::string byte_pattern(size_t size);
// Reads a whole file; "" when it cannot.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
// The file names in <root>/devices that are device files, sorted.
std::vector<std::string> device_files(const std::string &root);
// The number of open file descriptors of a process; -1 when they cannot be read.
int open_fd_count(int pid);

// Seeds the stand-in's device tree by hand, as a person would: a device file with the
// given lines (<root>/devices/<file>.device).
void seed_device(const std::string &root, const std::string &file, const std::string &lines);
// A virtual port device installed with the stand-in driver package: first hardware ID
// "Qor\Vsp" (or `hardware_id`, backslashes as they are), "PortName" and "QorGatewayID"
// values, driver `oem_name`.
void seed_virtual_port(const std::string &root, const std::string &file, const std::string &port_name,
                       const std::string &gateway_id, const std::string &hardware_id = "Qor\\Vsp",
                       const std::string &oem_name = "oem0.inf");
// Installs the stand-in driver's package as C:\windows\INF\<oem_name>.
void seed_driver_package(const std::string &root, const std::string &oem_name = "oem0.inf",
                         const std::string &content = "");
// The stand-in package of the user-mode driver whose devices binding serves: hardware
// ID "UMDF\VirtualSerial2um".
extern const char *const kUmdfHardwareId;
std::string umdf_driver_package();

}  // namespace e2e
