// Benchmark of the port service: the real node hosts the module, a pipe client and serial
// programs on the virtual ports drive it, as in the end-to-end tests. Measures control
// round trips, data throughput in both directions (one port and several at once), the
// latency of single bytes, and the cost of creating and removing a port.
//
//   relay_bench [--requests=N] [--seconds=S] [--warmup=S] [--reps=N] [--samples=N]
//               [--cycles=N] [--ports=N] [--window=BYTES] [--stdout=pipe|file|null]
//               [--nul-data] [--control-ports=0,64] [--only=control,p2c,c2p,multi,latency,create]
//
// Every scenario gets a fresh stand-in root and its own node process. Each measurement
// is preceded by a warm-up and repeated; the tables give the median over the
// repetitions (or over all samples pooled, for latencies) and the spread.
#include <dirent.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

// ---------------------------------------------------------------- options

struct Options {
    int requests = 3000;        // control round trips per repetition
    double seconds = 1.0;       // length of one throughput repetition
    double warmup = 0.3;        // streaming before the first measured repetition
    int reps = 3;               // repetitions of every measurement
    int samples = 1000;         // single-byte latency samples per repetition
    int cycles = 100;           // create + remove cycles per repetition
    int ports = 16;             // ports of the multi-port throughput runs
    size_t window = 32 * 1024;  // client -> program bytes in flight per port
    std::string stdout_mode = "pipe";
    bool nul_data = false;
    std::set<std::string> only;
    std::vector<int> control_ports = {0, 64};
};

Options opt;

bool wanted(const std::string &section) { return opt.only.empty() || opt.only.count(section); }

[[noreturn]] void usage(const char *bad)
{
    fprintf(stderr,
            "unknown or bad argument: %s\n"
            "usage: relay_bench [--requests=N] [--seconds=S] [--warmup=S] [--reps=N] [--samples=N]\n"
            "                   [--cycles=N] [--ports=N] [--window=BYTES] [--stdout=pipe|file|null]\n"
            "                   [--nul-data] [--control-ports=0,64]\n"
            "                   [--only=control,p2c,c2p,multi,latency,create]\n",
            bad);
    exit(2);
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
        if (key == "--requests")
            opt.requests = (int)num();
        else if (key == "--seconds")
            opt.seconds = num();
        else if (key == "--warmup")
            opt.warmup = num();
        else if (key == "--reps")
            opt.reps = std::max(1, (int)num());
        else if (key == "--samples")
            opt.samples = (int)num();
        else if (key == "--cycles")
            opt.cycles = (int)num();
        else if (key == "--ports")
            opt.ports = std::min(63, std::max(1, (int)num()));
        else if (key == "--window")
            opt.window = (size_t)num();
        else if (key == "--stdout" && (val == "pipe" || val == "file" || val == "null"))
            opt.stdout_mode = val;
        else if (key == "--nul-data" && val.empty())
            opt.nul_data = true;
        else if (key == "--control-ports") {
            opt.control_ports.clear();
            std::stringstream ss(val);
            std::string s;
            while (std::getline(ss, s, ','))
                opt.control_ports.push_back(std::min(255, atoi(s.c_str())));
        } else if (key == "--only") {
            std::stringstream ss(val);
            std::string s;
            while (std::getline(ss, s, ',')) {
                static const std::set<std::string> sections = {"control", "p2c", "c2p", "multi", "latency", "create"};
                if (!sections.count(s))
                    usage(argv[i]);
                opt.only.insert(s);
            }
        } else
            usage(argv[i]);
    }
    if (opt.window < 4096)
        opt.window = 4096;
}

// ---------------------------------------------------------------- statistics

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

double mean(const std::vector<double> &v)
{
    double s = 0;
    for (double x : v)
        s += x;
    return v.empty() ? 0 : s / (double)v.size();
}

double median(const std::vector<double> &v) { return percentile(v, 0.5); }

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

struct Row {
    std::string scenario, result, spread, notes;
};
std::vector<Row> table;

void add_row(const Row &r)
{
    table.push_back(r);
    printf("  %-44s %s   [%s]%s%s\n", r.scenario.c_str(), r.result.c_str(), r.spread.c_str(),
           r.notes.empty() ? "" : "  ", r.notes.c_str());
    fflush(stdout);
}

// Latency samples of several repetitions: pooled p50/p99/mean, spread of the per-rep p50.
void add_latency_row(const std::string &scenario, const std::vector<std::vector<double>> &reps,
                     const std::string &notes = "")
{
    std::vector<double> pooled, p50s;
    for (auto &r : reps) {
        pooled.insert(pooled.end(), r.begin(), r.end());
        p50s.push_back(percentile(r, 0.5));
    }
    add_row({scenario,
             fmt("p50 %7.1f us  p99 %7.1f us  mean %7.1f us", percentile(pooled, 0.5), percentile(pooled, 0.99),
                 mean(pooled)),
             fmt("p50 per rep %.1f-%.1f us, n=%zu", *std::min_element(p50s.begin(), p50s.end()),
                 *std::max_element(p50s.begin(), p50s.end()), pooled.size()),
             notes});
}

// ---------------------------------------------------------------- CPU use of the node process

// Ticks of user + system time per thread id.
std::map<int, double> thread_ticks(int pid)
{
    std::map<int, double> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    while (d) {
        dirent *e = readdir(d);
        if (!e)
            break;
        if (e->d_name[0] == '.')
            continue;
        std::string stat = read_file(dir + "/" + e->d_name + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::stringstream ss(stat.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; ss >> field; i++) {
            if (i == 14)
                utime = atof(field.c_str());
            if (i == 15) {
                stime = atof(field.c_str());
                break;
            }
        }
        out[atoi(e->d_name)] = utime + stime;
    }
    if (d)
        closedir(d);
    return out;
}

// Resident memory of a process in MB.
double rss_mb(int pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : atof(status.c_str() + at + 6) / 1024;
}

double own_cpu_seconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

struct CpuProbe {
    int pid = -1;
    std::map<int, double> start;
    double own_start = 0;
    double rss_start = 0;
    Clock::time_point t0;

    void begin(int node_pid)
    {
        pid = node_pid;
        rss_start = rss_mb(pid);
        start = thread_ticks(pid);
        own_start = own_cpu_seconds();
        t0 = Clock::now();
    }
    // "cpu: node 135% (busiest threads 98% 31% 0%), client 80%; node rss 50->60 MB"
    std::string end() const
    {
        double wall = seconds_since(t0);
        auto now = thread_ticks(pid);
        double hz = (double)sysconf(_SC_CLK_TCK);
        std::vector<double> busy;
        double total = 0;
        for (auto &kv : now) {
            auto it = start.find(kv.first);
            double used = (kv.second - (it == start.end() ? 0 : it->second)) / hz / wall * 100;
            total += used;
            busy.push_back(used);
        }
        std::sort(busy.rbegin(), busy.rend());
        std::string threads;
        for (size_t i = 0; i < busy.size() && i < 3; i++)
            threads += fmt("%s%.0f%%", i ? " " : "", busy[i]);
        return fmt("cpu: node %.0f%% (busiest threads %s), client %.0f%%; node rss %.0f->%.0f MB", total,
                   threads.c_str(), (own_cpu_seconds() - own_start) / wall * 100, rss_start, rss_mb(pid));
    }
};

// ---------------------------------------------------------------- one service under test

// A fresh root, node hosting the module with vsp_init called, and a connected client.
struct Service {
    TempRoot root;
    std::unique_ptr<NodeHost> node;
    PipeClient client;
    int pid = -1;

    explicit Service(const std::function<void(const std::string &root)> &seed = {})
    {
        if (seed)
            seed(root.path);
        std::string exe;
        if (opt.stdout_mode != "pipe") {
            // The module's log goes straight to a file (or nowhere) instead of to our pipe.
            std::string target = opt.stdout_mode == "file" ? root.path + "/node-stdout.log" : "/dev/null";
            exe = root.path + "/host.sh";
            write_file(exe, "#!/bin/sh\nexec '" + std::string(NODE_EXECUTABLE) + "' \"$1\" >'" + target + "'\n");
            chmod(exe.c_str(), 0755);
        }
        node = std::make_unique<NodeHost>(root.path, exe);
        node->load();
        node->send_line("call vsp_init");
        if (!client.connect(root.path, 20000))
            fail("the service did not come up");
        // The host script execs node, so the process keeps the id the harness started.
        pid = node->pid();
    }

    ~Service()
    {
        client.close();
        node.reset();
    }

    [[noreturn]] void fail(const std::string &what)
    {
        fprintf(stderr, "relay_bench: %s\n", what.c_str());
        if (opt.stdout_mode == "pipe") {
            std::string out = node->output();
            if (out.size() > 4000)
                out = "..." + out.substr(out.size() - 4000);
            fprintf(stderr, "--- end of the module's output ---\n%s\n", out.c_str());
        }
        node->stop();
        _exit(1);
    }

    std::string roundtrip(const std::string &msg_id, const std::string &body)
    {
        if (!client.send_json(request(msg_id, body)))
            fail("could not send " + msg_id);
        auto answer = client.recv_json(10000);
        if (!answer)
            fail("no answer to " + msg_id);
        return *answer;
    }

    // Opens a program on the port and returns the channel its "open_port_notify" names.
    int open_program(SerialProgram &program, const std::string &port)
    {
        if (!program.open(root.path, port))
            fail("cannot open the terminal of " + port);
        auto note = client.recv_json(10000);
        if (!note || note->find("open_port_notify") == std::string::npos)
            fail("no open_port_notify for " + port);
        return json_int(*note, "channel_id");
    }

    static int json_int(const std::string &text, const std::string &member)
    {
        size_t at = text.find("\"" + member + "\":");
        return at == std::string::npos ? -1 : atoi(text.c_str() + at + member.size() + 3);
    }
};

std::string port_name(int i) { return fmt("BENCH%02d", i); }

void seed_ports(const std::string &root, int count)
{
    for (int i = 0; i < count; i++)
        seed_virtual_port(root, fmt("ROOT#PORTS#%04d", i), port_name(i), fmt("gw-%02d", i));
}

// Every port's test stream repeats a 251-byte cycle (a prime, so it never lines up with
// frame sizes): 1..251, or 0..250 with --nul-data. Filling and checking copy and compare
// from a table so that the client's own work stays small.
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

void fill_stream(std::string &buf, uint64_t at, size_t n)
{
    buf.assign(stream_table(), (size_t)(at % stream_cycle), n);
}

bool check_stream(const char *data, size_t n, uint64_t at)
{
    while (n > 0) {
        size_t part = std::min(n, stream_chunk_max);
        if (memcmp(data, stream_table().data() + at % stream_cycle, part) != 0)
            return false;
        data += part;
        at += part;
        n -= part;
    }
    return true;
}

// ---------------------------------------------------------------- 1. control round trip

void bench_control(int ports)
{
    Service svc([&](const std::string &root) { seed_ports(root, ports); });
    std::string first = svc.roundtrip("get_all_ports_req", "{}");
    size_t listed = 0;
    for (size_t at = 0; (at = first.find("\"channel_id\"", at)) != std::string::npos; at++)
        listed++;
    if (first.find("get_all_ports_resp") == std::string::npos || listed != (size_t)ports)
        svc.fail(fmt("expected %d ports listed, got: %.200s", ports, first.c_str()));

    for (int i = 0; i < std::max(50, opt.requests / 10); i++)
        svc.roundtrip("get_all_ports_req", "{}");
    std::vector<std::vector<double>> reps;
    CpuProbe cpu;
    cpu.begin(svc.pid);
    for (int r = 0; r < opt.reps; r++) {
        std::vector<double> us;
        for (int i = 0; i < opt.requests; i++) {
            auto t = Clock::now();
            svc.roundtrip("get_all_ports_req", "{}");
            us.push_back(seconds_since(t) * 1e6);
        }
        reps.push_back(us);
    }
    add_latency_row(fmt("get_all_ports_req, %d ports in the table", ports), reps,
                    fmt("answer %zu B; %s", first.size() + 1, cpu.end().c_str()));
}

// ---------------------------------------------------------------- throughput

struct Throughput {
    std::vector<double> mbps, fps;  // per repetition
    double mean_frame = 0;
    std::vector<double> per_port_mbps;
    std::string cpu;
    std::string loss;
};

// Marks repetition boundaries on a stream whose byte and frame counters other code
// advances; returns per-rep figures.
struct RepClock {
    Clock::time_point start = Clock::now();
    Clock::time_point next;
    int rep = -1;  // -1: warming up
    uint64_t bytes0 = 0, frames0 = 0;
    Throughput *out;
    CpuProbe cpu;
    int pid;
    Clock::time_point measure_start;
    std::function<void()> on_start;  // run when the warm-up ends

    RepClock(Throughput *t, int node_pid) : out(t), pid(node_pid)
    {
        next = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.warmup));
    }
    // Returns false once all repetitions are done.
    bool tick(uint64_t bytes, uint64_t frames)
    {
        auto now = Clock::now();
        if (now < next)
            return true;
        if (rep >= 0) {
            double secs = std::chrono::duration<double>(now - (next - rep_len())).count();
            out->mbps.push_back((double)(bytes - bytes0) / secs / 1e6);
            out->fps.push_back((double)(frames - frames0) / secs);
        } else {
            if (on_start)
                on_start();
            cpu.begin(pid);
            measure_start = now;
        }
        rep++;
        bytes0 = bytes;
        frames0 = frames;
        next = now + rep_len();
        if (rep == opt.reps) {
            out->cpu = cpu.end();
            return false;
        }
        return true;
    }
    static Clock::duration rep_len()
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.seconds));
    }
};

// Programs write `chunk`-byte writes as fast as they can; the client counts and checks
// the data frames it receives.
Throughput bench_program_to_client(int nports, size_t chunk)
{
    Service svc([&](const std::string &root) { seed_ports(root, nports); });
    std::vector<std::unique_ptr<SerialProgram>> programs;
    for (int i = 0; i < nports; i++) {
        programs.push_back(std::make_unique<SerialProgram>());
        svc.open_program(*programs.back(), port_name(i));
    }

    std::atomic<bool> stop{false};
    std::vector<std::atomic<uint64_t>> written(nports);
    std::vector<std::thread> writers;
    for (int i = 0; i < nports; i++) {
        written[i] = 0;
        writers.emplace_back([&, i] {
            std::string buf;
            uint64_t at = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                fill_stream(buf, at, chunk);
                if (!programs[i]->write(buf))
                    return;
                at += chunk;
                written[i].store(at);
            }
        });
    }

    Throughput t;
    std::map<int, uint64_t> got;  // per channel
    uint64_t bytes = 0, frames = 0;
    bool corrupt = false;
    RepClock clock(&t, svc.pid);
    std::map<int, uint64_t> got_at_measure;
    clock.on_start = [&] { got_at_measure = got; };
    bool measuring = true;
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        auto frame = svc.client.recv(measuring ? 1000 : 300);
        if (measuring && !clock.tick(bytes, frames)) {
            measuring = false;
            double secs = seconds_since(clock.measure_start);
            for (auto &kv : got)
                t.per_port_mbps.push_back((double)(kv.second - got_at_measure[kv.first]) / secs / 1e6);
            t.mean_frame = frames ? (double)bytes / (double)frames : 0;
            stop = true;
        }
        if (!frame) {
            if (measuring)
                svc.fail("no data frame for a second while the programs write");
            break;  // drained
        }
        if (frame->size() < 2 || (*frame)[0] == '\xFF')
            continue;  // a notification, or data of no bytes
        int ch = (unsigned char)(*frame)[0];
        size_t n = frame->size() - 1;
        if (!check_stream(frame->data() + 1, n, got[ch]))
            corrupt = true;
        got[ch] += n;
        bytes += n;
        frames++;
    }
    for (auto &w : writers)
        w.join();
    uint64_t total_written = 0, total_got = 0;
    for (auto &w : written)
        total_written += w;
    for (auto &kv : got)
        total_got += kv.second;
    if (corrupt || total_got != total_written)
        t.loss = fmt("DATA MISMATCH: written %llu, received %llu%s", (unsigned long long)total_written,
                     (unsigned long long)total_got, corrupt ? ", bytes out of order or wrong" : "");
    return t;
}

// The client sends frames of `size` data bytes round robin to the ports, keeping at most
// the window in flight per port (the driver drops what a program leaves unread beyond
// its own buffer, so an unbounded sender would measure losses); programs read and check.
Throughput bench_client_to_program(int nports, size_t size)
{
    Service svc([&](const std::string &root) { seed_ports(root, nports); });
    std::vector<std::unique_ptr<SerialProgram>> programs;
    std::vector<int> channels;
    for (int i = 0; i < nports; i++) {
        programs.push_back(std::make_unique<SerialProgram>());
        channels.push_back(svc.open_program(*programs.back(), port_name(i)));
    }

    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> stop{false};
    std::atomic<bool> corrupt{false};
    std::vector<std::atomic<uint64_t>> received(nports);
    std::vector<std::thread> readers;
    for (int i = 0; i < nports; i++) {
        received[i] = 0;
        readers.emplace_back([&, i] {
            uint64_t at = 0;
            int idle_ms = 0;
            while (idle_ms < 500) {
                std::string got = programs[i]->read(4096, 10);
                if (got.empty()) {
                    if (stop)
                        idle_ms += 10;
                    continue;
                }
                idle_ms = 0;
                if (!check_stream(got.data(), got.size(), at))
                    corrupt = true;
                at += got.size();
                {
                    std::lock_guard<std::mutex> g(m);
                    received[i] = at;
                }
                cv.notify_one();
            }
        });
    }

    Throughput t;
    std::vector<uint64_t> sent(nports, 0);
    std::vector<uint64_t> at_measure(nports, 0);
    RepClock clock(&t, svc.pid);
    clock.on_start = [&] {
        for (int i = 0; i < nports; i++)
            at_measure[i] = received[i];
    };
    std::string frame;
    auto total_received = [&] {
        uint64_t s = 0;
        for (auto &r : received)
            s += r;
        return s;
    };
    bool stalled = false;
    for (size_t next = 0;;) {
        // Bytes and frames as delivered to the programs.
        uint64_t delivered = total_received();
        if (!clock.tick(delivered, delivered / size))
            break;
        int port = -1;
        {
            std::unique_lock<std::mutex> g(m);
            auto has_room = [&](int i) { return sent[i] - received[i] + size <= opt.window; };
            for (int k = 0; k < nports && port < 0; k++)
                if (has_room((int)((next + k) % nports)))
                    port = (int)((next + k) % nports);
            if (port < 0) {
                if (!cv.wait_for(g, std::chrono::seconds(2), [&] {
                        for (int i = 0; i < nports; i++)
                            if (has_room(i))
                                return true;
                        return false;
                    })) {
                    stalled = true;
                    break;
                }
                continue;
            }
        }
        next = (size_t)port + 1;
        frame.assign(1, (char)channels[port]);
        frame.append(stream_table(), (size_t)(sent[port] % stream_cycle), size);
        if (!svc.client.send(frame))
            svc.fail("could not send a data frame");
        sent[port] += size;
    }
    double secs = seconds_since(clock.measure_start);
    for (int i = 0; i < nports; i++)
        t.per_port_mbps.push_back((double)(received[i] - at_measure[i]) / secs / 1e6);
    stop = true;
    for (auto &r : readers)
        r.join();
    uint64_t total_sent = 0;
    for (auto s : sent)
        total_sent += s;
    t.mean_frame = (double)size;
    if (stalled)
        t.loss = "STALLED: no program received anything for 2 s";
    if (corrupt || total_received() != total_sent)
        t.loss += fmt("%sDATA MISMATCH: sent %llu, received %llu%s", t.loss.empty() ? "" : "; ",
                      (unsigned long long)total_sent, (unsigned long long)total_received(),
                      corrupt ? ", bytes out of order or wrong" : "");
    if (stalled)
        svc.fail(t.loss);
    return t;
}

void add_throughput_row(const std::string &scenario, const Throughput &t)
{
    std::string fairness;
    if (t.per_port_mbps.size() > 1) {
        auto [lo, hi] = std::minmax_element(t.per_port_mbps.begin(), t.per_port_mbps.end());
        fairness = fmt("per port %.2f-%.2f MB/s; ", *lo, *hi);
    }
    add_row({scenario,
             fmt("%8.2f MB/s  %9.0f frames/s  mean frame %6.0f B", median(t.mbps), median(t.fps), t.mean_frame),
             fmt("%.2f-%.2f MB/s over %zu reps", *std::min_element(t.mbps.begin(), t.mbps.end()),
                 *std::max_element(t.mbps.begin(), t.mbps.end()), t.mbps.size()),
             fairness + t.cpu + (t.loss.empty() ? "" : "; " + t.loss)});
}

// ---------------------------------------------------------------- 3. single-byte latency

void bench_latency()
{
    Service svc([](const std::string &root) { seed_ports(root, 1); });
    SerialProgram program;
    int channel = svc.open_program(program, port_name(0));
    std::string frame = std::string(1, (char)channel) + "x";

    auto p2c_once = [&] {
        auto t = Clock::now();
        if (!program.write("x"))
            svc.fail("program write failed");
        auto got = svc.client.recv_data(5000);
        if (!got || *got != frame)
            svc.fail("the byte did not come through as one data frame");
        return seconds_since(t) * 1e6;
    };
    auto c2p_once = [&] {
        auto t = Clock::now();
        if (!svc.client.send(frame))
            svc.fail("client send failed");
        if (program.read(1, 5000) != "x")
            svc.fail("the byte did not reach the program");
        return seconds_since(t) * 1e6;
    };
    for (auto &[name, once] : std::vector<std::pair<std::string, std::function<double()>>>{
             {"latency 1 byte program -> client", p2c_once}, {"latency 1 byte client -> program", c2p_once}}) {
        for (int i = 0; i < std::max(50, opt.samples / 10); i++)
            once();
        std::vector<std::vector<double>> reps;
        CpuProbe cpu;
        cpu.begin(svc.pid);
        for (int r = 0; r < opt.reps; r++) {
            std::vector<double> us;
            for (int i = 0; i < opt.samples; i++)
                us.push_back(once());
            reps.push_back(us);
        }
        add_latency_row(name, reps, cpu.end());
    }
}

// ---------------------------------------------------------------- 4. create + remove

void bench_create_remove()
{
    Service svc([](const std::string &root) { seed_driver_package(root); });
    auto cycle = [&](double *create_us, double *remove_us) {
        auto t0 = Clock::now();
        std::string made = svc.roundtrip("create_port_req", "{\"gateway_id\": \"gw-bench\", \"portname\": \"BENCHC\"}");
        auto t1 = Clock::now();
        int channel = Service::json_int(made, "channel_id");
        if (made.find("create_port_resp") == std::string::npos || Service::json_int(made, "error_code") != 0 ||
            channel < 0)
            svc.fail("create_port_req failed: " + made);
        std::string gone = svc.roundtrip("remove_port_req", fmt("{\"channel_id\": %d}", channel));
        if (gone.find("remove_port_resp") == std::string::npos || Service::json_int(gone, "error_code") != 0)
            svc.fail("remove_port_req failed: " + gone);
        *create_us = std::chrono::duration<double>(t1 - t0).count() * 1e6;
        *remove_us = seconds_since(t1) * 1e6;
    };
    double c, r;
    for (int i = 0; i < std::max(5, opt.cycles / 10); i++)
        cycle(&c, &r);
    std::vector<std::vector<double>> creates, removes, cycles;
    CpuProbe cpu;
    cpu.begin(svc.pid);
    for (int rep = 0; rep < opt.reps; rep++) {
        std::vector<double> cs, rs, ys;
        for (int i = 0; i < opt.cycles; i++) {
            cycle(&c, &r);
            cs.push_back(c);
            rs.push_back(r);
            ys.push_back(c + r);
        }
        creates.push_back(cs);
        removes.push_back(rs);
        cycles.push_back(ys);
    }
    std::string used = cpu.end();
    add_latency_row("create_port_req + remove_port_req cycle", cycles, used);
    add_latency_row("  of which create_port_req", creates);
    add_latency_row("  of which remove_port_req", removes);
}

// ---------------------------------------------------------------- machine

std::string cpu_model()
{
    std::stringstream ss(read_file("/proc/cpuinfo"));
    std::string line;
    while (std::getline(ss, line))
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown";
}

}  // namespace

int main(int argc, char **argv)
{
    parse_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    // Other work on the machine moves the figures; the load average says how much there was.
    std::string load = read_file("/proc/loadavg");
    load = load.substr(0, load.find(' '));
    printf("relay_bench: %ld CPUs (%s), load average %s; node stdout: %s; %d reps, warm-up %.1f s, %.1f s per throughput rep, "
           "%d requests, %d latency samples, %d create/remove cycles per rep\n",
           sysconf(_SC_NPROCESSORS_ONLN), cpu_model().c_str(), load.c_str(), opt.stdout_mode.c_str(), opt.reps, opt.warmup,
           opt.seconds, opt.requests, opt.samples, opt.cycles);
    fflush(stdout);
    auto started = Clock::now();

    if (wanted("control")) {
        for (int ports : opt.control_ports)
            bench_control(ports);
    }
    if (wanted("p2c")) {
        add_throughput_row("program -> client, 1 port, writes of 2047 B", bench_program_to_client(1, 2047));
        add_throughput_row("program -> client, 1 port, writes of 64 B", bench_program_to_client(1, 64));
    }
    if (wanted("c2p")) {
        add_throughput_row("client -> program, 1 port, frames of 2046 B", bench_client_to_program(1, 2046));
        add_throughput_row("client -> program, 1 port, frames of 64 B", bench_client_to_program(1, 64));
    }
    if (wanted("multi")) {
        add_throughput_row(fmt("program -> client, %d ports, writes of 2047 B", opt.ports),
                           bench_program_to_client(opt.ports, 2047));
        add_throughput_row(fmt("client -> program, %d ports, frames of 2046 B", opt.ports),
                           bench_client_to_program(opt.ports, 2046));
    }
    if (wanted("latency"))
        bench_latency();
    if (wanted("create"))
        bench_create_remove();

    printf("\n%-46s | %-58s | %s\n", "scenario", "result (median of reps; latencies pooled)", "spread");
    printf("%s\n", std::string(150, '-').c_str());
    for (auto &r : table)
        printf("%-46s | %-58s | %s\n", r.scenario.c_str(), r.result.c_str(), r.spread.c_str());
    load = read_file("/proc/loadavg");
    printf("total time %.1f s; load average at the end %s\n", seconds_since(started), load.substr(0, load.find(' ')).c_str());
    bool bad = false;
    for (auto &r : table)
        bad |= r.notes.find("MISMATCH") != std::string::npos;
    return bad ? 1 : 0;
}
