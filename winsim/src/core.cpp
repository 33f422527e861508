#include "core.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>
#include <unordered_map>
#include <vector>

#include "winsim/test.h"

namespace winsim {

std::mutex &lock = *new std::mutex;
std::condition_variable &cv = *new std::condition_variable;

// ---------------------------------------------------------------- handles

namespace {

std::unordered_map<uintptr_t, std::shared_ptr<Object>> &handles()
{
    static auto *table = new std::unordered_map<uintptr_t, std::shared_ptr<Object>>;
    return *table;
}

uintptr_t next_handle = 0x1000;

}  // namespace

uint64_t handle_closes = 0;

HANDLE handle_add(std::shared_ptr<Object> obj)
{
    uintptr_t value = next_handle;
    next_handle += 4;
    handles()[value] = std::move(obj);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> handle_get(HANDLE h)
{
    auto it = handles().find(reinterpret_cast<uintptr_t>(h));
    return it == handles().end() ? nullptr : it->second;
}

bool handle_close(HANDLE h)
{
    auto it = handles().find(reinterpret_cast<uintptr_t>(h));
    if (it == handles().end())
        return false;
    std::shared_ptr<Object> obj = std::move(it->second);
    handles().erase(it);
    handle_closes++;
    obj->on_close(h);
    notify_waiters();
    return true;
}

size_t handle_count() { return handles().size(); }

// ---------------------------------------------------------------- overlapped

void io_begin(OVERLAPPED *ov)
{
    __atomic_store_n(&ov->InternalHigh, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&ov->Internal, STATUS_PENDING, __ATOMIC_RELEASE);
    // The system resets the request's event when the request is issued.
    if (ov->hEvent)
        event_reset_locked(ov->hEvent);
}

// Status values kept in OVERLAPPED.Internal: 0 for success, else the error code
// tagged so that no code can be mistaken for STATUS_PENDING.
static const ULONG_PTR error_tag = 0xC0000000u;

void io_complete(OVERLAPPED *ov, DWORD error, DWORD bytes)
{
    __atomic_store_n(&ov->InternalHigh, bytes, __ATOMIC_RELAXED);
    __atomic_store_n(&ov->Internal, error ? (error_tag | error) : 0, __ATOMIC_RELEASE);
    if (ov->hEvent)
        event_set_locked(ov->hEvent);
    notify_waiters();
}

// Decodes what io_complete stored; also used by GetOverlappedResult.
DWORD overlapped_error(const OVERLAPPED *ov)
{
    ULONG_PTR status = __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE);
    if (status == 0)
        return 0;
    if ((status & error_tag) == error_tag && status != STATUS_PENDING)
        return (DWORD)(status & ~error_tag);
    // Windows error codes of SetupAPI carry their own high bits and are never stored
    // here; anything else is passed on as it stands.
    return (DWORD)status;
}

// ---------------------------------------------------------------- last error

static thread_local DWORD last_error = 0;

void set_last_error(DWORD e) { last_error = e; }

}  // namespace winsim

extern "C" DWORD WINAPI GetLastError(void) { return winsim::last_error; }
extern "C" void WINAPI SetLastError(DWORD e) { winsim::last_error = e; }

namespace winsim {

// ---------------------------------------------------------------- I/O thread

void signal_fd(int fd)
{
    uint64_t one = 1;
    ssize_t w = write(fd, &one, sizeof one);
    (void)w;
}

void drain_fd(int fd)
{
    uint64_t v;
    ssize_t rd = read(fd, &v, sizeof v);
    (void)rd;
}

namespace {

struct Watch {
    uint64_t generation;
    IoCallback cb;
};

struct Timer {
    std::chrono::steady_clock::time_point due;
    std::function<void()> fn;
};

struct Reactor {
    int epfd = -1;
    int wakefd = -1;
    uint64_t generation = 0;
    std::unordered_map<int, Watch> watches;
    std::vector<std::function<void()>> posted;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers;
    bool started = false;

    // A thread that waits pass after pass serves the descriptors itself (reactor_serve):
    // it keeps that role between its waits, and the I/O thread stands aside meanwhile.
    bool io_thread_polling = false;  // the I/O thread polls the descriptors
    bool io_thread_asleep = false;   // the I/O thread stands aside with no time-out
    bool served = false;             // a waiting thread serves the descriptors
    pthread_t server{};
    bool server_in_wait = false;
    std::chrono::steady_clock::time_point wait_began;
    uint64_t waits = 0;              // waits the server has begun
    int server_fd = -1;              // eventfd that wakes the server in its wait
    int kick_fd = -1;                // eventfd that sends the I/O thread out of its poll
    bool server_woken = false;
    std::condition_variable *parked = new std::condition_variable;
};

Reactor &reactor()
{
    static auto *r = new Reactor;
    return *r;
}

// Polls the reactor's descriptors beside the caller's own eventfd `own_fd` (lock not
// held), for at most `timeout_ms` (-1: no limit); takes what epoll reports into `evs`
// and returns how many, and drains `own_fd` if it was signalled.
int poll_reactor(int epfd, int own_fd, int timeout_ms, epoll_event (&evs)[64])
{
    pollfd fds[2] = {{epfd, POLLIN, 0}, {own_fd, POLLIN, 0}};
    int ready = poll(fds, 2, timeout_ms);
    if (ready < 0 && errno != EINTR)
        abort();
    int n = ready > 0 && (fds[0].revents & POLLIN) ? epoll_wait(epfd, evs, 64, 0) : 0;
    if (ready > 0 && (fds[1].revents & POLLIN))
        drain_fd(own_fd);
    return n < 0 ? 0 : n;
}

// When the next timer is due, in milliseconds from now (-1: none).
int next_timer_ms()
{
    Reactor &r = reactor();
    if (r.timers.empty())
        return -1;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(r.timers.begin()->first -
                                                                      std::chrono::steady_clock::now());
    return wait.count() < 0 ? 0 : (int)wait.count() + 1;
}

// Runs the callbacks of what epoll reported, then due timers and posted work (lock held).
void dispatch(const epoll_event *evs, int n)
{
    Reactor &r = reactor();
    for (int i = 0; i < n; i++) {
        if (evs[i].data.u64 == UINT64_MAX) {
            drain_fd(r.wakefd);
            continue;
        }
        int fd = (int)(evs[i].data.u64 & 0xFFFFFFFFu);
        uint64_t gen = evs[i].data.u64 >> 32;
        auto it = r.watches.find(fd);
        if (it == r.watches.end() || (it->second.generation & 0xFFFFFFFFu) != gen)
            continue;  // unwatched (maybe even reused) since epoll reported it
        IoCallback cb = it->second.cb;  // the callback may unwatch itself
        cb(evs[i].events);
    }
    auto now = std::chrono::steady_clock::now();
    while (!r.timers.empty() && r.timers.begin()->first <= now) {
        auto fn = std::move(r.timers.begin()->second);
        r.timers.erase(r.timers.begin());
        fn();
    }
    while (!r.posted.empty()) {
        std::vector<std::function<void()>> work;
        work.swap(r.posted);
        for (auto &fn : work)
            fn();
    }
}

// While a thread serves the descriptors, the I/O thread looks this often whether it
// still waits now and then; one that has not begun a wait for that long (busy, or gone)
// loses the role, and the I/O thread polls again. A server that has sat in one wait for
// `server_idle` is idle: the I/O thread then sleeps until that wait ends.
const auto server_check = std::chrono::milliseconds(2);
const auto server_idle = std::chrono::milliseconds(50);

void stand_aside(Guard &g)
{
    Reactor &r = reactor();
    while (r.served) {
        if (r.server_in_wait && std::chrono::steady_clock::now() - r.wait_began >= server_idle) {
            r.io_thread_asleep = true;
            r.parked->wait(g, [&] { return !r.served || !r.server_in_wait; });
            r.io_thread_asleep = false;
            continue;
        }
        uint64_t waits = r.waits;
        bool was_waiting = r.server_in_wait;
        r.parked->wait_for(g, server_check);
        if (r.served && !was_waiting && !r.server_in_wait && r.waits == waits)
            r.served = false;
    }
}

void reactor_run()
{
    Reactor &r = reactor();
    epoll_event evs[64];
    for (;;) {
        int timeout = -1;
        {
            Guard g(lock);
            stand_aside(g);
            timeout = next_timer_ms();
            r.io_thread_polling = true;
        }
        // The kick is polled beside the descriptors rather than among them: a server,
        // which polls those too, must not take the signal that tells this thread to
        // stand aside.
        int n = poll_reactor(r.epfd, r.kick_fd, timeout, evs);
        Guard g(lock);
        r.io_thread_polling = false;
        dispatch(evs, n);
    }
}

void reactor_start_locked()
{
    Reactor &r = reactor();
    if (r.started)
        return;
    r.epfd = epoll_create1(EPOLL_CLOEXEC);
    r.wakefd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    r.server_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    r.kick_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (r.epfd < 0 || r.wakefd < 0 || r.server_fd < 0 || r.kick_fd < 0)
        abort();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = UINT64_MAX;
    epoll_ctl(r.epfd, EPOLL_CTL_ADD, r.wakefd, &ev);
    std::thread(reactor_run).detach();
    r.started = true;
}

void reactor_wake()
{
    signal_fd(reactor().wakefd);
}

}  // namespace

void reactor_watch(int fd, uint32_t events, IoCallback cb)
{
    reactor_start_locked();
    Reactor &r = reactor();
    uint64_t gen = ++r.generation;
    bool known = r.watches.count(fd) != 0;
    r.watches[fd] = Watch{gen, std::move(cb)};
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = ((gen & 0xFFFFFFFFu) << 32) | (uint32_t)fd;
    epoll_ctl(r.epfd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
}

void reactor_modify(int fd, uint32_t events)
{
    Reactor &r = reactor();
    auto it = r.watches.find(fd);
    if (it == r.watches.end())
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = ((it->second.generation & 0xFFFFFFFFu) << 32) | (uint32_t)fd;
    epoll_ctl(r.epfd, EPOLL_CTL_MOD, fd, &ev);
}

void reactor_arm(int fd, uint32_t &armed, uint32_t want)
{
    if (!(want & ~armed))
        return;
    armed = want;
    reactor_modify(fd, want | EPOLLONESHOT);
}

void reactor_unwatch(int fd)
{
    Reactor &r = reactor();
    if (r.watches.erase(fd))
        epoll_ctl(r.epfd, EPOLL_CTL_DEL, fd, nullptr);
}

void reactor_post(std::function<void()> fn)
{
    reactor_start_locked();
    reactor().posted.push_back(std::move(fn));
    reactor_wake();
}

void reactor_post_after(unsigned ms, std::function<void()> fn)
{
    reactor_start_locked();
    reactor().timers.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), std::move(fn));
    reactor_wake();
}

void notify_waiters()
{
    cv.notify_all();
    Reactor &r = reactor();
    if (r.served && r.server_in_wait && !r.server_woken && !pthread_equal(r.server, pthread_self())) {
        r.server_woken = true;
        signal_fd(r.server_fd);
    }
}

// One round of serving (see wait_round); false when another thread has the role.
static bool reactor_serve(Guard &g, int timeout_ms)
{
    Reactor &r = reactor();
    if (!r.started || (r.served && !pthread_equal(r.server, pthread_self())))
        return false;
    if (!r.served) {
        r.served = true;
        r.server = pthread_self();
        if (r.io_thread_polling)
            signal_fd(r.kick_fd);  // out of its poll, so that what comes next comes here
    }
    if (!r.server_in_wait) {
        r.server_in_wait = true;
        r.wait_began = std::chrono::steady_clock::now();
        r.waits++;
    }
    int timer = next_timer_ms();
    if (timer >= 0 && (timeout_ms < 0 || timer < timeout_ms))
        timeout_ms = timer;
    int epfd = r.epfd, server_fd = r.server_fd;
    g.unlock();
    epoll_event evs[64];
    int n = poll_reactor(epfd, server_fd, timeout_ms, evs);
    g.lock();
    r.server_woken = false;
    dispatch(evs, n);
    return true;
}

void wait_round(Guard &g, int timeout_ms)
{
    if (reactor_serve(g, timeout_ms))
        return;
    if (timeout_ms < 0)
        cv.wait(g);
    else
        cv.wait_for(g, std::chrono::milliseconds(timeout_ms));
}

void reactor_wait_ended()
{
    Reactor &r = reactor();
    if (!r.served || !pthread_equal(r.server, pthread_self()))
        return;
    r.server_in_wait = false;
    if (r.io_thread_asleep)
        r.parked->notify_one();
}

// ---------------------------------------------------------------- faults and calls

namespace {

struct Fault {
    std::string function;
    DWORD error;
    unsigned times;
    unsigned skip;
};

struct Record {
    std::mutex m;  // separate from the main lock: api_enter runs before it is taken
    std::vector<Fault> faults;
    std::vector<Call> calls;
    // Off until a test asks for a record: a long-running process must not grow a list
    // of every call it ever made.
    bool recording = false;
    bool env_read = false;
};

Record &record()
{
    static auto *r = new Record;
    return *r;
}

void read_env_faults_locked(Record &r)
{
    if (r.env_read)
        return;
    r.env_read = true;
    const char *faults = getenv("VSP_SIM_FAULTS");
    if (!faults)
        return;
    std::string all(faults);
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(',', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string item = all.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty())
            continue;
        std::vector<std::string> f;
        size_t p = 0;
        for (;;) {
            size_t c = item.find(':', p);
            f.push_back(item.substr(p, c == std::string::npos ? std::string::npos : c - p));
            if (c == std::string::npos)
                break;
            p = c + 1;
        }
        if (f.size() < 2)
            continue;
        Fault fault{f[0], (DWORD)strtoul(f[1].c_str(), nullptr, 0), 1, 0};
        if (f.size() > 2)
            fault.times = (unsigned)strtoul(f[2].c_str(), nullptr, 0);
        if (f.size() > 3)
            fault.skip = (unsigned)strtoul(f[3].c_str(), nullptr, 0);
        r.faults.push_back(fault);
    }
}

}  // namespace

DWORD api_enter(const char *function, const void *handle)
{
    Record &r = record();
    std::lock_guard<std::mutex> g(r.m);
    read_env_faults_locked(r);
    if (r.recording)
        r.calls.push_back(Call{function, const_cast<void *>(handle)});
    for (auto it = r.faults.begin(); it != r.faults.end(); ++it) {
        if (it->function != function)
            continue;
        if (it->skip > 0) {
            it->skip--;
            return 0;
        }
        DWORD e = it->error;
        if (--it->times == 0)
            r.faults.erase(it);
        return e;
    }
    return 0;
}

void fail_next(const char *function, DWORD error, unsigned times, unsigned skip)
{
    Record &r = record();
    std::lock_guard<std::mutex> g(r.m);
    read_env_faults_locked(r);
    if (times > 0)
        r.faults.push_back(Fault{function, error, times, skip});
}

void clear_faults()
{
    Record &r = record();
    std::lock_guard<std::mutex> g(r.m);
    r.env_read = true;
    r.faults.clear();
}

std::vector<Call> calls()
{
    Record &r = record();
    std::lock_guard<std::mutex> g(r.m);
    return r.calls;
}

size_t call_count(const char *function)
{
    Record &r = record();
    std::lock_guard<std::mutex> g(r.m);
    size_t n = 0;
    for (auto &c : r.calls)
        n += c.function == function;
    return n;
}

std::vector<HANDLE> handles_passed_to(const char *function)
{
    Record &r = record();
    std::lock_guard<std::mutex> g(r.m);
    std::vector<HANDLE> out;
    for (auto &c : r.calls)
        if (c.function == function)
            out.push_back(c.handle);
    return out;
}

void clear_calls()
{
    Record &r = record();
    std::lock_guard<std::mutex> g(r.m);
    r.calls.clear();
    r.recording = true;
}

size_t open_handle_count()
{
    Guard g(lock);
    return handle_count();
}

// ---------------------------------------------------------------- root folder

namespace {

std::string &root_path()
{
    static auto *p = new std::string;
    return *p;
}

void make_dirs(const std::string &path)
{
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        if (!cur.empty())
            mkdir(cur.c_str(), 0755);
    }
}

}  // namespace

std::string root_dir()
{
    std::string &p = root_path();
    if (p.empty()) {
        const char *env = getenv("VSP_SIM_ROOT");
        if (env && *env)
            p = env;
        else
            p = "/tmp/vsp-sim-" + std::to_string(getuid());
        while (p.size() > 1 && p.back() == '/')
            p.pop_back();
        make_dirs(p);
    }
    return p;
}

std::string root_subdir(const char *name)
{
    std::string dir = root_dir() + "/" + name;
    make_dirs(dir);
    return dir;
}

std::string root()
{
    Guard g(lock);
    return root_dir();
}

void set_root(const std::string &path)
{
    Guard g(lock);
    root_path() = path;
    while (root_path().size() > 1 && root_path().back() == '/')
        root_path().pop_back();
    make_dirs(root_path());
}

}  // namespace winsim
