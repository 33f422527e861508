// Kernel objects and waits: events, mutexes, threads, CloseHandle, the waits, and the
// generic side of overlapped requests (GetOverlappedResult, cancellation).
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <vector>

#include "core.h"

namespace winsim {

namespace {

struct Event : Object {
    bool manual;
    bool state;
    Event(bool m, bool s) : manual(m), state(s) {}
    const char *kind() const override { return "Event"; }
    bool waitable() const override { return true; }
    bool signalled() const override { return state; }
    void acquire() override
    {
        if (!manual)
            state = false;
    }
};

// A mutex; named ones are also marked across processes with a shared lock on a file
// under the root, so that a second process sees ERROR_ALREADY_EXISTS as on Windows.
struct Mutex : Object {
    DWORD owner = 0;
    unsigned count = 0;
    int marker_fd = -1;
    ~Mutex() override
    {
        if (marker_fd >= 0)
            close(marker_fd);
    }
    const char *kind() const override { return "Mutex"; }
    bool waitable() const override { return true; }
    bool signalled() const override { return count == 0 || owner == GetCurrentThreadId(); }
    void acquire() override
    {
        owner = GetCurrentThreadId();
        count++;
    }
};

struct Thread : Object {
    bool done = false;
    DWORD exit_code = 0;
    DWORD id = 0;
    const char *kind() const override { return "Thread"; }
    bool waitable() const override { return true; }
    bool signalled() const override { return done; }
};

std::map<std::string, std::shared_ptr<Mutex>> &named_mutexes()
{
    static auto *m = new std::map<std::string, std::shared_ptr<Mutex>>;
    return *m;
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID param;
    std::shared_ptr<Thread> thread;
};

void *thread_main(void *arg)
{
    ThreadStart *start = static_cast<ThreadStart *>(arg);
    {
        Guard g(lock);
        start->thread->id = GetCurrentThreadId();
        cv.notify_all();  // CreateThread waits for the id
    }
    DWORD code = start->routine(start->param);
    Guard g(lock);
    start->thread->exit_code = code;
    start->thread->done = true;
    notify_waiters();
    delete start;
    return nullptr;
}

}  // namespace

void event_set_locked(HANDLE h)
{
    if (auto ev = handle_get_as<Event>(h)) {
        ev->state = true;
        notify_waiters();
    }
}

void event_reset_locked(HANDLE h)
{
    if (auto ev = handle_get_as<Event>(h))
        ev->state = false;
}

}  // namespace winsim

using namespace winsim;

namespace {

// The service waits on the same handles pass after pass; resolving them anew each
// time costs a hash lookup per handle and an allocation. Each thread keeps the objects
// of its last wait and reuses them while the handles are the same and none was closed.
// The cache also keeps the objects alive for the wait, should a handle be closed meanwhile.
struct WaitSet {
    uint64_t closes = UINT64_MAX;
    std::vector<HANDLE> handles;
    std::vector<std::shared_ptr<Object>> objs;
};

// Returns the objects for `handles`, or null when one of them is not a waitable
// handle (lock held).
const std::vector<std::shared_ptr<Object>> *resolve_wait(DWORD count, const HANDLE *handles)
{
    static thread_local WaitSet set;
    if (set.closes == handle_closes && set.handles.size() == count &&
        std::equal(set.handles.begin(), set.handles.end(), handles))
        return &set.objs;
    set.closes = UINT64_MAX;
    set.handles.assign(handles, handles + count);
    set.objs.clear();
    for (DWORD i = 0; i < count; i++) {
        auto obj = handle_get(handles[i]);
        if (!obj || !obj->waitable()) {
            set.handles.clear();
            set.objs.clear();
            return nullptr;
        }
        set.objs.push_back(std::move(obj));
    }
    set.closes = handle_closes;
    return &set.objs;
}

}  // namespace

static DWORD wait_for_objects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles)
        return fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    Guard g(lock);
    const auto *found = resolve_wait(count, handles);
    if (!found)
        return fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    // Only this thread's next wait replaces the entry, so it outlives this wait.
    const auto &objs = *found;
    DWORD result = WAIT_TIMEOUT;
    wait_until(g, ms, [&] {
        if (wait_all) {
            for (auto &o : objs)
                if (!o->signalled())
                    return false;
            for (auto &o : objs)
                o->acquire();
            result = WAIT_OBJECT_0;
            return true;
        }
        // The lowest signalled index wins, as on Windows.
        for (DWORD i = 0; i < count; i++) {
            if (objs[i]->signalled()) {
                objs[i]->acquire();
                result = WAIT_OBJECT_0 + i;
                return true;
            }
        }
        return false;
    });
    return result;
}

extern "C" {

BOOL WINAPI CloseHandle(HANDLE h)
{
    if (DWORD e = api_enter("CloseHandle", h))
        return fail(e, FALSE);
    Guard g(lock);
    if (!handle_close(h))
        return fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCSTR name)
{
    if (DWORD e = api_enter("CreateEventA"))
        return fail(e, (HANDLE) nullptr);
    if (name)  // nothing here needs named events
        return fail(ERROR_NOT_SUPPORTED, (HANDLE) nullptr);
    Guard g(lock);
    SetLastError(0);
    return handle_add(std::make_shared<Event>(manual != FALSE, initial != FALSE));
}

BOOL WINAPI SetEvent(HANDLE h)
{
    if (DWORD e = api_enter("SetEvent", h))
        return fail(e, FALSE);
    Guard g(lock);
    auto ev = handle_get_as<Event>(h);
    if (!ev)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    ev->state = true;
    notify_waiters();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE h)
{
    if (DWORD e = api_enter("ResetEvent", h))
        return fail(e, FALSE);
    Guard g(lock);
    auto ev = handle_get_as<Event>(h);
    if (!ev)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    ev->state = false;
    return TRUE;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name)
{
    if (DWORD e = api_enter("CreateMutexA"))
        return fail(e, (HANDLE) nullptr);
    Guard g(lock);
    std::shared_ptr<Mutex> m;
    DWORD status = 0;
    if (name && *name) {
        auto &named = named_mutexes();
        auto it = named.find(name);
        if (it != named.end()) {
            m = it->second;
            status = ERROR_ALREADY_EXISTS;
        } else {
            m = std::make_shared<Mutex>();
            std::string path = root_subdir("objects") + "/Mutex." + name;
            m->marker_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (m->marker_fd >= 0) {
                if (flock(m->marker_fd, LOCK_EX | LOCK_NB) != 0)
                    status = ERROR_ALREADY_EXISTS;  // another process holds it
                flock(m->marker_fd, LOCK_SH);
            }
            // Named objects live until the process ends, whatever happens to handles.
            named[name] = m;
        }
    } else {
        m = std::make_shared<Mutex>();
    }
    if (initial_owner && status == 0)
        m->acquire();
    SetLastError(status);
    return handle_add(m);
}

BOOL WINAPI ReleaseMutex(HANDLE h)
{
    if (DWORD e = api_enter("ReleaseMutex", h))
        return fail(e, FALSE);
    Guard g(lock);
    auto m = handle_get_as<Mutex>(h);
    if (!m)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    if (m->count == 0 || m->owner != GetCurrentThreadId())
        return fail(288 /* ERROR_NOT_OWNER */, FALSE);
    if (--m->count == 0)
        m->owner = 0;
    notify_waiters();
    return TRUE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE routine, LPVOID param,
                           DWORD flags, LPDWORD thread_id)
{
    if (DWORD e = api_enter("CreateThread"))
        return fail(e, (HANDLE) nullptr);
    if (!routine || (flags & CREATE_SUSPENDED))
        return fail(ERROR_INVALID_PARAMETER, (HANDLE) nullptr);
    auto thread = std::make_shared<Thread>();
    auto *start = new ThreadStart{routine, param, thread};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // Windows rounds a small initial commit up and keeps the process's default
    // reservation; only an explicit reservation changes the stack's size.
    if ((flags & STACK_SIZE_PARAM_IS_A_RESERVATION) && stack_size >= 65536)
        pthread_attr_setstacksize(&attr, stack_size);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, thread_main, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        return fail(ERROR_NOT_ENOUGH_MEMORY, (HANDLE) nullptr);
    }
    Guard g(lock);
    cv.wait(g, [&] { return thread->id != 0 || thread->done; });
    if (thread_id)
        *thread_id = thread->id;
    SetLastError(0);
    return handle_add(thread);
}

DWORD WINAPI GetCurrentThreadId(void) { return (DWORD)syscall(SYS_gettid); }

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms)
{
    if (DWORD e = api_enter("WaitForMultipleObjects", count && handles ? handles[0] : nullptr))
        return fail(e, WAIT_FAILED);
    return wait_for_objects(count, handles, wait_all, ms);
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms)
{
    if (DWORD e = api_enter("WaitForSingleObject", h))
        return fail(e, WAIT_FAILED);
    return wait_for_objects(1, &h, FALSE, ms);
}

void WINAPI Sleep(DWORD ms)
{
    api_enter("Sleep");
    if (ms == 0) {
        sched_yield();
        return;
    }
    // A thread that serves the descriptors goes on serving them while it sleeps: a thread
    // that polls for a completion with Sleep would otherwise wait for the I/O thread to
    // take over first.
    Guard g(lock);
    wait_until(g, ms, [] { return false; });
}

ULONGLONG WINAPI GetTickCount64(void)
{
    api_enter("GetTickCount64");
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (ULONGLONG)now.tv_sec * 1000u + (ULONGLONG)now.tv_nsec / 1000000u;
}

BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD bytes, BOOL wait)
{
    if (DWORD e = api_enter("GetOverlappedResult", h))
        return fail(e, FALSE);
    if (!ov)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    Guard g(lock);
    if (!HasOverlappedIoCompleted(ov)) {
        if (!wait)
            return fail(ERROR_IO_INCOMPLETE, FALSE);
        wait_until(g, INFINITE, [&] { return HasOverlappedIoCompleted(ov); });
        // The wait consumed the completion's signal, as waiting on the event does.
        if (ov->hEvent)
            if (auto obj = handle_get(ov->hEvent); obj && obj->signalled())
                obj->acquire();
    }
    if (bytes)
        *bytes = (DWORD)__atomic_load_n(&ov->InternalHigh, __ATOMIC_ACQUIRE);
    DWORD err = overlapped_error(ov);
    if (err)
        return fail(err, FALSE);
    // Success leaves the thread's last error as it was, as on Windows.
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE h, LPOVERLAPPED ov)
{
    if (DWORD e = api_enter("CancelIoEx", h))
        return fail(e, FALSE);
    Guard g(lock);
    auto obj = handle_get(h);
    if (!obj)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    if (obj->cancel(h, ov) == 0)
        return fail(ERROR_NOT_FOUND, FALSE);
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE h)
{
    if (DWORD e = api_enter("CancelIo", h))
        return fail(e, FALSE);
    Guard g(lock);
    auto obj = handle_get(h);
    if (!obj)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    obj->cancel(h, nullptr);
    return TRUE;
}

}  // extern "C"
