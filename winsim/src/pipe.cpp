// Named pipes, server side. An instance "\\.\pipe\NAME" is a Unix SOCK_SEQPACKET socket
// at <root>/pipe/NAME, so message boundaries hold and any local program can be the
// client with a plain connect(). Windows' one-client-per-instance rule is kept by
// listening only while the instance waits for a client: once one is accepted the
// listening socket is closed, so further connects are refused until the next
// ConnectNamedPipe after a DisconnectNamedPipe.
//
// A lock file beside the socket (".NAME.lock") is held for the instance's life; it tells
// a live server (here or in another process) from a socket file a dead one left behind.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "core.h"

namespace winsim {

namespace {

const char pipe_prefix[] = "\\\\.\\pipe\\";

// The service writes its longest JSON answers as one message; a SOCK_SEQPACKET message
// must fit the sender's buffer whole, so the accepted socket gets a generous one.
const int send_buffer_bytes = 4 << 20;

DWORD error_from_errno(int e)
{
    switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
    case ENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return 4;  // ERROR_TOO_MANY_OPEN_FILES
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool starts_with_nocase(const char *s, const char *prefix)
{
    for (; *prefix; s++, prefix++)
        if (!*s || tolower((unsigned char)*s) != tolower((unsigned char)*prefix))
            return false;
    return true;
}

// One request issued on the pipe: a connect, a read or a write. The buffer is the
// caller's and is used only when the request is served.
struct Request {
    HANDLE handle;
    OVERLAPPED *ov;
    void *buf;
    DWORD len;
};

enum class Served { Done, Blocked };

struct Pipe : Object {
    enum State { Listening, Connected, Disconnected, Closed };

    std::string name;
    std::string path;
    std::string lock_path;
    bool overlapped = false;
    bool message_read = false;
    bool can_read = true;
    bool can_write = true;

    int lock_fd = -1;
    int listen_fd = -1;
    int conn_fd = -1;
    uint32_t armed = 0;  // what the connection's watch will report once (EPOLLONESHOT)
    State state = Disconnected;
    // Connected, but the client has closed its end (learnt from the socket).
    bool client_gone = false;

    std::deque<Request> connects, reads, writes;
    // What is left of a message that was larger than the read buffer.
    std::vector<char> rest;
    size_t rest_off = 0;

    ~Pipe() override { close_all(); }
    const char *kind() const override { return "Pipe"; }

    std::weak_ptr<Pipe> weak() { return std::static_pointer_cast<Pipe>(shared_from_this()); }

    // ------------------------------------------------------------ listening

    DWORD listen_now()
    {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return error_from_errno(errno);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        // Whatever is at the path is ours to replace: the lock file says no live
        // instance owns it.
        unlink(path.c_str());
        // Backlog 0 still admits one connection, which the I/O thread accepts at once.
        if (bind(fd, (sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 0) != 0) {
            DWORD err = error_from_errno(errno);
            close(fd);
            return err;
        }
        listen_fd = fd;
        state = Listening;
        std::weak_ptr<Pipe> w = weak();
        reactor_watch(fd, EPOLLIN, [w](uint32_t) {
            if (auto p = w.lock())
                p->try_accept();
        });
        return 0;
    }

    void stop_listening()
    {
        if (listen_fd >= 0) {
            reactor_unwatch(listen_fd);
            close(listen_fd);
            listen_fd = -1;
        }
    }

    // Takes a client that has connected, if any. API calls try this too, so that a
    // client whose connect() has returned is seen even before the I/O thread ran.
    bool try_accept()
    {
        if (state != Listening || listen_fd < 0)
            return false;
        pollfd queued{listen_fd, POLLIN, 0};
        if (poll(&queued, 1, 0) <= 0 || !(queued.revents & POLLIN))
            return false;
        // From here the instance is taken. A client that connects now must be refused,
        // as Windows refuses one that finds the instance busy; without the shutdown the
        // kernel would queue it behind the one taken here, and closing the listener
        // would then drop a connection that its client already saw succeed.
        shutdown(listen_fd, SHUT_RDWR);
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Nothing was taken after all: listen afresh, since a listener that is
            // shut down refuses everybody.
            stop_listening();
            listen_now();
            return false;
        }
        // SO_SNDBUFFORCE passes the system's cap when we may; else take what we get.
        int size = send_buffer_bytes;
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        stop_listening();
        conn_fd = fd;
        state = Connected;
        watch_connection();
        client_gone = false;
        rest.clear();
        rest_off = 0;
        while (!connects.empty()) {
            io_complete(connects.front().ov, 0, 0);
            connects.pop_front();
        }
        return true;
    }

    // ------------------------------------------------------------ connection

    bool peer_hung_up()
    {
        if (client_gone)
            return true;
        pollfd p{conn_fd, POLLRDHUP, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)))
            client_gone = true;
        return client_gone;
    }

    // The socket is watched from accept to close, armed for one report at a time and
    // only while a request waits for it: a new message or the client's hang-up while a
    // read waits, room while a write waits. A request issued while the socket can serve
    // it is served by the caller, so a busy connection costs the I/O thread nothing and
    // changes no watch. Writes are never attempted while the caller may still be
    // filling a buffer of a later one.
    uint32_t watch_events() const
    {
        return (reads.empty() ? 0u : (uint32_t)(EPOLLIN | EPOLLRDHUP)) | (writes.empty() ? 0u : (uint32_t)EPOLLOUT);
    }

    void watch_connection()
    {
        std::weak_ptr<Pipe> w = weak();
        armed = 0;  // a hang-up alone is reported until a request waits
        reactor_watch(conn_fd, EPOLLONESHOT, [w](uint32_t) {
            if (auto p = w.lock()) {
                p->armed = 0;
                p->serve_pending();
            }
        });
    }

    void update_watch()
    {
        if (conn_fd >= 0)
            reactor_arm(conn_fd, armed, watch_events());
    }

    void close_connection()
    {
        if (conn_fd >= 0) {
            reactor_unwatch(conn_fd);
            close(conn_fd);
            conn_fd = -1;
        }
        client_gone = false;
        rest.clear();
        rest_off = 0;
    }

    void close_all()
    {
        stop_listening();
        close_connection();
        if (lock_fd >= 0) {
            unlink(path.c_str());
            // Unlinked while still locked, so a newcomer never locks a file on its way out.
            unlink(lock_path.c_str());
            close(lock_fd);
            lock_fd = -1;
        }
    }

    // ------------------------------------------------------------ serving requests

    Served serve_read(const Request &r, DWORD &err, DWORD &bytes)
    {
        if (rest_off < rest.size()) {
            size_t left = rest.size() - rest_off;
            size_t n = left < r.len ? left : r.len;
            memcpy(r.buf, rest.data() + rest_off, n);
            rest_off += n;
            bytes = (DWORD)n;
            err = (message_read && n < left) ? ERROR_MORE_DATA : 0;
            if (rest_off == rest.size()) {
                rest.clear();
                rest_off = 0;
            }
            return Served::Done;
        }
        if (client_gone) {
            err = ERROR_BROKEN_PIPE;
            bytes = 0;
            return Served::Done;
        }
        ssize_t size = recv(conn_fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return Served::Blocked;
            client_gone = true;
            err = ERROR_BROKEN_PIPE;
            bytes = 0;
            return Served::Done;
        }
        if (size == 0) {
            // A zero-length message or the end of the stream; only the hang-up tells.
            if (peer_hung_up()) {
                err = ERROR_BROKEN_PIPE;
                bytes = 0;
                return Served::Done;
            }
            char dummy;
            recv(conn_fd, &dummy, 0, MSG_DONTWAIT);
            err = 0;
            bytes = 0;
            return Served::Done;
        }
        if ((size_t)size <= r.len) {
            ssize_t got = recv(conn_fd, r.buf, r.len, MSG_DONTWAIT);
            if (got < 0)
                return Served::Blocked;
            err = 0;
            bytes = (DWORD)got;
            return Served::Done;
        }
        // Larger than the buffer: take the whole message, hand out the head, keep the rest.
        std::vector<char> msg((size_t)size);
        ssize_t got = recv(conn_fd, msg.data(), msg.size(), MSG_DONTWAIT);
        if (got < 0)
            return Served::Blocked;
        msg.resize((size_t)got);
        memcpy(r.buf, msg.data(), r.len);
        rest.assign(msg.begin() + r.len, msg.end());
        rest_off = 0;
        bytes = r.len;
        err = message_read ? ERROR_MORE_DATA : 0;
        return Served::Done;
    }

    // `queued` tells a write that waited (the client went while it did) from one issued
    // after the client went; Windows reports the two differently.
    Served serve_write(const Request &r, bool queued, DWORD &err, DWORD &bytes)
    {
        bytes = 0;
        if (client_gone) {
            err = queued ? ERROR_BROKEN_PIPE : ERROR_NO_DATA;
            return Served::Done;
        }
        ssize_t n = send(conn_fd, r.buf, r.len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            err = 0;
            bytes = r.len;  // a SOCK_SEQPACKET message goes whole or not at all
            return Served::Done;
        }
        switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
            return Served::Blocked;
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            client_gone = true;
            err = queued ? ERROR_BROKEN_PIPE : ERROR_NO_DATA;
            return Served::Done;
        case EMSGSIZE:
            err = ERROR_NOT_ENOUGH_MEMORY;
            return Served::Done;
        default:
            err = error_from_errno(errno);
            return Served::Done;
        }
    }

    // The I/O thread's part: serve the queued requests in order as far as the socket lets.
    void serve_pending()
    {
        if (conn_fd < 0)
            return;
        while (!reads.empty()) {
            DWORD err = 0, bytes = 0;
            if (serve_read(reads.front(), err, bytes) == Served::Blocked)
                break;
            OVERLAPPED *ov = reads.front().ov;
            reads.pop_front();
            io_complete(ov, err, bytes);
        }
        while (!writes.empty()) {
            DWORD err = 0, bytes = 0;
            if (serve_write(writes.front(), true, err, bytes) == Served::Blocked)
                break;
            OVERLAPPED *ov = writes.front().ov;
            writes.pop_front();
            io_complete(ov, err, bytes);
        }
        update_watch();
    }

    // Ends pending requests at once with `err` (DisconnectNamedPipe).
    static void complete_all(std::deque<Request> &q, DWORD err)
    {
        while (!q.empty()) {
            io_complete(q.front().ov, err, 0);
            q.pop_front();
        }
    }

    // Ends the matching requests with ERROR_OPERATION_ABORTED from the I/O thread, so
    // a caller sees the abort only after the call that caused it has returned.
    static size_t abort_matching(std::deque<Request> &q, HANDLE h, OVERLAPPED *ov)
    {
        size_t n = 0;
        for (auto it = q.begin(); it != q.end();) {
            if (it->handle == h && (!ov || it->ov == ov)) {
                OVERLAPPED *target = it->ov;
                reactor_post([target] { io_complete(target, ERROR_OPERATION_ABORTED, 0); });
                it = q.erase(it);
                n++;
            } else {
                ++it;
            }
        }
        return n;
    }

    size_t cancel(HANDLE h, OVERLAPPED *ov) override
    {
        size_t n = abort_matching(connects, h, ov) + abort_matching(reads, h, ov) + abort_matching(writes, h, ov);
        update_watch();
        return n;
    }

    void on_close(HANDLE h) override
    {
        abort_matching(connects, h, nullptr);
        abort_matching(reads, h, nullptr);
        abort_matching(writes, h, nullptr);
        close_all();
        state = Closed;
    }
};

// The error a request gets when the instance has no client.
DWORD no_client_error(const Pipe &p)
{
    return p.state == Pipe::Listening ? ERROR_PIPE_LISTENING : ERROR_PIPE_NOT_CONNECTED;
}

// Waits for a request of a synchronous call (lock held) and returns its outcome as the
// API function does.
BOOL wait_sync(Guard &g, OVERLAPPED *ov, LPDWORD bytes)
{
    wait_until(g, INFINITE, [&] { return HasOverlappedIoCompleted(ov); });
    if (bytes)
        *bytes = (DWORD)ov->InternalHigh;
    DWORD err = overlapped_error(ov);
    return err ? fail(err, FALSE) : TRUE;
}

// A read or write that was served at once: the OVERLAPPED gets the outcome and its
// event is signalled for success and for ERROR_MORE_DATA (a warning on Windows); a
// plain failure leaves the OVERLAPPED as issued and only sets the last error.
BOOL finish_now(OVERLAPPED *ov, DWORD err, DWORD bytes, LPDWORD out)
{
    if (err && err != ERROR_MORE_DATA)
        return fail(err, FALSE);
    io_complete(ov, err, bytes);
    if (out)
        *out = bytes;
    return err ? fail(err, FALSE) : TRUE;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI CreateNamedPipeA(LPCSTR name, DWORD open_mode, DWORD pipe_mode, DWORD max_instances, DWORD out_size,
                               DWORD in_size, DWORD timeout, LPSECURITY_ATTRIBUTES sa)
{
    (void)out_size;
    (void)in_size;
    (void)timeout;
    (void)sa;
    if (DWORD e = api_enter("CreateNamedPipeA"))
        return fail(e, INVALID_HANDLE_VALUE);
    if (!name)
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (!starts_with_nocase(name, pipe_prefix))
        return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    std::string short_name = name + strlen(pipe_prefix);
    if (short_name.empty() || short_name.find('/') != std::string::npos || short_name.size() > 256)
        return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    DWORD access = open_mode & PIPE_ACCESS_DUPLEX;
    if (access == 0 || max_instances == 0 || max_instances > PIPE_UNLIMITED_INSTANCES)
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if ((pipe_mode & PIPE_READMODE_MESSAGE) && !(pipe_mode & PIPE_TYPE_MESSAGE))
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);

    Guard g(lock);
    auto pipe = std::make_shared<Pipe>();
    pipe->name = short_name;
    std::string dir = root_subdir("pipe");
    pipe->path = dir + "/" + short_name;
    pipe->lock_path = dir + "/." + short_name + ".lock";
    if (pipe->path.size() >= sizeof(sockaddr_un::sun_path))
        return fail(ERROR_FILENAME_EXCED_RANGE, INVALID_HANDLE_VALUE);
    pipe->overlapped = (open_mode & FILE_FLAG_OVERLAPPED) != 0;
    pipe->message_read = (pipe_mode & PIPE_READMODE_MESSAGE) != 0;
    pipe->can_read = (access & PIPE_ACCESS_INBOUND) != 0;
    pipe->can_write = (access & PIPE_ACCESS_OUTBOUND) != 0;

    // Claim the name. The lock is retried when the file was replaced between open and
    // flock, so two claimants never hold locks on different files of the same name.
    for (;;) {
        int fd = open(pipe->lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return fail(error_from_errno(errno), INVALID_HANDLE_VALUE);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            // Only one instance per name here: a further instance finds the pipe busy,
            // as it would once Windows' instance limit is reached.
            return fail((open_mode & FILE_FLAG_FIRST_PIPE_INSTANCE) ? ERROR_ACCESS_DENIED : ERROR_PIPE_BUSY,
                        INVALID_HANDLE_VALUE);
        }
        struct stat held, now;
        if (fstat(fd, &held) == 0 && stat(pipe->lock_path.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
            held.st_dev == now.st_dev) {
            pipe->lock_fd = fd;
            break;
        }
        close(fd);
    }
    if (DWORD err = pipe->listen_now()) {
        pipe->close_all();
        return fail(err, INVALID_HANDLE_VALUE);
    }
    return handle_add(pipe);
}

BOOL WINAPI ConnectNamedPipe(HANDLE h, LPOVERLAPPED ov)
{
    if (DWORD e = api_enter("ConnectNamedPipe", h))
        return fail(e, FALSE);
    Guard g(lock);
    auto pipe = handle_get_as<Pipe>(h);
    if (!pipe)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    OVERLAPPED local{};
    bool sync = !ov || !pipe->overlapped;
    OVERLAPPED *use = ov ? ov : &local;
    // As on Windows, the request is marked pending and its event reset even when it
    // fails at once (ERROR_PIPE_CONNECTED leaves the OVERLAPPED unsignalled).
    io_begin(use);
    if (pipe->state == Pipe::Disconnected)
        if (DWORD err = pipe->listen_now())
            return fail(err, FALSE);
    pipe->try_accept();
    if (pipe->state == Pipe::Connected)
        return fail(pipe->peer_hung_up() ? ERROR_NO_DATA : ERROR_PIPE_CONNECTED, FALSE);
    pipe->connects.push_back(Request{h, use, nullptr, 0});
    if (!sync)
        return fail(ERROR_IO_PENDING, FALSE);
    return wait_sync(g, use, nullptr);
}

BOOL WINAPI DisconnectNamedPipe(HANDLE h)
{
    if (DWORD e = api_enter("DisconnectNamedPipe", h))
        return fail(e, FALSE);
    Guard g(lock);
    auto pipe = handle_get_as<Pipe>(h);
    if (!pipe)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    if (pipe->state == Pipe::Disconnected)
        return fail(ERROR_PIPE_NOT_CONNECTED, FALSE);
    // The client's end is cut off and whatever it sent and we did not read is lost.
    pipe->stop_listening();
    pipe->close_connection();
    pipe->state = Pipe::Disconnected;
    Pipe::complete_all(pipe->connects, ERROR_PIPE_NOT_CONNECTED);
    Pipe::complete_all(pipe->reads, ERROR_PIPE_NOT_CONNECTED);
    Pipe::complete_all(pipe->writes, ERROR_PIPE_NOT_CONNECTED);
    return TRUE;
}

// ReadFile and WriteFile on a pipe: the same checks, then served at once when nothing
// of the same direction waits ahead of it (messages keep their order), else queued.
static BOOL transfer(const char *function, HANDLE h, void *buf, DWORD len, LPDWORD count, LPOVERLAPPED ov,
                     bool write)
{
    if (DWORD e = api_enter(function, h))
        return fail(e, FALSE);
    Guard g(lock);
    if (count)
        *count = 0;
    auto pipe = handle_get_as<Pipe>(h);
    if (!pipe)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(write ? pipe->can_write : pipe->can_read))
        return fail(ERROR_ACCESS_DENIED, FALSE);
    if (!buf && len > 0)
        return fail(ERROR_NOACCESS, FALSE);
    OVERLAPPED local{};
    bool sync = !ov || !pipe->overlapped;
    OVERLAPPED *use = ov ? ov : &local;
    io_begin(use);
    pipe->try_accept();
    if (pipe->state != Pipe::Connected)
        return fail(no_client_error(*pipe), FALSE);
    Request r{h, use, buf, len};
    auto &queue = write ? pipe->writes : pipe->reads;
    if (queue.empty()) {
        DWORD err = 0, bytes = 0;
        Served served = write ? pipe->serve_write(r, false, err, bytes) : pipe->serve_read(r, err, bytes);
        if (served == Served::Done)
            return finish_now(use, err, bytes, count);
    }
    queue.push_back(r);
    pipe->update_watch();
    if (!sync)
        return fail(ERROR_IO_PENDING, FALSE);
    return wait_sync(g, use, count);
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buf, DWORD len, LPDWORD read, LPOVERLAPPED ov)
{
    return transfer("ReadFile", h, buf, len, read, ov, false);
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buf, DWORD len, LPDWORD written, LPOVERLAPPED ov)
{
    return transfer("WriteFile", h, const_cast<void *>(buf), len, written, ov, true);
}

}  // extern "C"
