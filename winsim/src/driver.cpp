// The stand-in for the virtual serial port driver. Each started port is served through
// pseudo-terminals: serial programs open the slave linked at <root>/dev/NAME, the service
// talks to the driver through DeviceIoControl on "\\.\NAME". What a program does - open,
// write, close - reaches the service as completions of its pending READ requests, in order.
//
// A terminal carries no session boundaries: bytes a program wrote just before closing
// and bytes the next program writes just after opening sit in one queue. So every
// program that opens the port gets a terminal of its own: the moment the driver sees an
// open, the link moves on to a fresh terminal made in advance, and what comes out of the
// old one belongs to that session alone. The move is made by a thread that does nothing
// else, so that a busy I/O thread does not delay it.
#include "driver.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

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
// Bytes from a program are read from its terminal only when a READ asks for them, so
// a program that outpaces the service is held up by its terminal, as by flow control.
// A program's close is announced a moment before the terminal lets go of the file; this
// long at most the driver waits to see whether the terminal is free.
const int release_wait_ms = 20;

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

// One pseudo-terminal of a port. The driver holds only the master: with no program on
// the slave the master shows a hang-up, which tells when the last program has gone.
struct Line {
    std::string terminal;  // /dev/pts/N
    int master = -1;
    int watch = -1;  // inotify watch on the slave
    bool watched = false;  // the master is in the I/O thread's set
    uint32_t armed = 0;    // what its watch will report once (EPOLLONESHOT)
    bool failed = false;
    bool connected = false;  // a program has the slave open
    bool spare = false;      // made ready, the link has not pointed at it yet
    std::string spare_link;  // the spare's own link, renamed over the port's at the move
    std::string outgoing;
};

// A terminal the mover made ready for a port: watched by the I/O thread already and
// with a link to it made in advance (<root>/spare/N for /dev/pts/N, in a folder of its
// own as a port's name may take all of a file name), so that moving the port's link on
// is a single rename.
struct Spare {
    std::string terminal;
    std::string link;
    int master = -1;
    int watch = -1;  // the I/O thread's watch
};

// What the link mover knows of a port (guarded by the mover's own lock).
struct LinkState {
    std::string link;                    // <root>/dev/NAME
    std::string spare_dir;               // <root>/spare
    std::deque<Spare> spares;            // the link moves to these in turn
    std::vector<Spare> made;             // spares the I/O thread has not taken in yet
    std::vector<std::string> moved_to;   // terminals the link moved to, not yet seen by the I/O thread
    int watch = -1;                      // the mover's watch on the terminal the link points at
    bool stopped = false;
};

struct Port {
    std::string name;
    std::string key;          // lower-case name
    std::string link;         // <root>/dev/NAME
    std::string status_file;  // <root>/status/NAME
    std::shared_ptr<LinkState> mover;
    std::shared_ptr<Line> current;  // where the link points, as far as the I/O thread knows
    std::vector<std::shared_ptr<Line>> all_lines;  // current, spares, and earlier ones still in use
    bool stopped = false;
    bool connected = false;  // a session is open: some line has a program
    int status = -1;
    std::deque<PortEvent> events;
    std::deque<PendingRead> reads;
    bool hold = false;  // WRITE and STATUS go pending, as when the driver is slow to take them
    std::deque<HeldRequest> held;

    // A copy: what is done with a line may drop it.
    std::vector<std::shared_ptr<Line>> lines() const { return all_lines; }
};

struct Note {
    int wd;
    uint32_t mask;
};

struct Watched {
    std::weak_ptr<Port> port;
    std::shared_ptr<Line> line;
};

struct Driver {
    std::map<std::string, std::shared_ptr<Port>> ports;  // by lower-case name
    std::map<int, Watched> by_watch;
    int notify_fd = -1;
    std::deque<Note> notes;  // read from notify_fd, not yet handled
    bool notes_posted = false;
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

// Only lines with a program are watched: an idle master shows a hang-up for good. A
// line's watch is armed for one report at a time, and only while the driver needs one:
// room to write while bytes for the program wait, and input while a READ waits with
// nothing to give. A READ issued while bytes are there takes them itself, so a busy
// port costs the I/O thread nothing and changes no watch.
void update_interest(Port &p)
{
    if (p.stopped)
        return;
    bool want_input = !p.reads.empty() && p.events.empty();
    for (auto &l : p.lines()) {
        if (!l->watched)
            continue;
        uint32_t want = 0;
        if (want_input)
            want |= EPOLLIN;
        if (!l->outgoing.empty())
            want |= EPOLLOUT;
        reactor_arm(l->master, l->armed, want);
    }
}

size_t read_master(Port &p, Line &l, bool all);

void read_notes();

// Takes what the program's terminals hold into the queue, one read each, and returns
// the bytes taken. Not while an open or close waits to be handled (the I/O thread was
// asked to), since bytes read now might belong after it.
size_t pull(Port &p)
{
    read_notes();
    if (!driver().notes.empty())
        return 0;
    size_t taken = 0;
    for (auto &l : p.lines())
        if (l->connected)
            taken += read_master(p, *l, false);
    return taken;
}

// Copies queued data into the READ's buffer after its first `n` bytes, up to its size
// or the next open or close; returns the bytes it then holds.
DWORD fill_read(Port &p, const PendingRead &r, DWORD n)
{
    while (n < r.size && !p.events.empty() && p.events.front().kind == PortEvent::Data) {
        PortEvent &e = p.events.front();
        size_t take = std::min<size_t>(r.size - n, e.data.size() - e.used);
        memcpy(r.out + n, e.data.data() + e.used, take);
        e.used += take;
        n += (DWORD)take;
        if (e.used == e.data.size())
            p.events.pop_front();
    }
    return n;
}

// Hands queued events to pending READs: an open or a close completes one READ by itself;
// data fills a READ from as many data events as fit, never reaching past an open or close.
// A READ that the queue cannot fill takes what the program's terminals hold, once per
// call, so that no caller is kept here by a program that writes without pause.
void deliver(Port &p)
{
    bool may_pull = p.connected && !p.stopped;
    auto pull_once = [&] {
        if (!may_pull)
            return false;
        may_pull = false;
        return pull(p) > 0;
    };
    while (!p.reads.empty() && (!p.events.empty() || pull_once())) {
        PendingRead r = p.reads.front();
        p.reads.pop_front();
        PortEvent &first = p.events.front();
        if (first.kind != PortEvent::Data) {
            DWORD error = first.kind == PortEvent::Opened ? ERROR_EVENT_PENDING : ERROR_EVENT_DONE;
            p.events.pop_front();
            io_complete(r.ov, error, 0);
            continue;
        }
        DWORD n = fill_read(p, r, 0);
        // Full frames for the service: room left and nothing queued takes more.
        if (n < r.size && p.events.empty() && pull_once())
            n = fill_read(p, r, n);
        io_complete(r.ov, 0, n);
    }
    update_interest(p);
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
}

void stop_watching(Line &l)
{
    if (l.watched)
        reactor_unwatch(l.master);
    l.watched = false;
    l.armed = 0;
}

// Reads what a program wrote: one read, so that a program writing byte by byte cannot
// keep the driver here. `all` reads to the end: a close must come after every byte
// written before it. A read that finds nothing waiting also makes the terminal move
// input still in flight, so bytes written just before a close are seen here. Returns
// the bytes queued.
size_t read_master(Port &p, Line &l, bool all)
{
    if (l.failed || l.master < 0)
        return 0;
    char buf[16384];
    size_t queued = 0;
    for (;;) {
        ssize_t n = read(l.master, buf, sizeof buf);
        if (n > 0) {
            queue_data(p, buf, (size_t)n);
            queued += (size_t)n;
            if (!all)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // EIO: drained, and no program holds the slave any more.
        if (n < 0 && errno != EAGAIN && errno != EIO) {
            // Should the master fail otherwise, stop watching rather than spin.
            l.failed = true;
            stop_watching(l);
        }
        break;
    }
    return queued;
}

void flush_outgoing(Line &l)
{
    while (!l.outgoing.empty() && !l.failed) {
        ssize_t n = write(l.master, l.outgoing.data(), l.outgoing.size());
        if (n > 0) {
            l.outgoing.erase(0, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;  // the terminal is full: wait until it has room
    }
}

// Every program on the port hears the service, as on a shared line.
void queue_outgoing(Port &p, const char *data, size_t n)
{
    if (!p.connected || n == 0)
        return;  // nobody listens: the bytes are gone, as on an unconnected line
    for (auto &l : p.lines()) {
        if (!l->connected)
            continue;
        size_t room = outgoing_limit - std::min(outgoing_limit, l->outgoing.size());
        l->outgoing.append(data, std::min(n, room));
        flush_outgoing(*l);
    }
    update_interest(p);
}

// ---------------------------------------------------------------- lines

// Making a terminal and closing one each take the kernel up to milliseconds: more than
// a program that reopens the port at once leaves between two sessions. A thread of its
// own keeps a few terminals ready and closes the ones that are done, away from the lock
// and from the I/O thread, which only has to move the link on.
struct Terminal {
    int master = -1;
    std::string path;
};

struct LinkState;

struct TerminalMaker {
    std::mutex m;
    std::condition_variable wake;
    std::vector<Terminal> ready;
    std::vector<int> done;  // masters to close
    std::vector<std::shared_ptr<LinkState>> wanting;  // ports whose spares are to be topped up
    size_t ports = 0;   // started ports: with none, no terminal is kept
    bool in_use = false;  // a program has opened a port since the last port stopped
    bool busy = false;    // working outside the lock
    std::condition_variable idle;
    bool started = false;

    size_t to_keep() const { return ports > 0 && in_use ? 4 : 0; }
};

TerminalMaker &maker()
{
    static auto *t = new TerminalMaker;
    return *t;
}

// A fresh terminal in raw mode with a non-blocking master. Its mode is set through a
// slave of the maker's own, closed again before any watch is added, so that only
// programs' opens are ever reported.
Terminal make_terminal()
{
    Terminal t;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char path[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, path, sizeof path) != 0) {
        if (master >= 0)
            close(master);
        return t;
    }
    // O_NOCTTY: a service without a terminal must not get this one as its own.
    int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode;
    bool ok = slave >= 0 && tcgetattr(slave, &mode) == 0;
    if (ok) {
        cfmakeraw(&mode);
        ok = tcsetattr(slave, TCSANOW, &mode) == 0;
    }
    if (slave >= 0)
        close(slave);
    ok = ok && fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) == 0;
    if (!ok) {
        close(master);
        return t;
    }
    t.master = master;
    t.path = path;
    return t;
}

void refill(const std::shared_ptr<LinkState> &st);

// The threads that keep sessions apart ask for a processor before the rest of the
// machine's work: on Windows the driver sees an open in the kernel, at once. The link
// mover, which only ever blocks or renames, asks for a real-time class where allowed;
// allowed or not, both run all the same.
void raise_priority(bool realtime)
{
    int saved = errno;
    sched_param sp{};
    sp.sched_priority = 1;
    if (!realtime || pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) != 0)
        setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), -10);
    errno = saved;
}

void maker_run()
{
    raise_priority(false);
    TerminalMaker &tm = maker();
    std::unique_lock<std::mutex> g(tm.m);
    for (;;) {
        tm.wake.wait(g, [&] { return tm.ready.size() < tm.to_keep() || !tm.done.empty() || !tm.wanting.empty(); });
        std::vector<int> done;
        done.swap(tm.done);
        std::vector<std::shared_ptr<LinkState>> wanting;
        wanting.swap(tm.wanting);
        bool make = tm.ready.size() < tm.to_keep();
        tm.busy = true;
        g.unlock();
        for (auto &st : wanting)
            refill(st);
        for (int fd : done)
            close(fd);
        Terminal t;
        if (make)
            t = make_terminal();
        g.lock();
        tm.busy = false;
        tm.idle.notify_all();
        if (t.master >= 0 && tm.ready.size() < tm.to_keep())
            tm.ready.push_back(t);
        else if (t.master >= 0)
            close(t.master);  // the last port stopped meanwhile
        else if (make)
            tm.wake.wait_for(g, std::chrono::milliseconds(100));  // out of terminals: do not spin
    }
}

void maker_start()
{
    TerminalMaker &tm = maker();
    std::lock_guard<std::mutex> g(tm.m);
    if (tm.started)
        return;
    tm.started = true;
    std::thread(maker_run).detach();
}

// Starting a port costs one terminal: spares are made once a program opens the port
// (the first of them by the link mover, at once), so a port nobody opens costs no more.
void maker_port_started()
{
    TerminalMaker &tm = maker();
    std::lock_guard<std::mutex> g(tm.m);
    tm.ports++;
}

// With the last port gone the driver holds no terminal at all: what the maker keeps or
// has still to close is closed here, once it is done with what it is doing.
void maker_port_stopped()
{
    TerminalMaker &tm = maker();
    std::vector<Terminal> ready;
    std::vector<int> done;
    {
        std::unique_lock<std::mutex> g(tm.m);
        if (tm.ports > 0)
            tm.ports--;
        if (tm.ports > 0)
            return;
        tm.in_use = false;
        tm.idle.wait(g, [&] { return !tm.busy; });
        ready.swap(tm.ready);
        done.swap(tm.done);
    }
    for (Terminal &t : ready)
        close(t.master);
    for (int fd : done)
        close(fd);
}

// A ready terminal, or one made here when none is.
Terminal take_terminal()
{
    TerminalMaker &tm = maker();
    {
        std::lock_guard<std::mutex> g(tm.m);
        if (!tm.ready.empty()) {
            Terminal t = tm.ready.back();
            tm.ready.pop_back();
            tm.wake.notify_one();
            return t;
        }
        tm.wake.notify_one();
    }
    return make_terminal();
}

void drop_line(Line &l, bool at_once = false)
{
    Driver &d = driver();
    if (l.master < 0)
        return;
    stop_watching(l);
    inotify_rm_watch(d.notify_fd, l.watch);
    d.by_watch.erase(l.watch);
    if (l.spare)
        unlink(l.spare_link.c_str());
    if (at_once) {
        close(l.master);
    } else {
        TerminalMaker &tm = maker();
        std::lock_guard<std::mutex> g(tm.m);
        tm.done.push_back(l.master);
        tm.wake.notify_one();
    }
    l.master = -1;
    l.connected = false;
    l.outgoing.clear();
}

const uint32_t line_events = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;

// ---------------------------------------------------------------- moving the link on

const size_t spares_per_port = 4;

struct LinkMover {
    std::mutex m;
    int notify_fd = -1;     // opens of the terminals the links point at
    int moved_fd = -1;      // an eventfd the I/O thread watches: spares made or moves done
    int lines_notify = -1;  // the I/O thread's notifications, where spares get their watch
    std::map<int, std::shared_ptr<LinkState>> by_watch;
};

LinkMover &mover()
{
    static auto *lm = new LinkMover;
    return *lm;
}

// Makes a spare whose link goes into `spare_dir` (no lock held).
bool make_spare(const std::string &spare_dir, Spare &out)
{
    Terminal t = take_terminal();
    if (t.master < 0)
        return false;
    int wd = inotify_add_watch(mover().lines_notify, t.path.c_str(), line_events);
    std::string link = spare_dir + "/" + t.path.substr(t.path.rfind('/') + 1);
    unlink(link.c_str());
    if (wd < 0 || symlink(t.path.c_str(), link.c_str()) != 0) {
        if (wd >= 0)
            inotify_rm_watch(mover().lines_notify, wd);
        close(t.master);
        return false;
    }
    out = Spare{t.path, link, t.master, wd};
    return true;
}

void signal_io_thread()
{
    signal_fd(mover().moved_fd);
}

// Tops the port's spares up (no lock held).
void refill(const std::shared_ptr<LinkState> &st)
{
    LinkMover &lm = mover();
    bool made = false;
    for (;;) {
        std::string dir;
        {
            std::lock_guard<std::mutex> g(lm.m);
            if (st->stopped || st->spares.size() >= spares_per_port)
                break;
            dir = st->spare_dir;
        }
        Spare spare;
        if (!make_spare(dir, spare))
            break;
        std::lock_guard<std::mutex> g(lm.m);
        if (st->stopped) {
            inotify_rm_watch(lm.lines_notify, spare.watch);
            unlink(spare.link.c_str());
            close(spare.master);
            break;
        }
        st->spares.push_back(spare);
        st->made.push_back(spare);
        made = true;
    }
    if (made)
        signal_io_thread();
}

// Watches `terminal` for the next open (mover's lock held).
void watch_for_open(const std::shared_ptr<LinkState> &st, const std::string &terminal)
{
    LinkMover &lm = mover();
    st->watch = inotify_add_watch(lm.notify_fd, terminal.c_str(), IN_OPEN);
    if (st->watch >= 0)
        lm.by_watch[st->watch] = st;
}

void mover_run()
{
    raise_priority(true);
    LinkMover &lm = mover();
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(lm.notify_fd, buf, sizeof buf);
        if (n < 0 && errno != EINTR)
            return;  // links stop moving: sessions may then share a terminal
        if (n <= 0)
            continue;
        std::vector<std::shared_ptr<LinkState>> moved;
        {
            std::lock_guard<std::mutex> g(lm.m);
            for (char *p = buf; p < buf + n;) {
                auto *ev = reinterpret_cast<inotify_event *>(p);
                p += sizeof *ev + ev->len;
                if (!(ev->mask & IN_OPEN))
                    continue;
                auto it = lm.by_watch.find(ev->wd);
                if (it == lm.by_watch.end())
                    continue;
                std::shared_ptr<LinkState> st = it->second;
                if (st->stopped || st->watch != ev->wd)
                    continue;
                // The maker fell behind: better a spare made here than a shared terminal.
                Spare made;
                if (st->spares.empty() && make_spare(st->spare_dir, made)) {
                    st->spares.push_back(made);
                    st->made.push_back(made);
                }
                if (st->spares.empty())
                    continue;  // the next program shares this terminal
                Spare next = st->spares.front();
                if (rename(next.link.c_str(), st->link.c_str()) != 0)
                    continue;  // tried again at the next open
                st->spares.pop_front();
                st->moved_to.push_back(next.terminal);
                lm.by_watch.erase(ev->wd);
                inotify_rm_watch(lm.notify_fd, ev->wd);
                watch_for_open(st, next.terminal);
                moved.push_back(st);
            }
        }
        if (moved.empty())
            continue;
        signal_io_thread();
        // Making spares takes long: the terminal maker does it, and this thread is free
        // for the next open at once.
        TerminalMaker &tm = maker();
        std::lock_guard<std::mutex> g(tm.m);
        tm.wanting.insert(tm.wanting.end(), moved.begin(), moved.end());
        tm.in_use = true;
        tm.wake.notify_one();
    }
}

void sync_all_ports();

bool mover_start()
{
    LinkMover &lm = mover();
    std::lock_guard<std::mutex> g(lm.m);
    if (lm.notify_fd >= 0)
        return true;
    int fd = inotify_init1(IN_CLOEXEC);
    int ev = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0 || ev < 0) {
        if (fd >= 0)
            close(fd);
        if (ev >= 0)
            close(ev);
        return false;
    }
    lm.notify_fd = fd;
    lm.moved_fd = ev;
    lm.lines_notify = driver().notify_fd;
    reactor_watch(ev, EPOLLIN, [ev](uint32_t) {
        drain_fd(ev);
        sync_all_ports();
    });
    std::thread(mover_run).detach();
    return true;
}

void retire_if_done(Port &p, const std::shared_ptr<Line> &l);

std::shared_ptr<Line> adopt(const std::shared_ptr<Port> &p, const Spare &s)
{
    auto l = std::make_shared<Line>();
    l->terminal = s.terminal;
    l->master = s.master;
    l->watch = s.watch;
    l->spare = true;
    l->spare_link = s.link;
    driver().by_watch[s.watch] = Watched{p, l};
    p->all_lines.push_back(l);
    return l;
}

// Takes in the spares the mover made and the moves it did.
void sync_lines(const std::shared_ptr<Port> &p)
{
    if (!p->mover)
        return;
    LinkMover &lm = mover();
    std::vector<Spare> made;
    std::vector<std::string> moved;
    {
        std::lock_guard<std::mutex> g(lm.m);
        made.swap(p->mover->made);
        moved.swap(p->mover->moved_to);
    }
    for (Spare &s : made)
        adopt(p, s);
    for (const std::string &terminal : moved) {
        for (auto &l : p->all_lines) {
            if (l->spare && l->terminal == terminal) {
                l->spare = false;
                std::shared_ptr<Line> before = p->current;
                p->current = l;
                if (before)
                    retire_if_done(*p, before);
                break;
            }
        }
    }
}

void sync_all_ports()
{
    for (auto &entry : driver().ports)
        sync_lines(entry.second);
}

// Whether no program has the line's slave open. Waits a moment for a program that is
// closing it, since its close is announced before the terminal lets go.
bool line_free(const Line &l, int wait_ms)
{
    if (l.failed || l.master < 0)
        return true;
    pollfd pf{l.master, 0, 0};
    int n = poll(&pf, 1, 0);
    if (n == 0 && wait_ms > 0)
        n = poll(&pf, 1, wait_ms);
    return n > 0 && (pf.revents & (POLLHUP | POLLERR));
}

// ---------------------------------------------------------------- programs opening and closing

void handle_notes();

// Notes read here leave the descriptor empty, so the I/O thread would not be woken for
// them: it is asked to handle them, whoever read them.
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
        if (!d.notes_posted) {
            d.notes_posted = true;
            reactor_post([] {
                driver().notes_posted = false;
                handle_notes();
            });
        }
        for (char *p = buf; p < buf + n;) {
            auto *ev = reinterpret_cast<inotify_event *>(p);
            d.notes.push_back(Note{ev->wd, ev->mask});
            p += sizeof *ev + ev->len;
        }
    }
}

// Whether another program's open of this line is already waiting to be handled.
bool open_waiting(const Line &l)
{
    read_notes();
    for (const Note &n : driver().notes)
        if (n.wd == l.watch && (n.mask & IN_OPEN))
            return true;
    return false;
}

void master_ready(const std::weak_ptr<Port> &weak_port, const std::weak_ptr<Line> &weak_line, uint32_t events);

void program_opened(const std::shared_ptr<Port> &p, const std::shared_ptr<Line> &l)
{
    if (!l->connected && !l->failed) {
        l->connected = true;
        std::weak_ptr<Port> wp = p;
        std::weak_ptr<Line> wl = l;
        // Armed at first for a hang-up alone; input and room are asked for as needed.
        l->armed = 0;
        reactor_watch(l->master, EPOLLONESHOT, [wp, wl](uint32_t events) { master_ready(wp, wl, events); });
        l->watched = true;
    }
    if (!p->connected) {
        p->connected = true;
        queue_event(*p, PortEvent::Opened);
    }
}

// A line the link no longer points at goes once no program has it and none is about
// to open it.
void retire_if_done(Port &p, const std::shared_ptr<Line> &l)
{
    if (l->connected || l == p.current || l->spare || open_waiting(*l))
        return;
    drop_line(*l);
    p.all_lines.erase(std::remove(p.all_lines.begin(), p.all_lines.end(), l), p.all_lines.end());
}

void program_closed(const std::shared_ptr<Port> &p, const std::shared_ptr<Line> &l)
{
    if (!l->connected)
        return;
    sync_lines(p);
    read_master(*p, *l, true);
    // Another program that opened after this close starts a session of its own,
    // announced by its own open; one still on the line keeps the session.
    bool reopened = open_waiting(*l);
    if (!reopened && !line_free(*l, release_wait_ms))
        return;
    l->connected = false;
    l->outgoing.clear();
    stop_watching(*l);
    if (!reopened)
        retire_if_done(*p, l);
    for (auto &other : p->lines())
        if (other->connected)
            return;  // another program keeps the session
    if (p->connected) {
        queue_event(*p, PortEvent::Closed);
        p->connected = false;
    }
}

void handle_notes()
{
    Driver &d = driver();
    read_notes();
    while (!d.notes.empty()) {
        Note n = d.notes.front();
        d.notes.pop_front();
        if (n.mask & IN_Q_OVERFLOW) {
            // Opens and closes were lost: take the state from the terminals instead.
            std::vector<std::shared_ptr<Port>> ports;
            for (auto &entry : d.ports)
                ports.push_back(entry.second);
            for (auto &p : ports) {
                for (auto &l : p->lines()) {
                    bool is_free = line_free(*l, 0);
                    if (l->connected && is_free)
                        program_closed(p, l);
                    else if (!l->connected && !is_free)
                        program_opened(p, l);
                }
                deliver(*p);
            }
            continue;
        }
        auto it = d.by_watch.find(n.wd);
        if (it == d.by_watch.end()) {
            // Maybe a spare the mover made and linked since the I/O thread last looked.
            // Taking in the mover's moves retires the lines the link has passed and no
            // program holds; the note goes back to the queue meanwhile, so that the line
            // it opens counts as about to be held and is not retired under its program.
            d.notes.push_front(n);
            sync_all_ports();
            d.notes.pop_front();
            it = d.by_watch.find(n.wd);
        }
        if (it == d.by_watch.end())
            continue;  // a line dropped since
        std::shared_ptr<Port> port = it->second.port.lock();
        std::shared_ptr<Line> line = it->second.line;
        if (!port || port->stopped)
            continue;
        if (n.mask & IN_OPEN)
            program_opened(port, line);
        else if (n.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
            program_closed(port, line);
        deliver(*port);
    }
}

void master_ready(const std::weak_ptr<Port> &weak_port, const std::weak_ptr<Line> &weak_line, uint32_t events)
{
    // The open that preceded these bytes is handled first, so data never precedes it.
    handle_notes();
    auto p = weak_port.lock();
    auto l = weak_line.lock();
    if (!p || !l || p->stopped || !l->watched)
        return;
    l->armed = 0;  // the watch reported once and waits to be armed again
    if (events & EPOLLOUT)
        flush_outgoing(*l);
    // The line hung up yet its close was never announced (lost notifications): the
    // session ends here rather than the hang-up being reported again and again.
    if ((events & EPOLLHUP) && l->connected && !open_waiting(*l))
        program_closed(p, l);
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

// Removes a link only when it is still ours: another process serving the same root may
// have replaced it.
void unlink_if_ours(const std::string &path, const std::shared_ptr<Line> &l)
{
    if (!l)
        return;
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    if (n == (ssize_t)l->terminal.size() && memcmp(target, l->terminal.data(), (size_t)n) == 0)
        unlink(path.c_str());
}

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
    maker_start();
    if (!mover_start())
        return false;
    auto p = std::make_shared<Port>();
    p->name = name;
    p->key = lower(name);
    std::string dev = root_subdir("dev");
    p->link = dev + "/" + name;
    // Beside "dev/NAME" a 250-character name leaves no room for a suffix.
    p->status_file = root_subdir("status") + "/" + name;
    std::string spare_dir = root_subdir("spare");
    Spare first;
    if (!make_spare(spare_dir, first))
        return false;
    p->current = adopt(p, first);
    // A link left by an earlier run is replaced in one step.
    if (rename(first.link.c_str(), p->link.c_str()) != 0) {
        drop_line(*p->current);
        return false;
    }
    p->current->spare = false;
    unlink(p->status_file.c_str());  // an earlier run's status says nothing of this port
    p->mover = std::make_shared<LinkState>();
    p->mover->link = p->link;
    p->mover->spare_dir = spare_dir;
    {
        std::lock_guard<std::mutex> g(mover().m);
        watch_for_open(p->mover, p->current->terminal);
    }
    d.ports[p->key] = p;
    maker_port_started();
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
    {
        LinkMover &lm = mover();
        std::lock_guard<std::mutex> g(lm.m);
        p->mover->stopped = true;
        if (p->mover->watch >= 0) {
            inotify_rm_watch(lm.notify_fd, p->mover->watch);
            lm.by_watch.erase(p->mover->watch);
        }
    }
    sync_lines(p);
    unlink_if_ours(p->link, p->current);
    // Closing the masters hangs up every program still on the port.
    for (auto &l : p->lines())
        drop_line(*l, true);
    unlink(p->status_file.c_str());
    p->events.clear();
    d.ports.erase(p->key);
    maker_port_stopped();
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
    if (p)
        sync_lines(p);
    return p && p->current ? p->current->terminal : std::string();
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
        // Opens and closes that already happened are taken in first: what they queue
        // (a close drains its terminal) completes this READ at once, and bytes read
        // from now on come after them.
        if (p.events.empty())
            handle_notes();
        // What the driver holds already completes the READ here, as a driver completes
        // a request it can satisfy at once; its event is signalled all the same. Data is
        // a success the call returns; an open or close is an error status, which a
        // request done at once would return as the call's failure, so such a READ is
        // reported pending, though it is complete already.
        deliver(p);
        if (!HasOverlappedIoCompleted(ov) || overlapped_error(ov) != 0)
            return fail(ERROR_IO_PENDING, FALSE);
        if (returned)
            *returned = (DWORD)ov->InternalHigh;
        return TRUE;
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
