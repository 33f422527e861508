#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace e2e {

using Clock = std::chrono::steady_clock;

static int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : (int)left;
}

TempRoot::TempRoot()
{
    char tmpl[] = "/tmp/vsp-e2e-XXXXXX";
    path = mkdtemp(tmpl);
}

TempRoot::~TempRoot()
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string module_path() { return PORTBRIDGE_MODULE; }
std::string binding_module_path() { return BINDING_MODULE; }

const char *const kUmdfHardwareId = "UMDF\\VirtualSerial2um";
std::string umdf_driver_package() { return read_file(WINSIM_UMDF_DRIVER_INF); }

std::string request(const std::string &msg_id, const std::string &body)
{
    return "{\"msg_id\": \"" + msg_id + "\", \"msg_body\": " + body + "}";
}

std::string create_body(const std::string &gateway_id, const std::string &port_name)
{
    return "{\"gateway_id\": \"" + gateway_id + "\", \"portname\": \"" + port_name + "\"}";
}

std::string created(int channel)
{
    return "{ \"msg_id\": \"create_port_resp\", \"msg_body\": { \"error_code\": 0, \"error_msg\": \"\", "
           "\"channel_id\": " + std::to_string(channel) + " } }";
}

std::string answer(const std::string &msg_id, const std::string &body)
{
    return "{ \"msg_id\": \"" + msg_id + "\", \"msg_body\": " + body + " }";
}

std::string code_answer(const std::string &msg_id, int code, const std::string &error_msg)
{
    return answer(msg_id, "{ \"error_code\": " + std::to_string(code) + ", \"error_msg\": \"" + error_msg + "\" }");
}

std::string notify(const std::string &msg_id, int channel)
{
    return answer(msg_id, "{ \"channel_id\": " + std::to_string(channel) + " }");
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> device_files(const std::string &root)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (auto &entry : std::filesystem::directory_iterator(root + "/devices", ec)) {
        std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".device" && name[0] != '.')
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int open_fd_count(int pid)
{
    std::error_code ec;
    int n = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
         it.increment(ec))
        n++;
    return ec ? -1 : n;
}

void seed_device(const std::string &root, const std::string &file, const std::string &lines)
{
    write_file(root + "/devices/" + file + ".device", lines);
}

void seed_virtual_port(const std::string &root, const std::string &file, const std::string &port_name,
                       const std::string &gateway_id, const std::string &hardware_id, const std::string &oem_name)
{
    std::string escaped;
    for (char c : hardware_id)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    seed_device(root, file,
                "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n"
                "driver = " + oem_name + "\n"
                "HardwareID = multi_sz \"" + escaped + "\\0\\0\"\n"
                "value PortName = sz \"" + port_name + "\\0\"\n"
                "value QorGatewayID = sz \"" + gateway_id + "\\0\"\n");
}

void seed_driver_package(const std::string &root, const std::string &oem_name, const std::string &content)
{
    write_file(root + "/drive_c/windows/INF/" + oem_name, content.empty() ? read_file(WINSIM_DRIVER_INF) : content);
}

std::vector<std::string> child_environment(const std::string &root, const std::map<std::string, std::string> &extra)
{
    std::map<std::string, std::string> vars;
    for (char **e = environ; *e; e++) {
        std::string kv = *e;
        size_t eq = kv.find('=');
        if (eq != std::string::npos)
            vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    vars.erase("VSP_SIM_FAULTS");
    vars["VSP_SIM_ROOT"] = root;
    for (auto &kv : extra)
        vars[kv.first] = kv.second;
    std::vector<std::string> out;
    for (auto &kv : vars)
        out.push_back(kv.first + "=" + kv.second);
    return out;
}

// ---------------------------------------------------------------- NodeHost

NodeHost::NodeHost(const std::string &root, const std::string &executable,
                   const std::map<std::string, std::string> &env)
{
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
        abort();
    std::map<std::string, std::string> vars = env;
#ifdef SANITIZER_PRELOAD
    // A module built with the sanitizers needs their run-time loaded first; node itself
    // is not instrumented and keeps what it allocates until exit.
    vars.emplace("LD_PRELOAD", SANITIZER_PRELOAD);
    vars.emplace("ASAN_OPTIONS", "detect_leaks=0");
#endif
    std::vector<std::string> env_strings = child_environment(root, vars);
    std::vector<char *> envp;
    for (auto &s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string exe = executable.empty() ? std::string(NODE_EXECUTABLE) : executable;
    std::string script = HOST_SCRIPT;
    char *argv[] = {exe.data(), script.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    in_fd_ = in_pipe[1];
    out_fd_ = out_pipe[0];
    reader_ = std::thread([this] {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(out_fd_, buf, sizeof buf);
            std::lock_guard<std::mutex> g(m_);
            if (n <= 0) {
                eof_ = true;
                cv_.notify_all();
                return;
            }
            out_.append(buf, (size_t)n);
            cv_.notify_all();
        }
    });
}

NodeHost::~NodeHost() { stop(); }

int NodeHost::stop()
{
    int status = -1;
    if (in_fd_ >= 0) {
        ::close(in_fd_);
        in_fd_ = -1;
    }
    if (pid_ > 0) {
        // The host ends when its stdin closes; a hung one is killed.
        auto deadline = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_)
                break;
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            usleep(10000);
        }
        pid_ = -1;
    }
    if (reader_.joinable())
        reader_.join();
    if (out_fd_ >= 0) {
        ::close(out_fd_);
        out_fd_ = -1;
    }
    return status;
}

void NodeHost::send_line(const std::string &line)
{
    std::string l = line + "\n";
    ssize_t w = ::write(in_fd_, l.data(), l.size());
    (void)w;
}

void NodeHost::load(const std::string &path) { send_line("load " + (path.empty() ? module_path() : path)); }

size_t NodeHost::wait_for(const std::string &needle, size_t from, int timeout_ms)
{
    std::unique_lock<std::mutex> g(m_);
    size_t found = std::string::npos;
    cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
        found = from <= out_.size() ? out_.find(needle, from) : std::string::npos;
        return found != std::string::npos || eof_;
    });
    if (found == std::string::npos && from <= out_.size())
        found = out_.find(needle, from);
    return found == std::string::npos ? found : found + needle.size();
}

std::string NodeHost::call(const std::string &function, int timeout_ms)
{
    size_t from;
    {
        std::lock_guard<std::mutex> g(m_);
        from = out_.size();
    }
    send_line("call " + function);
    std::string marker = "result " + function + ": ";
    size_t at = wait_for(marker, from, timeout_ms);
    if (at == std::string::npos)
        return "<no result>";
    size_t end = wait_for("\n", at, timeout_ms);
    std::lock_guard<std::mutex> g(m_);
    return out_.substr(at, end == std::string::npos ? std::string::npos : end - 1 - at);
}

std::string NodeHost::output()
{
    std::lock_guard<std::mutex> g(m_);
    return out_;
}

size_t NodeHost::count(const std::string &needle, size_t from, size_t to)
{
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (size_t at = out_.find(needle, from); at != std::string::npos && at + needle.size() <= to;
         at = out_.find(needle, at + needle.size()))
        n++;
    return n;
}

// ---------------------------------------------------------------- PipeClient

PipeClient::~PipeClient() { close(); }

bool PipeClient::try_connect(const std::string &root)
{
    close();
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = root + "/pipe/qor_vport_pipe";
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    return true;
}

bool PipeClient::connect(const std::string &root, int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!try_connect(root)) {
        if (Clock::now() > deadline)
            return false;
        usleep(20000);
    }
    return true;
}

void PipeClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    held_.clear();
}

bool PipeClient::send(const std::string &frame)
{
    return fd_ >= 0 && ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) == (ssize_t)frame.size();
}

std::optional<std::string> PipeClient::recv(int timeout_ms)
{
    if (!held_.empty()) {
        std::string f = held_.front();
        held_.erase(held_.begin());
        return f;
    }
    if (fd_ < 0)
        return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return std::nullopt;
    ssize_t size = ::recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    if (size <= 0)
        return std::nullopt;
    std::string frame((size_t)size, '\0');
    ssize_t n = ::recv(fd_, frame.data(), frame.size(), 0);
    if (n < 0)
        return std::nullopt;
    frame.resize((size_t)n);
    return frame;
}

std::optional<std::string> PipeClient::recv_kind(bool json, int timeout_ms)
{
    for (size_t i = 0; i < held_.size(); i++) {
        bool is_json = !held_[i].empty() && held_[i][0] == '\xFF';
        if (is_json == json) {
            std::string f = held_[i];
            held_.erase(held_.begin() + (long)i);
            return json ? f.substr(1) : f;
        }
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<std::string> held = std::move(held_);
    held_.clear();
    std::optional<std::string> result;
    for (;;) {
        int left = remaining_ms(deadline);
        auto f = recv(left);
        if (!f)
            break;
        bool is_json = !f->empty() && (*f)[0] == '\xFF';
        if (is_json == json) {
            result = json ? f->substr(1) : *f;
            break;
        }
        held.push_back(*f);
    }
    held_ = std::move(held);
    return result;
}

std::optional<std::string> PipeClient::ask(const std::string &msg_id, const std::string &body, int timeout_ms)
{
    if (!send_json(request(msg_id, body)))
        return std::nullopt;
    return recv_json(timeout_ms);
}

std::optional<std::string> PipeClient::recv_json(int timeout_ms) { return recv_kind(true, timeout_ms); }
std::optional<std::string> PipeClient::recv_data(int timeout_ms) { return recv_kind(false, timeout_ms); }

bool PipeClient::closed_by_peer(int timeout_ms)
{
    if (fd_ < 0)
        return true;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char c;
    return ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0 || (p.revents & POLLHUP);
}

// ---------------------------------------------------------------- SerialProgram

SerialProgram::~SerialProgram() { close(); }

bool SerialProgram::open(const std::string &root, const std::string &port_name)
{
    close();
    fd_ = ::open((root + "/dev/" + port_name).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0)
        return false;
    termios t;
    if (tcgetattr(fd_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    return true;
}

void SerialProgram::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool SerialProgram::write(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

std::string SerialProgram::read(size_t n, int timeout_ms)
{
    std::string got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < n) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) <= 0)
            break;
        char buf[4096];
        ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.append(buf, (size_t)r);
    }
    return got;
}

bool SerialProgram::hung_up(int timeout_ms)
{
    if (fd_ < 0)
        return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    if (p.revents & (POLLHUP | POLLERR))
        return true;
    char c;
    return ::read(fd_, &c, 1) <= 0;
}

std::string byte_pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++)
        s[i] = (char)(unsigned char)((i * 131 + i / 251) & 0xFF);
    return s;
}

std::unique_ptr<NodeHost> start_service(const std::string &root, PipeClient &client)
{
    auto node = std::make_unique<NodeHost>(root);
    node->load();
    std::string answer = node->call("vsp_init");
    // What went wrong is told here; the caller's next step then fails on its own.
    if (answer != "\"\"")
        fprintf(stderr, "start_service: vsp_init answered %s\n%s", answer.c_str(), node->output().c_str());
    else if (!client.connect(root))
        fprintf(stderr, "start_service: the pipe did not come up\n%s", node->output().c_str());
    return node;
}

}  // namespace e2e
