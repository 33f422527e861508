// Benchmark of the port service side by side with the two ways a Linux user would get a
// serial stream without it: socat relaying a pseudo-terminal to a SOCK_SEQPACKET unix
// socket, and a bare pseudo-terminal pair (the floor: no relay at all). The same client
// code, the same serial program code and the same payloads drive all three in one run,
// their repetitions interleaved (service, socat, pty, service, socat, pty, ...) so that
// a change in the machine's load hits them alike.
//
//   relay_bench [--seconds=S] [--warmup=S] [--reps=N] [--samples=N] [--cycles=N]
//               [--requests=N] [--control-ports=0,64] [--multi-ports=16,63] [--window=BYTES]
//               [--stdout=file|pipe|null] [--module=PATH] [--nul-data]
//               [--only=p2c,c2p,latency,multi,create,control]
//
// The service runs in the real node with the module (its log to a file by default), on
// a fresh stand-in root per scenario. Every byte is checked against the sent stream, and
// the totals are compared after each repetition.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

extern char **environ;

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

// ---------------------------------------------------------------- options

struct Options {
    double seconds = 1.0;       // length of one throughput repetition
    double warmup = 0.3;        // streaming before the first measured repetition
    int reps = 5;               // repetitions of every measurement, per relay
    int samples = 1000;         // echo round trips per repetition
    int cycles = 50;            // create + remove cycles per repetition
    int requests = 2000;        // control round trips per repetition
    std::vector<int> control_ports = {0, 64};
    std::vector<int> multi_ports = {16, 63};
    size_t window = 32 * 1024;  // client -> program bytes in flight per port
    std::string stdout_mode = "file";
    std::string module;
    bool nul_data = false;
    std::set<std::string> only;
};

Options opt;

bool wanted(const std::string &section) { return opt.only.empty() || opt.only.count(section); }

[[noreturn]] void usage(const char *bad)
{
    fprintf(stderr,
            "unknown or bad argument: %s\n"
            "usage: relay_bench [--seconds=S] [--warmup=S] [--reps=N] [--samples=N] [--cycles=N]\n"
            "                   [--requests=N] [--control-ports=0,64] [--multi-ports=16,63]\n"
            "                   [--window=BYTES] [--stdout=file|pipe|null] [--module=PATH] [--nul-data]\n"
            "                   [--only=p2c,c2p,latency,multi,create,control]\n",
            bad);
    exit(2);
}

std::vector<int> int_list(const std::string &val, int lo, int hi)
{
    std::vector<int> out;
    std::stringstream ss(val);
    std::string s;
    while (std::getline(ss, s, ','))
        out.push_back(std::min(hi, std::max(lo, atoi(s.c_str()))));
    return out;
}

void parse_options(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        size_t eq = a.find('=');
        std::string key = a.substr(0, eq);
        std::string val = eq == std::string::npos ? "" : a.substr(eq + 1);
        auto num = [&] {
            char *end = nullptr;
            double v = strtod(val.c_str(), &end);
            if (val.empty() || *end || v < 0)
                usage(argv[i]);
            return v;
        };
        if (key == "--seconds")
            opt.seconds = num();
        else if (key == "--warmup")
            opt.warmup = num();
        else if (key == "--reps")
            opt.reps = std::max(1, (int)num());
        else if (key == "--samples")
            opt.samples = std::max(1, (int)num());
        else if (key == "--cycles")
            opt.cycles = std::max(1, (int)num());
        else if (key == "--requests")
            opt.requests = std::max(1, (int)num());
        else if (key == "--control-ports")
            opt.control_ports = int_list(val, 0, 255);
        else if (key == "--multi-ports")
            opt.multi_ports = int_list(val, 1, 63);
        else if (key == "--window")
            opt.window = std::max((size_t)4096, (size_t)num());
        else if (key == "--stdout" && (val == "pipe" || val == "file" || val == "null"))
            opt.stdout_mode = val;
        else if (key == "--module" && !val.empty())
            opt.module = val;
        else if (key == "--nul-data" && val.empty())
            opt.nul_data = true;
        else if (key == "--only") {
            std::stringstream ss(val);
            std::string s;
            while (std::getline(ss, s, ',')) {
                static const std::set<std::string> sections = {"p2c", "c2p", "latency", "multi", "create", "control"};
                if (!sections.count(s))
                    usage(argv[i]);
                opt.only.insert(s);
            }
        } else
            usage(argv[i]);
    }
}

// ---------------------------------------------------------------- small helpers

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Nearest-rank percentile of unsorted values.
double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t rank = (size_t)std::max(1.0, std::ceil(q * (double)v.size()));
    return v[std::min(rank, v.size()) - 1];
}

double median(const std::vector<double> &v) { return percentile(v, 0.5); }

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...)
{
    char buf[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

// The socat processes that run, so that die() can end them: a benchmark that stops on an
// error would otherwise leave up to one per port behind. Slots, not a locked list, since
// die() may be called from any thread, also one that is starting a socat.
std::atomic<int> running_socats[256];

void socat_started(int pid)
{
    for (auto &slot : running_socats) {
        int free_slot = 0;
        if (slot.compare_exchange_strong(free_slot, pid))
            return;
    }
}

void socat_stopped(int pid)
{
    for (auto &slot : running_socats) {
        int expected = pid;
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

[[noreturn]] void die(const std::string &what)
{
    for (auto &slot : running_socats)
        if (int pid = slot.load(); pid > 0)
            kill(pid, SIGTERM);
    fprintf(stderr, "relay_bench: %s\n", what.c_str());
    fflush(stdout);
    _exit(1);
}

// User + system time of a whole process in seconds.
double process_cpu_seconds(int pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::stringstream ss(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; ss >> field && i <= 15; i++)
        if (i == 14 || i == 15)
            ticks += atof(field.c_str());
    return ticks / (double)sysconf(_SC_CLK_TCK);
}

double rss_mb(int pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : atof(status.c_str() + at + 6) / 1024;
}

void make_raw(int fd)
{
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Writes all of `n` bytes to a non-blocking descriptor, waiting for room as needed;
// on a socket of messages the bytes go as one message.
bool write_all(int fd, const char *data, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (w <= 0)
            return false;
        data += w;
        n -= (size_t)w;
    }
    return true;
}

int connect_seqpacket(const std::string &path, int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            return fd;
        ::close(fd);
        if (Clock::now() > deadline)
            return -1;
        usleep(200);
    }
}

// ---------------------------------------------------------------- test stream

// Every port's stream repeats a 251-byte cycle (a prime, so it never lines up with
// write sizes): 1..251, or 0..250 with --nul-data.
const size_t stream_cycle = 251;
const size_t stream_chunk_max = 8192;

const std::string &stream_table()
{
    static const std::string table = [] {
        std::string t(stream_cycle + stream_chunk_max, '\0');
        for (size_t i = 0; i < t.size(); i++)
            t[i] = (char)(opt.nul_data ? i % stream_cycle : i % stream_cycle + 1);
        return t;
    }();
    return table;
}

const char *stream_at(uint64_t at) { return stream_table().data() + at % stream_cycle; }

bool check_stream(const char *data, size_t n, uint64_t at)
{
    while (n > 0) {
        size_t part = std::min(n, stream_chunk_max);
        if (memcmp(data, stream_at(at), part) != 0)
            return false;
        data += part;
        at += part;
        n -= part;
    }
    return true;
}

// ---------------------------------------------------------------- the serial program

// A program on a terminal, the same for the three relays.
struct Program {
    int fd = -1;
    ~Program()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void open(const std::string &path)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            die("cannot open " + path + ": " + strerror(errno));
        make_raw(fd);
    }
    bool write(const char *data, size_t n) { return write_all(fd, data, n); }
    // What is there within the time-out (at most n bytes); 0 on time-out.
    ssize_t read(char *buf, size_t n, int timeout_ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return 0;
        ssize_t r = ::read(fd, buf, n);
        return r < 0 && errno == EAGAIN ? 0 : r;
    }
};

// ---------------------------------------------------------------- the client

// The client side of one relay: the service's one pipe, whose frames start with the
// port's channel byte (0xFF: a control message), or one socket (socat) or terminal
// master (pty) per port, whose bytes are the data alone.
struct Client {
    std::vector<int> fds;
    bool channel_header = false;
    int port_of_channel[256];
    std::vector<int> channel_of_port;
    std::deque<std::string> controls;
    std::vector<pollfd> polled;
    std::vector<char> buf = std::vector<char>(1 << 16);
    std::string frame;

    Client() { std::fill(std::begin(port_of_channel), std::end(port_of_channel), -1); }
    ~Client()
    {
        for (int fd : fds)
            ::close(fd);
    }

    void add(int fd)
    {
        set_nonblocking(fd);
        fds.push_back(fd);
        polled.push_back({fd, POLLIN, 0});
    }

    bool send(int port, const char *data, size_t n)
    {
        if (!channel_header)
            return write_all(fds[(size_t)port], data, n);
        frame.assign(1, (char)channel_of_port[(size_t)port]);
        frame.append(data, n);
        return write_all(fds[0], frame.data(), frame.size());
    }

    // Waits up to the time-out for data, then takes what every ready descriptor has
    // (at most 16 messages or reads each) and hands the data to on_data(port, bytes, n).
    // Returns the number of data deliveries, or -1 when a descriptor ended.
    template <typename F> int pump(int timeout_ms, F &&on_data)
    {
        if (poll(polled.data(), polled.size(), timeout_ms) <= 0)
            return 0;
        int delivered = 0;
        for (size_t i = 0; i < polled.size(); i++) {
            if (!polled[i].revents)
                continue;
            for (int k = 0; k < 16; k++) {
                ssize_t r = ::read(polled[i].fd, buf.data(), buf.size());
                if (r < 0 && errno == EAGAIN)
                    break;
                if (r <= 0)
                    return -1;
                if (!channel_header) {
                    on_data((int)i, buf.data(), (size_t)r);
                    delivered++;
                    continue;
                }
                unsigned char channel = (unsigned char)buf[0];
                if (channel == 0xFF) {
                    controls.emplace_back(buf.data() + 1, (size_t)r - 1);
                } else if (r > 1) {
                    int port = port_of_channel[channel];
                    if (port < 0)
                        die(fmt("data on channel %d, which no port has", channel));
                    on_data(port, buf.data() + 1, (size_t)r - 1);
                    delivered++;
                }
            }
        }
        return delivered;
    }

    // The service's next control message; data that comes meanwhile is dropped.
    std::optional<std::string> recv_json(int timeout_ms)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (controls.empty() && Clock::now() < deadline)
            if (pump(100, [](int, const char *, size_t) {}) < 0)
                break;
        if (controls.empty())
            return std::nullopt;
        std::string text = controls.front();
        controls.pop_front();
        return text;
    }

    bool send_json(const std::string &text)
    {
        std::string f = "\xFF" + text;
        return write_all(fds[0], f.data(), f.size());
    }
};

int json_int(const std::string &text, const std::string &member)
{
    size_t at = text.find("\"" + member + "\":");
    return at == std::string::npos ? -1 : atoi(text.c_str() + at + member.size() + 3);
}

// ---------------------------------------------------------------- the three relays

struct Relay {
    std::string name;
    Client client;
    std::vector<std::unique_ptr<Program>> programs;
    virtual ~Relay() = default;
    // CPU seconds the relay has used so far; negative when there is no relay process.
    virtual double cpu_seconds() { return -1; }
    // write(2) calls the relay has made so far; negative when not counted.
    virtual double write_calls() { return -1; }
    int ports() const { return (int)programs.size(); }
};

std::string port_name(int i) { return fmt("BENCH%02d", i); }

// node hosting the module on a fresh stand-in root, with `nports` virtual ports whose
// programs are open.
struct ServiceRelay : Relay {
    TempRoot root;
    std::unique_ptr<NodeHost> node;
    int pid = -1;

    // Without programs the ports are only in the table (up to 255, for the listings).
    explicit ServiceRelay(int nports, bool with_driver_package = false, bool with_programs = true)
    {
        name = "service";
        for (int i = 0; i < nports; i++)
            seed_virtual_port(root.path, fmt("ROOT#PORTS#%04d", i), port_name(i), fmt("gw-%02d", i));
        if (with_driver_package && nports == 0)
            seed_driver_package(root.path);
        std::string exe;
        if (opt.stdout_mode != "pipe") {
            // The module's log goes straight to a file (or nowhere), not through our pipe.
            std::string target = opt.stdout_mode == "file" ? root.path + "/node-stdout.log" : "/dev/null";
            exe = root.path + "/host.sh";
            write_file(exe, "#!/bin/sh\nexec '" + std::string(NODE_EXECUTABLE) + "' \"$1\" >'" + target + "'\n");
            chmod(exe.c_str(), 0755);
        }
        node = std::make_unique<NodeHost>(root.path, exe);
        node->load(opt.module);
        node->send_line("call vsp_init");
        pid = node->pid();  // the host script execs node: the id stays
        int fd = connect_seqpacket(root.path + "/pipe/qor_vport_pipe", 20000);
        if (fd < 0)
            die("the service did not come up");
        client.channel_header = true;
        client.add(fd);
        client.channel_of_port.resize((size_t)nports);
        for (int i = 0; with_programs && i < nports; i++) {
            programs.push_back(std::make_unique<Program>());
            programs.back()->open(root.path + "/dev/" + port_name(i));
            auto note = client.recv_json(10000);
            if (!note || note->find("open_port_notify") == std::string::npos)
                die("no open_port_notify for " + port_name(i));
            int channel = json_int(*note, "channel_id");
            if (channel < 0 || channel > 254)
                die("bad channel in " + *note);
            client.channel_of_port[(size_t)i] = channel;
            client.port_of_channel[channel] = i;
        }
    }
    ~ServiceRelay() override
    {
        programs.clear();
        node.reset();
    }
    double cpu_seconds() override { return process_cpu_seconds(pid); }
    double write_calls() override
    {
        std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
        size_t at = io.find("syscw:");
        return at == std::string::npos ? -1 : atof(io.c_str() + at + 6);
    }

    std::string roundtrip(const std::string &msg_id, const std::string &body)
    {
        if (!client.send_json(request(msg_id, body)))
            die("could not send " + msg_id);
        auto answer = client.recv_json(10000);
        if (!answer)
            die("no answer to " + msg_id);
        return *answer;
    }
};

// One socat process per port, each relaying a pseudo-terminal (its link is the port)
// to a SOCK_SEQPACKET socket that the client connects to.
struct SocatProcess {
    int pid = -1;
    std::string tty, socket;

    void start(const std::string &dir, const std::string &tag)
    {
        tty = dir + "/" + tag + ".tty";
        socket = dir + "/" + tag + ".sock";
        std::string pty = "PTY,link=" + tty + ",raw,echo=0";
        std::string listen = "UNIX-LISTEN:" + socket + ",type=5";
        const char *argv[] = {"socat", pty.c_str(), listen.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid, "socat", &actions, nullptr, const_cast<char **>(argv), environ) != 0)
            die("cannot start socat (Debian package socat)");
        posix_spawn_file_actions_destroy(&actions);
        socat_started(pid);
    }
    // Connects to its socket once it listens; -1 on time-out.
    int connect(int timeout_ms) { return connect_seqpacket(socket, timeout_ms); }
    void stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        socat_stopped(pid);  // before the wait reaps it: the id cannot be reused until then
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

struct SocatRelay : Relay {
    TempRoot dir;
    std::vector<SocatProcess> socats;

    explicit SocatRelay(int nports)
    {
        name = "socat";
        socats.resize((size_t)nports);
        for (int i = 0; i < nports; i++)
            socats[(size_t)i].start(dir.path, port_name(i));
        for (int i = 0; i < nports; i++) {
            int fd = socats[(size_t)i].connect(10000);
            if (fd < 0)
                die("socat does not listen on " + socats[(size_t)i].socket);
            client.add(fd);
            // The link appears before socat listens: it is there by now.
            programs.push_back(std::make_unique<Program>());
            programs.back()->open(socats[(size_t)i].tty);
        }
    }
    ~SocatRelay() override
    {
        programs.clear();
        for (auto &s : socats)
            s.stop();
    }
    double cpu_seconds() override
    {
        double sum = 0;
        for (auto &s : socats)
            sum += process_cpu_seconds(s.pid);
        return sum;
    }
};

// A bare pseudo-terminal pair per port: the client holds the master, the program the
// slave. Nothing relays: the kernel's terminal layer is all there is.
int open_pty_master(std::string *slave)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        die("cannot make a pseudo-terminal");
    *slave = ptsname(master);
    return master;
}

struct PtyRelay : Relay {
    explicit PtyRelay(int nports)
    {
        name = "pty";
        for (int i = 0; i < nports; i++) {
            std::string slave;
            client.add(open_pty_master(&slave));
            programs.push_back(std::make_unique<Program>());
            programs.back()->open(slave);
        }
    }
};

struct Trio {
    std::vector<std::unique_ptr<Relay>> relays;
    explicit Trio(int nports)
    {
        relays.push_back(std::make_unique<ServiceRelay>(nports));
        relays.push_back(std::make_unique<SocatRelay>(nports));
        relays.push_back(std::make_unique<PtyRelay>(nports));
    }
    ServiceRelay &service() { return static_cast<ServiceRelay &>(*relays[0]); }
};

// ---------------------------------------------------------------- results

// One relay's figures in one scenario: one value per repetition.
struct Figures {
    std::vector<double> values;      // MB/s, or microseconds
    std::vector<double> cores;       // CPU cores the relay used, per repetition
    std::vector<double> per_core;    // MB/s per core used
    std::vector<double> p99;         // latencies: per-repetition p99
    std::vector<double> pooled;      // latencies: every sample
    std::vector<double> writes;      // write(2) calls of the relay per data frame
    std::vector<double> message_bytes;  // data bytes per message (or read) the client took
    std::string error;
};

struct Row {
    std::string scenario, unit;
    bool higher_is_better = true;
    Figures f[3];
    std::string notes;
};
std::vector<Row> rows;
std::vector<std::string> rss_notes;

std::string range(const std::vector<double> &v, const char *f)
{
    if (v.empty())
        return "-";
    return fmt(f, *std::min_element(v.begin(), v.end())) + "-" + fmt(f, *std::max_element(v.begin(), v.end()));
}

const char *relay_names[3] = {"service", "socat", "pty"};

// The service's figure over another's, oriented so that above 1 means the service is
// better (throughput: service/other; times: other/service).
std::string ratio(double service, double other, bool higher_is_better)
{
    if (service <= 0 || other <= 0)
        return "-";
    return fmt("%.2f", higher_is_better ? service / other : other / service);
}

// A relay's headline figure: the median of its repetitions, or of every sample when
// the samples are kept (latencies).
double headline(const Figures &f) { return f.pooled.empty() ? median(f.values) : percentile(f.pooled, 0.5); }

void print_row(const Row &r)
{
    printf("\n%s\n", r.scenario.c_str());
    for (int k = 0; k < 3; k++) {
        const Figures &f = r.f[k];
        double value = headline(f);
        std::string line = fmt("  %-8s %10.2f %-5s [%s]", relay_names[k], value, r.unit.c_str(),
                               range(f.values, "%.2f").c_str());
        if (!f.p99.empty())
            line += fmt("  p99 %.1f us (pooled) [per rep %s]", percentile(f.pooled, 0.99), range(f.p99, "%.1f").c_str());
        if (!f.cores.empty())
            line += fmt("  cpu %.2f cores, %.2f MB/s per core", median(f.cores), median(f.per_core));
        if (!f.message_bytes.empty())
            line += fmt("  %.0f B per client read", median(f.message_bytes));
        if (!f.writes.empty())
            line += fmt("  %.2f write calls per frame", median(f.writes));
        if (!f.error.empty())
            line += "  " + f.error;
        printf("%s\n", line.c_str());
    }
    if (!r.notes.empty())
        printf("  %s\n", r.notes.c_str());
    fflush(stdout);
}

void add_row(const Row &r)
{
    rows.push_back(r);
    print_row(r);
}

// ---------------------------------------------------------------- program -> client

// What a relay used over one measured stretch of `secs`: wall time, CPU and write calls.
struct Meter {
    Relay &relay;
    double writes0, cpu0;
    Clock::time_point t0, end;
    double wall = 0, cpu = 0, writes = 0;
    Meter(Relay &r, double secs)
        : relay(r), writes0(r.write_calls()), cpu0(r.cpu_seconds()), t0(Clock::now()),
          end(t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(secs)))
    {
    }
    void stop()
    {
        wall = seconds_since(t0);
        cpu = relay.cpu_seconds() - cpu0;
        writes = relay.write_calls() - writes0;
    }
    // The throughput of `bytes` moved in `frames` frames, and what it cost the relay.
    void record(Figures &out, uint64_t bytes, uint64_t frames) const
    {
        out.values.push_back((double)bytes / wall / 1e6);
        if (writes0 >= 0 && frames)
            out.writes.push_back(writes / (double)frames);
        if (cpu0 >= 0) {
            out.cores.push_back(cpu / wall);
            out.per_core.push_back(cpu > 0 ? (double)bytes / cpu / 1e6 : 0);
        }
    }
};

struct P2c {
    std::vector<uint64_t> got;
    std::vector<std::atomic<uint64_t>> written;
    bool corrupt = false;
    explicit P2c(int n) : got((size_t)n, 0), written((size_t)n) {}
};

// Programs write `chunk`-byte writes as fast as they can for `secs`; the client checks
// every byte. Returns MB/s received in the measured time (and CPU the relay used), then
// drains and compares the totals.
void p2c_rep(Relay &relay, P2c &s, size_t chunk, double secs, Figures *out)
{
    int n = relay.ports();
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < n; i++)
        writers.emplace_back([&, i] {
            uint64_t at = s.written[(size_t)i];
            while (!stop.load(std::memory_order_relaxed)) {
                if (!relay.programs[(size_t)i]->write(stream_at(at), chunk))
                    break;
                at += chunk;
                s.written[(size_t)i].store(at, std::memory_order_relaxed);
            }
            finished++;
        });
    uint64_t bytes = 0, frames = 0;
    auto on_data = [&](int port, const char *data, size_t len) {
        if (!check_stream(data, len, s.got[(size_t)port]))
            s.corrupt = true;
        s.got[(size_t)port] += len;
        bytes += len;
        frames++;
    };
    Meter meter(relay, secs);
    while (Clock::now() < meter.end)
        if (relay.client.pump(50, on_data) < 0)
            die(relay.name + ": the client's connection ended");
    meter.stop();
    uint64_t measured = bytes, measured_frames = frames;
    stop = true;
    // Drain: writers blocked on a full terminal finish once the client reads on.
    auto deadline = Clock::now() + std::chrono::seconds(20);
    auto all_in = [&] {
        for (int i = 0; i < n; i++)
            if (s.got[(size_t)i] != s.written[(size_t)i])
                return false;
        return true;
    };
    while ((finished < n || !all_in()) && Clock::now() < deadline)
        relay.client.pump(50, on_data);
    for (auto &w : writers)
        w.join();
    if (out) {
        meter.record(*out, measured, measured_frames);
        if (measured_frames)
            out->message_bytes.push_back((double)measured / (double)measured_frames);
    }
    if (s.corrupt || !all_in()) {
        uint64_t w = 0, g = 0;
        for (int i = 0; i < n; i++) {
            w += s.written[(size_t)i];
            g += s.got[(size_t)i];
        }
        std::string e = fmt("DATA MISMATCH: written %llu, received %llu%s", (unsigned long long)w,
                            (unsigned long long)g, s.corrupt ? ", bytes wrong or out of order" : "");
        if (out)
            out->error = e;
        else
            die(relay.name + ": " + e);
    }
}

// ---------------------------------------------------------------- client -> program

struct C2p {
    std::vector<uint64_t> sent;
    std::vector<uint64_t> received;
    bool corrupt = false;
    explicit C2p(int n) : sent((size_t)n, 0), received((size_t)n, 0) {}
};

// The client sends `size`-byte frames round robin, at most the window unread per port
// (the stand-in driver drops what a program leaves unread beyond 64 KiB, socat and the
// pty block instead: the window keeps all three lossless); the programs read and check.
void c2p_rep(Relay &relay, C2p &s, size_t size, double secs, Figures *out)
{
    int n = relay.ports();
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < n; i++)
        readers.emplace_back([&, i] {
            std::vector<char> buf(1 << 16);
            uint64_t at;
            {
                std::lock_guard<std::mutex> g(m);
                at = s.received[(size_t)i];
            }
            while (!stop) {
                ssize_t r = relay.programs[(size_t)i]->read(buf.data(), buf.size(), 50);
                if (r <= 0)
                    continue;
                bool ok = check_stream(buf.data(), (size_t)r, at);
                at += (uint64_t)r;
                {
                    std::lock_guard<std::mutex> g(m);
                    s.corrupt |= !ok;
                    s.received[(size_t)i] = at;
                }
                cv.notify_one();
            }
        });
    auto total_received = [&] {
        uint64_t t = 0;
        for (auto r : s.received)
            t += r;
        return t;
    };
    uint64_t start_bytes;
    {
        std::lock_guard<std::mutex> g(m);
        start_bytes = total_received();
    }
    Meter meter(relay, secs);
    bool stalled = false;
    uint64_t frames = 0;
    size_t next = 0;
    while (Clock::now() < meter.end) {
        int port = -1;
        {
            std::unique_lock<std::mutex> g(m);
            auto has_room = [&](int i) { return s.sent[(size_t)i] - s.received[(size_t)i] + size <= opt.window; };
            auto any_room = [&] {
                for (int k = 0; k < n; k++)
                    if (has_room((int)((next + (size_t)k) % (size_t)n)))
                        return port = (int)((next + (size_t)k) % (size_t)n), true;
                return false;
            };
            if (!any_room() && !cv.wait_for(g, std::chrono::seconds(5), any_room)) {
                stalled = true;
                break;
            }
            s.sent[(size_t)port] += size;  // counted before the send: readers wait for it
        }
        next = (size_t)port + 1;
        if (!relay.client.send(port, stream_at(s.sent[(size_t)port] - size), size))
            die(relay.name + ": could not send a data frame");
        frames++;
    }
    uint64_t measured;
    {
        std::lock_guard<std::mutex> g(m);
        measured = total_received() - start_bytes;
    }
    meter.stop();
    // Drain: every sent byte must arrive.
    auto deadline = Clock::now() + std::chrono::seconds(20);
    bool drained = false;
    while (!drained && Clock::now() < deadline) {
        std::unique_lock<std::mutex> g(m);
        drained = s.sent == s.received;
        if (!drained)
            cv.wait_for(g, std::chrono::milliseconds(50));
    }
    stop = true;
    for (auto &r : readers)
        r.join();
    if (out)
        meter.record(*out, measured, frames);
    if (stalled || !drained || s.corrupt) {
        std::string e = fmt("%s%s%s", stalled ? "STALLED: no room for 5 s; " : "",
                            drained ? "" : "DATA MISMATCH: sent bytes did not all arrive; ",
                            s.corrupt ? "DATA MISMATCH: bytes wrong or out of order" : "");
        if (out)
            out->error = e;
        else
            die(relay.name + " (warm-up): " + e);
    }
}

// ---------------------------------------------------------------- scenarios

// Reps of each relay in turn: service, socat, pty, service, socat, pty, ...
void interleave(const std::function<void(int relay, Figures *out)> &rep, Row &row)
{
    for (int k = 0; k < 3; k++)
        rep(k, nullptr);  // warm-up
    for (int r = 0; r < opt.reps; r++)
        for (int k = 0; k < 3; k++)
            rep(k, &row.f[k]);
}

void note_rss(const std::string &scenario, int pid, double before)
{
    rss_notes.push_back(fmt("%-52s node rss %.1f -> %.1f MB", scenario.c_str(), before, rss_mb(pid)));
}

// One repetition's times in microseconds: its median and p99, and every sample for the
// pooled figures.
void add_times(Figures &f, const std::vector<double> &us)
{
    f.values.push_back(median(us));
    f.p99.push_back(percentile(us, 0.99));
    f.pooled.insert(f.pooled.end(), us.begin(), us.end());
}

// A scenario on a fresh trio of `nports` ports each: `rep(relay, k, out)` run as
// interleave does, then the row printed and the service's memory noted.
void run_on_trio(int nports, Row row, const std::function<void(Relay &relay, int k, Figures *out)> &rep)
{
    Trio trio(nports);
    double rss0 = rss_mb(trio.service().pid);
    interleave([&](int k, Figures *out) { rep(*trio.relays[(size_t)k], k, out); }, row);
    add_row(row);
    note_rss(row.scenario, trio.service().pid, rss0);
}

// A throughput scenario on a fresh trio, `size` bytes per write or frame. Each relay
// keeps its `State` (what was sent and received per port) over its warm-up and
// repetitions, so no byte is lost between them unnoticed.
template <typename State>
void bench_throughput(int nports, size_t size, const std::string &scenario,
                      void (*rep)(Relay &, State &, size_t size, double secs, Figures *out))
{
    std::vector<std::unique_ptr<State>> state;
    for (int k = 0; k < 3; k++)
        state.push_back(std::make_unique<State>(nports));
    run_on_trio(nports, {scenario, "MB/s", true, {}, ""}, [&](Relay &relay, int k, Figures *out) {
        rep(relay, *state[(size_t)k], size, out ? opt.seconds : opt.warmup, out);
    });
}

// The client sends one byte, the program echoes it, the client waits for it back.
void bench_echo()
{
    Row row{"1-byte echo round trip client -> program -> client, 1 port", "us", false, {},
            "p50 of all samples; ratios: socat's or the pty's time over the service's"};
    run_on_trio(1, row, [](Relay &relay, int, Figures *out) {
        std::atomic<bool> stop{false};
        std::thread echo([&] {
            char b[64];
            while (!stop) {
                ssize_t r = relay.programs[0]->read(b, sizeof b, 20);
                if (r > 0 && !relay.programs[0]->write(b, (size_t)r))
                    die(relay.name + ": the program could not echo");
            }
        });
        int count = out ? opt.samples : std::max(50, opt.samples / 10);
        std::vector<double> us;
        for (int i = 0; i < count; i++) {
            char byte = (char)(i % 250 + 1);
            bool back = false;
            auto t = Clock::now();
            if (!relay.client.send(0, &byte, 1))
                die(relay.name + ": client send failed");
            auto deadline = t + std::chrono::seconds(5);
            while (!back && Clock::now() < deadline)
                relay.client.pump(100, [&](int, const char *data, size_t n) {
                    if (n != 1 || *data != byte)
                        die(relay.name + ": the echo came back wrong");
                    back = true;
                });
            if (!back)
                die(relay.name + ": no echo within 5 s");
            us.push_back(seconds_since(t) * 1e6);
        }
        stop = true;
        echo.join();
        if (out)
            add_times(*out, us);
    });
}

// A port made and taken away: the service's create_port_req + remove_port_req; a socat
// started until its socket listens, then ended; a pty pair opened and closed.
void bench_create_remove()
{
    const std::string scenario = "create + remove of a port (cycle)";
    ServiceRelay service(0, true);
    double rss0 = rss_mb(service.pid);
    TempRoot dir;
    Row row{scenario, "us", false, {}, "the service: create_port_req + remove_port_req; socat: start until it "
                                       "accepts, end; pty: posix_openpt + close"};
    auto service_cycle = [&] {
        std::string made = service.roundtrip("create_port_req", "{\"gateway_id\": \"gw-bench\", \"portname\": \"BENCHC\"}");
        int channel = json_int(made, "channel_id");
        if (made.find("create_port_resp") == std::string::npos || json_int(made, "error_code") != 0 || channel < 0)
            die("create_port_req failed: " + made);
        std::string gone = service.roundtrip("remove_port_req", fmt("{\"channel_id\": %d}", channel));
        if (gone.find("remove_port_resp") == std::string::npos || json_int(gone, "error_code") != 0)
            die("remove_port_req failed: " + gone);
    };
    auto socat_cycle = [&] {
        SocatProcess p;
        p.start(dir.path, "cycle");
        int fd = p.connect(10000);
        if (fd < 0)
            die("socat did not listen");
        ::close(fd);
        p.stop();
    };
    auto pty_cycle = [&] {
        std::string slave;
        ::close(open_pty_master(&slave));
    };
    std::function<void()> cycles[3] = {service_cycle, socat_cycle, pty_cycle};
    interleave(
        [&](int k, Figures *out) {
            std::vector<double> us;
            for (int i = 0; i < (out ? opt.cycles : std::max(5, opt.cycles / 10)); i++) {
                auto t = Clock::now();
                cycles[k]();
                us.push_back(seconds_since(t) * 1e6);
            }
            if (out)
                add_times(*out, us);
        },
        row);
    add_row(row);
    note_rss(scenario, service.pid, rss0);
}

// The service alone: a listing request answered, with so many ports in the table.
void bench_control(int nports)
{
    ServiceRelay service(nports, false, false);
    double rss0 = rss_mb(service.pid);
    for (int i = 0; i < std::max(50, opt.requests / 10); i++)
        service.roundtrip("get_all_ports_req", "{}");
    std::vector<double> us;
    for (int r = 0; r < opt.reps; r++)
        for (int i = 0; i < opt.requests; i++) {
            auto t = Clock::now();
            service.roundtrip("get_all_ports_req", "{}");
            us.push_back(seconds_since(t) * 1e6);
        }
    std::string scenario = fmt("get_all_ports_req round trip, %d ports (service only)", nports);
    printf("\n%s\n  service  p50 %.1f us  p99 %.1f us  (n=%zu)\n", scenario.c_str(), percentile(us, 0.5),
           percentile(us, 0.99), us.size());
    fflush(stdout);
    note_rss(scenario, service.pid, rss0);
}

std::string cpu_model()
{
    std::stringstream ss(read_file("/proc/cpuinfo"));
    std::string line;
    while (std::getline(ss, line))
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown";
}

void print_summary()
{
    printf("\n%-58s | %-28s | %-26s | %-26s | %-9s | %s\n", "scenario (medians)", "service", "socat", "pty",
           "vs socat", "vs pty");
    printf("%s\n", std::string(170, '-').c_str());
    for (auto &r : rows) {
        double v[3];
        std::string cell[3];
        for (int k = 0; k < 3; k++) {
            v[k] = headline(r.f[k]);
            cell[k] = fmt("%.2f %s", v[k], r.unit.c_str());
            if (!r.f[k].p99.empty())
                cell[k] = fmt("p50 %.1f p99 %.1f us", v[k], percentile(r.f[k].pooled, 0.99));
            if (!r.f[k].error.empty())
                cell[k] += " MISMATCH";
        }
        std::string vs_socat = ratio(v[0], v[1], r.higher_is_better);
        std::string vs_pty = ratio(v[0], v[2], r.higher_is_better);
        if (!r.f[0].p99.empty()) {
            vs_socat += "/" + ratio(percentile(r.f[0].pooled, 0.99), percentile(r.f[1].pooled, 0.99), false);
            vs_pty += "/" + ratio(percentile(r.f[0].pooled, 0.99), percentile(r.f[2].pooled, 0.99), false);
        }
        printf("%-58s | %-28s | %-26s | %-26s | %-9s | %s\n", r.scenario.c_str(), cell[0].c_str(), cell[1].c_str(),
               cell[2].c_str(), vs_socat.c_str(), vs_pty.c_str());
        if (!r.f[0].cores.empty())
            printf("%-58s | %-28s | %-26s | %-26s | %-9s |\n", "   per CPU core used",
                   fmt("%.2f MB/s/core (%.2f cores)", median(r.f[0].per_core), median(r.f[0].cores)).c_str(),
                   fmt("%.2f (%.2f cores)", median(r.f[1].per_core), median(r.f[1].cores)).c_str(), "-",
                   ratio(median(r.f[0].per_core), median(r.f[1].per_core), true).c_str());
    }
    printf("ratios: above 1 the service is better (throughput: service/other; times: other/service; "
           "round trips: p50/p99)\n");
    for (auto &n : rss_notes)
        printf("%s\n", n.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    parse_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    std::string load = read_file("/proc/loadavg");
    printf("relay_bench: %ld CPUs (%s), load average %s; node stdout: %s; module %s; %d reps per relay, "
           "%.1f s per throughput rep, %d echo samples and %d create/remove cycles per rep\n",
           sysconf(_SC_NPROCESSORS_ONLN), cpu_model().c_str(), load.substr(0, load.find(' ')).c_str(),
           opt.stdout_mode.c_str(), opt.module.empty() ? module_path().c_str() : opt.module.c_str(), opt.reps,
           opt.seconds, opt.samples, opt.cycles);
    fflush(stdout);
    auto started = Clock::now();

    if (wanted("p2c")) {
        bench_throughput(1, 64, "program -> client, 1 port, 64-byte writes", p2c_rep);
        bench_throughput(1, 2008, "program -> client, 1 port, 2008-byte writes", p2c_rep);
    }
    if (wanted("c2p")) {
        bench_throughput(1, 64, "client -> program, 1 port, 64-byte frames", c2p_rep);
        bench_throughput(1, 2008, "client -> program, 1 port, 2008-byte frames", c2p_rep);
    }
    if (wanted("latency"))
        bench_echo();
    if (wanted("multi"))
        for (int n : opt.multi_ports)
            bench_throughput(n, 2008, fmt("program -> client, %d ports, 2008-byte writes, aggregate", n), p2c_rep);
    if (wanted("create"))
        bench_create_remove();
    if (wanted("control"))
        for (int n : opt.control_ports)
            bench_control(n);

    print_summary();
    load = read_file("/proc/loadavg");
    printf("total time %.1f s; load average at the end %s\n", seconds_since(started),
           load.substr(0, load.find(' ')).c_str());
    for (auto &r : rows)
        for (auto &f : r.f)
            if (!f.error.empty())
                return 1;
    return 0;
}
