// The stand-in for the virtual serial port driver. Each started port is a pseudo-terminal:
// serial programs open its slave (linked at <root>/dev/NAME), the service talks to the
// master side through DeviceIoControl on "\\.\NAME". What a program does - open, write,
// close - reaches the service as completions of its pending READ requests, in order.
#include "driver.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>

#include "core.h"
#include "winsim/test.h"

namespace winsim {

namespace {

const DWORD IOCTL_PORT_READ = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD IOCTL_PORT_WRITE = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 201, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD IOCTL_PORT_OPEN = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 202, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD IOCTL_PORT_STATUS = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 203, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Bytes for a program that does not read are kept up to this much (beyond what the
// terminal itself buffers); the excess is dropped, as on a line nobody drains.
const size_t outgoing_limit = 64 * 1024;
// Bytes from a program wait for the service's READs up to this much; beyond it the
// master is no longer read, so the program's writes block as under flow control.
const size_t incoming_limit = 64 * 1024;

// What happened on the program's side, in the order it happened.
struct PortEvent {
    enum Kind { Opened, Data, Closed } kind;
    std::string data;
    size_t used = 0;  // bytes of `data` already handed to READs
};

struct PendingRead {
    HANDLE handle;
    OVERLAPPED *ov;
    unsigned char *out;
    DWORD size;
};

// A WRITE or STATUS request kept pending while a test holds the port's requests. Both
// are buffered: the input was copied at issue, the caller's buffer is free already.
struct HeldRequest {
    HANDLE handle;
    OVERLAPPED *ov;
    DWORD code;
    std::string input;
};

struct Port {
    std::string name;
    std::string key;          // lower-case name
    std::string terminal;     // /dev/pts/N
    std::string link;         // <root>/dev/NAME
    std::string status_file;  // <root>/status/NAME
    int master = -1;
    int slave = -1;  // the driver's own; keeps the master from seeing a hang-up
    int watch = -1;
    uint32_t interest = 0;
    bool master_failed = false;
    bool stopped = false;
    bool connected = false;  // a program has the terminal open
    bool delivery_posted = false;
    int status = -1;
    std::deque<PortEvent> events;
    size_t incoming = 0;  // data bytes in `events` not yet delivered
    std::deque<PendingRead> reads;
    std::string outgoing;
    bool hold = false;  // WRITE and STATUS go pending, as when the driver is slow to take them
    std::deque<HeldRequest> held;
};

struct Note {
    int wd;
    uint32_t mask;
};

struct Driver {
    std::map<std::string, std::shared_ptr<Port>> ports;  // by lower-case name
    std::map<int, std::shared_ptr<Port>> by_watch;
    int notify_fd = -1;
    std::deque<Note> notes;  // read from notify_fd, not yet handled
    PortResolver resolver;
};

Driver &driver()
{
    static auto *d = new Driver;
    return *d;
}

std::string lower(const std::string &s)
{
    std::string out(s);
    for (char &c : out)
        c = (char)tolower((unsigned char)c);
    return out;
}

// The service opens "\\.\NAME" from a 255-byte buffer, so 250 characters is the longest
// name it serves; the host's file names take 255 bytes, which leaves room for the link's
// temporary "NAME.new" beside it.
bool valid_port_name(const std::string &name)
{
    if (name.empty() || name.size() > 250 || name == "." || name == "..")
        return false;
    for (char c : name)
        if (c == '/' || c == '\\' || c == '\0' || (unsigned char)c < 0x20)
            return false;
    return true;
}

std::shared_ptr<Port> find_port(const std::string &name)
{
    auto it = driver().ports.find(lower(name));
    return it == driver().ports.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------- requests

// Ends the matching pending requests with ERROR_OPERATION_ABORTED. The completion is
// posted, as the system completes cancelled requests later, so that a caller that drops
// its buffer or OVERLAPPED before the completion arrives is caught.
template <class Request>
size_t abort_matching(std::deque<Request> &queue, bool all, HANDLE h, OVERLAPPED *ov)
{
    size_t n = 0;
    for (auto it = queue.begin(); it != queue.end();) {
        if (all || (it->handle == h && (!ov || it->ov == ov))) {
            OVERLAPPED *done = it->ov;
            reactor_post([done] { io_complete(done, ERROR_OPERATION_ABORTED, 0); });
            it = queue.erase(it);
            n++;
        } else {
            ++it;
        }
    }
    return n;
}

size_t abort_requests(Port &p, bool all, HANDLE h, OVERLAPPED *ov)
{
    return abort_matching(p.reads, all, h, ov) + abort_matching(p.held, all, h, ov);
}

void update_interest(Port &p)
{
    if (p.stopped || p.master_failed)
        return;
    uint32_t want = 0;
    if (p.incoming < incoming_limit)
        want |= EPOLLIN;
    if (!p.outgoing.empty())
        want |= EPOLLOUT;
    if (want != p.interest) {
        p.interest = want;
        reactor_modify(p.master, want);
    }
}

// Hands queued events to pending READs: an open or a close completes one READ by itself;
// data fills a READ from as many data events as fit, never reaching past an open or close.
void deliver(Port &p)
{
    while (!p.reads.empty() && !p.events.empty()) {
        PendingRead r = p.reads.front();
        p.reads.pop_front();
        PortEvent &first = p.events.front();
        if (first.kind != PortEvent::Data) {
            DWORD error = first.kind == PortEvent::Opened ? ERROR_EVENT_PENDING : ERROR_EVENT_DONE;
            p.events.pop_front();
            io_complete(r.ov, error, 0);
            continue;
        }
        DWORD n = 0;
        while (n < r.size && !p.events.empty() && p.events.front().kind == PortEvent::Data) {
            PortEvent &e = p.events.front();
            size_t take = std::min<size_t>(r.size - n, e.data.size() - e.used);
            memcpy(r.out + n, e.data.data() + e.used, take);
            e.used += take;
            n += (DWORD)take;
            p.incoming -= take;
            if (e.used == e.data.size())
                p.events.pop_front();
        }
        io_complete(r.ov, 0, n);
    }
    update_interest(p);
}

// READs complete from the I/O thread only, even when an event is waiting already.
void schedule_delivery(const std::shared_ptr<Port> &port)
{
    if (port->delivery_posted || port->events.empty())
        return;
    port->delivery_posted = true;
    std::weak_ptr<Port> weak = port;
    reactor_post([weak] {
        if (auto p = weak.lock()) {
            p->delivery_posted = false;
            if (!p->stopped)
                deliver(*p);
        }
    });
}

void queue_event(Port &p, PortEvent::Kind kind)
{
    PortEvent e;
    e.kind = kind;
    p.events.push_back(std::move(e));
}

void queue_data(Port &p, const char *data, size_t n)
{
    if (!p.connected) {
        // The open went unseen (the notification queue overflowed); data still only
        // ever follows an open.
        p.connected = true;
        queue_event(p, PortEvent::Opened);
    }
    PortEvent *last = p.events.empty() ? nullptr : &p.events.back();
    // A partly delivered event is not grown, so that delivered bytes get freed.
    if (last && last->kind == PortEvent::Data && last->used == 0) {
        last->data.append(data, n);
    } else {
        PortEvent e;
        e.kind = PortEvent::Data;
        e.data.assign(data, n);
        p.events.push_back(std::move(e));
    }
    p.incoming += n;
}

// Reads what programs wrote. `all` ignores the limit: a close must come after every
// byte written before it. A read that finds nothing waiting also makes the terminal
// move input still in flight, so bytes written just before a close are seen here.
void read_master(Port &p, bool all)
{
    if (p.master_failed)
        return;
    char buf[4096];
    for (;;) {
        if (!all && p.incoming >= incoming_limit)
            break;
        ssize_t n = read(p.master, buf, sizeof buf);
        if (n > 0) {
            queue_data(p, buf, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            // A master fails only once no slave is open, which the driver's own slave
            // prevents; should it happen anyway, stop watching rather than spin.
            p.master_failed = true;
            reactor_unwatch(p.master);
        }
        break;
    }
}

void flush_outgoing(Port &p)
{
    while (!p.outgoing.empty() && !p.master_failed) {
        ssize_t n = write(p.master, p.outgoing.data(), p.outgoing.size());
        if (n > 0) {
            p.outgoing.erase(0, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;  // the terminal is full: wait until it has room
    }
    update_interest(p);
}

void queue_outgoing(Port &p, const char *data, size_t n)
{
    if (!p.connected || n == 0)
        return;  // nobody listens: the bytes are gone, as on an unconnected line
    size_t room = outgoing_limit - std::min(outgoing_limit, p.outgoing.size());
    p.outgoing.append(data, std::min(n, room));
    flush_outgoing(p);
}

// ---------------------------------------------------------------- programs opening and closing

// Whether a process other than the driver has the terminal open. Notifications of the
// same kind that follow each other unread are merged into one by the kernel, so two
// programs opening at once show as one open; counting opens and closes cannot tell when
// the last program is gone, the processes' open files can.
bool terminal_held(const Port &p)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    std::string own = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(p.slave);
    bool held = false;
    while (!held) {
        dirent *pe = readdir(proc);
        if (!pe)
            break;
        if (!isdigit((unsigned char)pe->d_name[0]))
            continue;
        std::string dir = std::string("/proc/") + pe->d_name + "/fd";
        DIR *fds = opendir(dir.c_str());
        if (!fds)
            continue;
        while (dirent *fe = readdir(fds)) {
            if (fe->d_name[0] == '.')
                continue;
            std::string path = dir + "/" + fe->d_name;
            if (path == own)
                continue;
            char target[PATH_MAX];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            if (n == (ssize_t)p.terminal.size() && memcmp(target, p.terminal.data(), (size_t)n) == 0) {
                held = true;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return held;
}

void read_notes()
{
    Driver &d = driver();
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(d.notify_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (char *p = buf; p < buf + n;) {
            auto *ev = reinterpret_cast<inotify_event *>(p);
            d.notes.push_back(Note{ev->wd, ev->mask});
            p += sizeof *ev + ev->len;
        }
    }
}

// Whether another program's open of this terminal is already waiting to be handled.
bool open_waiting(const Port &p)
{
    read_notes();
    for (const Note &n : driver().notes)
        if (n.wd == p.watch && (n.mask & IN_OPEN))
            return true;
    return false;
}

void program_opened(Port &p)
{
    if (p.connected)
        return;  // another program joins one already there
    p.connected = true;
    queue_event(p, PortEvent::Opened);
}

void program_closed(Port &p)
{
    if (!p.connected)
        return;
    read_master(p, true);
    // Still open elsewhere: another program keeps the session. But one that opened after
    // this close starts a session of its own, announced by its own open. The kernel
    // queues an open's notification before the file shows among the process's files,
    // so looking at the files first and the notifications second cannot miss it.
    if (terminal_held(p) && !open_waiting(p))
        return;
    queue_event(p, PortEvent::Closed);
    p.connected = false;
    // The next program starts clean: nothing the last one left unread, nothing queued for it.
    tcflush(p.slave, TCIFLUSH);
    p.outgoing.clear();
}

void handle_notes()
{
    Driver &d = driver();
    read_notes();
    while (!d.notes.empty()) {
        Note n = d.notes.front();
        d.notes.pop_front();
        if (n.mask & IN_Q_OVERFLOW) {
            // Opens and closes were lost: take the state from the open files instead.
            for (auto &entry : d.ports) {
                Port &p = *entry.second;
                if (p.connected)
                    program_closed(p);
                else if (terminal_held(p))
                    program_opened(p);
                deliver(p);
            }
            continue;
        }
        auto it = d.by_watch.find(n.wd);
        if (it == d.by_watch.end())
            continue;  // a port stopped since
        std::shared_ptr<Port> port = it->second;
        if (n.mask & IN_OPEN)
            program_opened(*port);
        else if (n.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
            program_closed(*port);
        deliver(*port);
    }
}

void master_ready(const std::weak_ptr<Port> &weak, uint32_t events)
{
    // The open that preceded these bytes is handled first, so data never precedes it.
    handle_notes();
    auto p = weak.lock();
    if (!p || p->stopped)
        return;
    if (events & EPOLLOUT)
        flush_outgoing(*p);
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
        read_master(*p, false);
    deliver(*p);
}

// ---------------------------------------------------------------- the status byte

void store_status(Port &p, int value)
{
    p.status = value;
    // Written beside the folder rather than in it: a status file's own name may take all
    // 255 bytes, and any name in the folder could be some port's.
    std::string folder = p.status_file.substr(0, p.status_file.rfind('/'));
    std::string tmp = folder.substr(0, folder.rfind('/')) + "/.status-XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0)
        return;
    fchmod(fd, 0644);
    std::string text = std::to_string(value) + "\n";
    bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    close(fd);
    if (!ok || rename(tmp.c_str(), p.status_file.c_str()) != 0)
        unlink(tmp.c_str());
}

// ---------------------------------------------------------------- start and stop

bool start_port(const std::string &name)
{
    Driver &d = driver();
    if (find_port(name))
        return true;
    if (!valid_port_name(name))
        return false;
    if (d.notify_fd < 0) {
        d.notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (d.notify_fd < 0)
            return false;
        reactor_watch(d.notify_fd, EPOLLIN, [](uint32_t) { handle_notes(); });
    }
    auto p = std::make_shared<Port>();
    p->name = name;
    p->key = lower(name);
    p->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char path[128];
    if (p->master < 0 || grantpt(p->master) != 0 || unlockpt(p->master) != 0 ||
        ptsname_r(p->master, path, sizeof path) != 0) {
        if (p->master >= 0)
            close(p->master);
        return false;
    }
    p->terminal = path;
    // O_NOCTTY: a service without a terminal must not get this one as its own.
    p->slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t;
    bool ok = p->slave >= 0 && tcgetattr(p->slave, &t) == 0;
    if (ok) {
        cfmakeraw(&t);
        ok = tcsetattr(p->slave, TCSANOW, &t) == 0;
    }
    ok = ok && fcntl(p->master, F_SETFL, fcntl(p->master, F_GETFL) | O_NONBLOCK) == 0;
    // Added after the driver's own open, so only programs' opens are reported.
    if (ok)
        p->watch = inotify_add_watch(d.notify_fd, path, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (!ok || p->watch < 0) {
        if (p->slave >= 0)
            close(p->slave);
        close(p->master);
        return false;
    }

    std::string dev = root_subdir("dev");
    p->link = dev + "/" + name;
    // Beside "dev/NAME" a 250-character name leaves no room for a suffix.
    p->status_file = root_subdir("status") + "/" + name;
    // A link left by an earlier run is replaced in one step.
    std::string tmp = p->link + ".new";
    unlink(tmp.c_str());
    if (symlink(path, tmp.c_str()) != 0 || rename(tmp.c_str(), p->link.c_str()) != 0) {
        unlink(tmp.c_str());
        inotify_rm_watch(d.notify_fd, p->watch);
        close(p->slave);
        close(p->master);
        return false;
    }
    unlink(p->status_file.c_str());  // an earlier run's status says nothing of this port

    std::weak_ptr<Port> weak = p;
    p->interest = EPOLLIN;
    reactor_watch(p->master, EPOLLIN, [weak](uint32_t events) { master_ready(weak, events); });
    d.ports[p->key] = p;
    d.by_watch[p->watch] = p;
    return true;
}

bool stop_port(const std::string &name)
{
    Driver &d = driver();
    auto p = find_port(name);
    if (!p)
        return false;
    p->stopped = true;
    abort_requests(*p, true, nullptr, nullptr);
    inotify_rm_watch(d.notify_fd, p->watch);
    d.by_watch.erase(p->watch);
    if (!p->master_failed)
        reactor_unwatch(p->master);
    close(p->master);
    close(p->slave);
    // Only our own link: another process serving the same root may have replaced it.
    char target[PATH_MAX];
    ssize_t n = readlink(p->link.c_str(), target, sizeof target);
    if (n == (ssize_t)p->terminal.size() && memcmp(target, p->terminal.data(), (size_t)n) == 0)
        unlink(p->link.c_str());
    unlink(p->status_file.c_str());
    p->events.clear();
    p->outgoing.clear();
    p->incoming = 0;
    d.ports.erase(p->key);
    return true;
}

// A handle on a port. Handles still open after the port stops keep the old port, whose
// requests fail with ERROR_DEVICE_REMOVED, as on a device that was removed.
struct PortFile : Object {
    std::shared_ptr<Port> port;
    explicit PortFile(std::shared_ptr<Port> p) : port(std::move(p)) {}
    const char *kind() const override { return "File"; }
    void on_close(HANDLE h) override { abort_requests(*port, false, h, nullptr); }
    size_t cancel(HANDLE h, OVERLAPPED *ov) override { return abort_requests(*port, false, h, ov); }
};

// A request that is done at once: still sets the OVERLAPPED and signals its event.
BOOL complete_now(OVERLAPPED *ov, LPDWORD returned)
{
    if (returned)
        *returned = 0;
    if (ov)
        io_complete(ov, 0, 0);
    return TRUE;
}

// What a WRITE or STATUS does to the port, at once or when a held one completes.
void carry_out(Port &p, DWORD code, const std::string &input)
{
    if (code == IOCTL_PORT_WRITE)
        queue_outgoing(p, input.data(), input.size());
    else
        store_status(p, (unsigned char)input[0]);
}

BOOL write_side(HANDLE h, Port &p, DWORD code, const void *in, DWORD inlen, LPDWORD returned, OVERLAPPED *ov)
{
    std::string input = in ? std::string(static_cast<const char *>(in), inlen) : std::string();
    if (!p.hold) {
        carry_out(p, code, input);
        return complete_now(ov, returned);
    }
    // Only an overlapped request can be left pending.
    if (!ov)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    io_begin(ov);
    p.held.push_back(HeldRequest{h, ov, code, std::move(input)});
    return fail(ERROR_IO_PENDING, FALSE);
}

}  // namespace

bool driver_port_start_locked(const std::string &name) { return start_port(name); }

void driver_port_stop_locked(const std::string &name) { stop_port(name); }

PortResolver driver_set_resolver(PortResolver resolver)
{
    PortResolver old = std::move(driver().resolver);
    driver().resolver = std::move(resolver);
    return old;
}

bool port_start(const char *name)
{
    Guard g(lock);
    return name && start_port(name);
}

bool port_stop(const char *name)
{
    Guard g(lock);
    return name && stop_port(name);
}

std::string port_terminal(const char *name)
{
    Guard g(lock);
    auto p = name ? find_port(name) : nullptr;
    return p ? p->terminal : std::string();
}

int port_status(const char *name)
{
    Guard g(lock);
    auto p = name ? find_port(name) : nullptr;
    return p ? p->status : -1;
}

bool port_hold_requests(const char *name, bool hold)
{
    Guard g(lock);
    auto p = name ? find_port(name) : nullptr;
    if (!p)
        return false;
    p->hold = hold;
    while (!hold && !p->held.empty()) {
        HeldRequest r = std::move(p->held.front());
        p->held.pop_front();
        carry_out(*p, r.code, r.input);
        io_complete(r.ov, 0, 0);
    }
    return true;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE)
{
    if (DWORD e = api_enter("CreateFileA"))
        return fail(e, INVALID_HANDLE_VALUE);
    if (!path || disposition < CREATE_NEW || disposition > 5 /* TRUNCATE_EXISTING */)
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    Guard g(lock);
    std::string full(path);
    // Only port devices are served: nothing in the product opens files or pipe clients
    // through CreateFileA, and a pipe without a server is not found on Windows either.
    if (full.compare(0, 4, "\\\\.\\") != 0 || lower(full).compare(4, 5, "pipe\\") == 0)
        return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::string name = full.substr(4);
    auto port = find_port(name);
    if (!port && valid_port_name(name) && driver().resolver) {
        auto resolver = driver().resolver;  // it may replace itself while it runs
        if (resolver(name))
            port = find_port(name);
    }
    if (!port)
        return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    return handle_add(std::make_shared<PortFile>(port));
}

BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inlen, LPVOID out, DWORD outlen,
                            LPDWORD returned, LPOVERLAPPED ov)
{
    // kernel32 marks an overlapped request pending before the system sees it; one the
    // system refuses at once stays marked so, and its event is never signalled.
    if (ov)
        __atomic_store_n(&ov->Internal, (ULONG_PTR)STATUS_PENDING, __ATOMIC_RELEASE);
    if (DWORD e = api_enter("DeviceIoControl", h))
        return fail(e, FALSE);
    Guard g(lock);
    auto file = handle_get_as<PortFile>(h);
    if (!file)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    Port &p = *file->port;
    if (p.stopped)
        return fail(ERROR_DEVICE_REMOVED, FALSE);
    switch (code) {
    case IOCTL_PORT_OPEN:
        return complete_now(ov, returned);
    case IOCTL_PORT_READ:
        // A READ waits for what a program does; without an OVERLAPPED it could only block.
        if (!ov || !out || outlen == 0)
            return fail(ERROR_INVALID_PARAMETER, FALSE);
        io_begin(ov);
        p.reads.push_back(PendingRead{h, ov, static_cast<unsigned char *>(out), outlen});
        schedule_delivery(file->port);
        return fail(ERROR_IO_PENDING, FALSE);
    case IOCTL_PORT_WRITE:
        if (inlen > 0 && !in)
            return fail(ERROR_INVALID_PARAMETER, FALSE);
        return write_side(h, p, code, in, inlen, returned, ov);
    case IOCTL_PORT_STATUS:
        if (!in || inlen != 1)
            return fail(ERROR_INVALID_PARAMETER, FALSE);
        return write_side(h, p, code, in, inlen, returned, ov);
    default:
        return fail(ERROR_INVALID_FUNCTION, FALSE);
    }
}

}  // extern "C"
