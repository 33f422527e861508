// Internals shared by the stand-in's parts: the one lock, the handle table, the
// completion of overlapped requests, the I/O thread, fault injection and the call record.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "winsim/winsim.h"

namespace winsim {

// One lock guards all of the stand-in's state. API functions take it on entry, system
// calls included; the I/O thread holds it while it runs callbacks and posted work. The
// descriptors are served by the thread that waits for them where it can (wait_round),
// so in a steady stream no other thread competes for the lock. Waiters sleep on `cv`,
// which is notified (notify_waiters) whenever anything may have become signalled. Both
// are never destroyed: threads of the layer may still wait on them while the process
// exits.
extern std::mutex &lock;
extern std::condition_variable &cv;
using Guard = std::unique_lock<std::mutex>;

// A kernel object (or any other thing a handle names: a device information set, a
// registry key, an open INF). Objects live as long as a handle or a request needs them.
struct Object : std::enable_shared_from_this<Object> {
    virtual ~Object() = default;
    virtual const char *kind() const = 0;
    // For waits: whether the object is signalled, and what a satisfied wait does to it.
    virtual bool waitable() const { return false; }
    virtual bool signalled() const { return false; }
    virtual void acquire() {}
    // The handle `h` that named this object is being closed (lock held). I/O objects
    // abort the requests issued through that handle here.
    virtual void on_close(HANDLE h) { (void)h; }
    // CancelIoEx: cancel the requests issued through `h` (all when `ov` is null, else
    // the one with that OVERLAPPED). Returns how many were found (lock held).
    virtual size_t cancel(HANDLE h, OVERLAPPED *ov) { (void)h; (void)ov; return 0; }
};

// Handle table. Values are never reused within a process, so a stale handle fails
// with ERROR_INVALID_HANDLE instead of naming a newer object. Lock held for all.
HANDLE handle_add(std::shared_ptr<Object> obj);
std::shared_ptr<Object> handle_get(HANDLE h);
template <class T>
std::shared_ptr<T> handle_get_as(HANDLE h)
{
    return std::dynamic_pointer_cast<T>(handle_get(h));
}
// Removes the handle from the table and tells the object; false when it was not there.
bool handle_close(HANDLE h);
size_t handle_count();
// Bumped whenever a handle is closed (lock held): a thread that resolved a set of
// handles earlier may reuse what it found while the count is unchanged, since handle
// values are never reused and so an unchanged count means every one is still open.
extern uint64_t handle_closes;

// Overlapped requests. `io_begin` marks the request pending and resets its event, as
// the system does when a request is issued; `io_complete` stores status and byte count
// and signals the event. Both with the lock held.
void io_begin(OVERLAPPED *ov);
void io_complete(OVERLAPPED *ov, DWORD error, DWORD bytes);
// Sets or resets an event object by handle (lock held); other handles are ignored.
void event_set_locked(HANDLE h);
void event_reset_locked(HANDLE h);
// The error a completed request stored (0 for success).
DWORD overlapped_error(const OVERLAPPED *ov);

// The I/O thread: watches file descriptors, runs timers and posted work, all with the
// lock held; a thread that serves the descriptors in its wait (wait_round) runs them
// the same way. Started on first use. A level-triggered watch's callback must consume
// readiness or change its interest; an EPOLLONESHOT watch is armed again by its owner.
using IoCallback = std::function<void(uint32_t events)>;
void reactor_watch(int fd, uint32_t events, IoCallback cb);
void reactor_modify(int fd, uint32_t events);
// Arms a one-shot watch (EPOLLONESHOT) for `want` unless all of it is armed already.
// `armed` is what the watch will report once; its callback sets it back to 0.
void reactor_arm(int fd, uint32_t &armed, uint32_t want);
void reactor_unwatch(int fd);
void reactor_post(std::function<void()> fn);
void reactor_post_after(unsigned ms, std::function<void()> fn);

// Signals an eventfd, and takes its signal.
void signal_fd(int fd);
void drain_fd(int fd);

// Wakes every thread that waits for an object or a request to change (lock held):
// those sleeping on `cv`, and the one that serves the descriptors in its wait.
void notify_waiters();
// One round of a blocking wait (lock held): returns when something may have changed or
// after `timeout_ms` (-1: no limit). A thread whose wait would block serves the I/O
// thread's descriptors itself where it may, so that what it waits for completes in this
// thread rather than a hop away; the lock is released while it polls. One thread at a
// time has that role and keeps it between its waits while it waits often; others sleep
// on `cv`. The I/O thread stands aside meanwhile and takes over when the server stops
// waiting, which reactor_wait_ended (lock held) tells it. Use wait_until.
void wait_round(Guard &g, int timeout_ms);
void reactor_wait_ended();

// Blocks (lock held) until `done()` holds or `ms` milliseconds have passed (INFINITE:
// no limit), looking at `done` once more when the time is up; returns its last answer.
template <class Done>
bool wait_until(Guard &g, DWORD ms, Done done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool result;
    for (;;) {
        if ((result = done()))
            break;
        int left = -1;
        if (ms != INFINITE) {
            auto rest = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
            if (rest.count() <= 0)
                break;
            left = (int)((rest.count() + 999) / 1000);
        }
        wait_round(g, left);
    }
    reactor_wait_ended();
    return result;
}

// Last error of the calling thread.
void set_last_error(DWORD e);

// Every API function starts with `api_enter(name, first handle)`: the call is recorded,
// and a non-zero result is an injected fault that the function must fail with.
DWORD api_enter(const char *function, const void *handle = nullptr);
template <class T>
T fail(DWORD error, T value)
{
    SetLastError(error);
    return value;
}

// The root folder of the stand-in's state, created on first use.
std::string root_dir();
// A folder below the root ("pipe", "dev", ...), created on first use.
std::string root_subdir(const char *name);

}  // namespace winsim
