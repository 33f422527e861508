// The event loop: one wait on the pipe's event and the armed ports' read events, one
// completion handled per pass. Data and the driver's open and close events go to the
// client; client frames go to the ports or to the control message dispatcher.
#include "build_flavour.h"
#include "driver_if.h"
#include "log.h"
#include "service.h"

#include <string.h>

#define WAIT_SET_SIZE 64
// Client frames have at most this many bytes; one byte of rbuf stays for the NUL
// that ends a control message's text.
#define CLIENT_FRAME_MAX 2047

// A pipe that could not be given a connect or a frame read is tried again: the first
// time at once, then after a delay that doubles from the first to the longest, so that
// a system that keeps refusing costs a few passes a second and not a whole core.
#define PIPE_RETRY_FIRST_MS 10
#define PIPE_RETRY_LONGEST_MS 1000
// How often the pipe's write queue is looked at while flow control holds data back.
//
// Nothing waits on the writes' event in the normal case, and putting it into the wait
// set would shift the ports' indexes and the logged count. So only while something is
// held back does the wait get this time-out; a pass that ends with it handles nothing
// and only looks whether the queue has drained.
#define FLOW_POLL_MS 20

static HANDLE events[WAIT_SET_SIZE];
static vport *event_vports[WAIT_SET_SIZE];
static int events_count;

static unsigned char rbuf[CLIENT_FRAME_MAX + 1];
static DWORD cbRet;
// Set while the rest of a client message longer than rbuf is being read and dropped.
static int pipe_draining;
// Set while a frame read on oReadOverlap has been issued and not yet handled.
static int pipe_reading;
// Failures in a row to get a connect or a frame read pending, and when the next
// attempt is due (GetTickCount64).
static int pipe_failures;
static ULONGLONG pipe_retry_at;
// Set from the moment the write queue reached the high-water mark until it fell below
// the low-water mark: completed port READs are not armed again meanwhile.
static int ports_held;

static void set_events(void)
{
    vport *port = vports_link();
    events[0] = oReadOverlap.hEvent;
    events_count = 1;
    if (pipe_connecting != 1) {
        for (; port != NULL; port = port->next) {
            if (port->read_pending != 1)
                continue;
            if (events_count == WAIT_SET_SIZE) {
                // One wait takes 64 handles, so the ports past the 63rd armed one are
                // not served while those before them stay armed. Say so once per port:
                // otherwise nothing would tell why its program is not heard.
                if (!port->wait_set_full_logged) {
                    port->wait_set_full_logged = 1;
                    vsp_log("vport(%s) is not served: the wait set is full (%d ports)\n", port->portname,
                            WAIT_SET_SIZE - 1);
                }
                continue;
            }
            events[events_count] = port->read_event;
            event_vports[events_count] = port;
            events_count++;
        }
    }
    vsp_log("set_events, events_count=%d\n", events_count);
}

// ------------------------------------------------------------------ the pipe's side

// Whether the pipe exists at all. Without it no client can ever come, and nothing is
// retried: the loop serves the ports alone.
static int pipe_usable(void)
{
    return pipe_handle != NULL && pipe_handle != INVALID_HANDLE_VALUE && oReadOverlap.hEvent != NULL;
}

static void pipe_idle(void)
{
    pipe_connecting = 0;
    pipe_reading = 0;
    pipe_read_due = 0;
    pipe_draining = 0;
}

// Nothing could be made pending on the pipe: it stays idle until the next attempt.
static void pipe_failed(void)
{
    pipe_idle();
    ULONGLONG delay = 0;
    if (pipe_failures > 0) {
        delay = PIPE_RETRY_FIRST_MS;
        for (int i = 1; i < pipe_failures && delay < PIPE_RETRY_LONGEST_MS; i++)
            delay *= 2;
        if (delay > PIPE_RETRY_LONGEST_MS)
            delay = PIPE_RETRY_LONGEST_MS;
    }
    if (pipe_failures < 1000)
        pipe_failures++;
    pipe_retry_at = GetTickCount64() + delay;
}

// A client was served: the next failure is tried again at once.
static void pipe_served(void)
{
    pipe_failures = 0;
    pipe_retry_at = 0;
}

// The client has gone, or the pipe is in a state no read can continue from: drop the
// client and wait for the next one.
static void pipe_reconnect(void)
{
    if (!DisconnectNamedPipe(pipe_handle))
        vsp_log("DisconnectNamedPipe failed with %d.\n", (int)GetLastError());
    vsp_log("will wait client connect\n");
    pipe_idle();
    if (app_comm_connect() == CONNECT_FAILED)
        pipe_failed();
}

static void start_frame_read(void)
{
    pipe_read_due = 0;
    pipe_reading = 1;
    if (ReadFile(pipe_handle, rbuf, CLIENT_FRAME_MAX, NULL, &oReadOverlap))
        return;  // done at once; its completion is signalled through the event all the same
    DWORD code = GetLastError();
    // A message longer than rbuf also completes at once, through the event.
    if (code == ERROR_IO_PENDING || code == ERROR_MORE_DATA)
        return;
    pipe_reading = 0;
    vsp_log("pipe server ReadFile fail, error_no=%d\n", (int)code);
    if (code == ERROR_BROKEN_PIPE)
        pipe_reconnect();
    else
        pipe_failed();
}

// Answers to a client's requests go into the write queue too: while it is this full,
// the client's frames are left unread, so a client that sends without reading is held
// up by its own pipe instead of growing the service's memory.
static int client_reads_paused(void) { return pipe_writes_pending_bytes() >= 2 * pipe_queue_high_water; }

// Before every wait: whenever the pipe exists, a connect or a frame read must be
// pending on it, or no client would be served again. Whatever the system refused is
// tried again until it takes, at once or, after repeated failures, when its time
// has come. Only a client whose answers are not being read is left unread on purpose.
static void pipe_keep_pending(void)
{
    while (pipe_usable() && !pipe_connecting && !pipe_reading) {
        if (pipe_read_due) {
            if (client_reads_paused())
                return;
            start_frame_read();
        } else {
            if (GetTickCount64() < pipe_retry_at)
                return;
            pipe_reconnect();
        }
    }
}

// The wait's time-out: none, unless the pipe waits for its next attempt or flow
// control waits for the write queue to drain.
static DWORD wait_time_out(void)
{
    DWORD ms = INFINITE;
    if (ports_held || (pipe_read_due && !pipe_reading))
        ms = FLOW_POLL_MS;
    if (pipe_usable() && !pipe_connecting && !pipe_reading && !pipe_read_due) {
        ULONGLONG now = GetTickCount64();
        DWORD left = pipe_retry_at > now ? (DWORD)(pipe_retry_at - now) : 0;
        if (left < ms)
            ms = left;
    }
    return ms;
}

// ------------------------------------------------------------------ the ports' side

static void arm_port_read(vport *port)
{
    port->rx_frame[0] = (unsigned char)port->channel_id;
    BOOL result = vport_issue_read(port);
    DWORD code = GetLastError();
    if (vsp_request_issued(result, code)) {
        port->read_pending = 1;
    } else {
        vsp_log("DeviceIoControl fail, error=%d\n", (int)code);
        port->read_pending = 0;
    }
}

// Once the client has read enough of what waits for it, the ports held back are
// armed again, in channel order.
static void release_held_ports(void)
{
    if (!ports_held || pipe_writes_pending_bytes() >= pipe_queue_low_water)
        return;
    ports_held = 0;
    for (vport *port = vports_link(); port != NULL; port = port->next)
        if (port->read_pending == VPORT_READ_HELD)
            arm_port_read(port);
}

static void send_port_notify(const char *msg_id, vport *port)
{
    json_object *body = json_object_new_object();
    json_object_object_add(body, "channel_id", json_object_new_int(port->channel_id));
    send_msg_to_app(msg_id, body);
}

static void on_client_data(DWORD size)
{
    vport *port = vports_find_by_channel_id(rbuf[0]);
    if (port == NULL || port->hcom == NULL)
        return;
    BOOL result = vport_issue_write(port, rbuf + 1, size - 1);
    DWORD code = GetLastError();
    if (vsp_request_issued(result, code)) {
        port->write_state = 2;
        vsp_log("IOCTL_SERIAL_PEER_WRITE_CONTROL OK, write2 %d bytes(%s), return %d, en=%d\n", (int)(size - 1),
                (const char *)(rbuf + 1), result, (int)code);
    } else {
        vsp_log("IOCTL_SERIAL_PEER_WRITE_CONTROL fail, en=%d\n", (int)code);
    }
}

static void on_client_frame(DWORD size)
{
    rbuf[size] = 0;
    if (rbuf[0] == 0xFF)
        on_app_msg(reinterpret_cast<const char *>(rbuf + 1));
    else
        on_client_data(size);
}

void handle_client_frame(const void *frame, DWORD size)
{
    if (size == 0 || size > CLIENT_FRAME_MAX)
        return;
    memmove(rbuf, frame, size);
    on_client_frame(size);
}

static void on_pipe_completion(void)
{
    // A success leaves the last error as it was: clear it so a stale code is not taken
    // for this completion's.
    SetLastError(ERROR_SUCCESS);
    BOOL ok = GetOverlappedResult(pipe_handle, &oReadOverlap, &cbRet, FALSE);
    if (pipe_connecting == 1) {
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
            return;  // the connect is still pending
        if (!ok) {
            vsp_log("GetOverlappedResult failed, error_no=%d\n", (int)GetLastError());
            // No connect is pending any more: start over, or no client could come.
            pipe_failed();
            return;
        }
        vsp_log("app connected to pipe server\n");
        pipe_connecting = 0;
        pipe_served();
        pipe_read_due = 1;
        pipe_keep_pending();
        return;
    }
    if (!pipe_reading)
        return;  // nothing was issued on the pipe: no completion to handle
    if (!ok || cbRet == 0) {
        DWORD code = GetLastError();
        if (code == ERROR_IO_INCOMPLETE)
            return;  // the read is still pending: a second one would share its OVERLAPPED
        pipe_reading = 0;
        vsp_log("GetOverlappedResult failed, error_no=%d\n", (int)code);
        if (code == ERROR_MORE_DATA) {
            if (!pipe_draining)
                vsp_log("client frame longer than %d bytes, dropped\n", CLIENT_FRAME_MAX);
            pipe_draining = 1;
            pipe_read_due = 1;
        } else if (ok) {
            pipe_read_due = 1;  // an empty message: the client is still there
        } else if (code == ERROR_BROKEN_PIPE) {
            pipe_reconnect();
        } else {
            pipe_failed();
        }
        return;
    }
    pipe_reading = 0;
    if (pipe_draining) {
        // The last part of an over-long frame.
        pipe_draining = 0;
    } else {
        on_client_frame(cbRet);
        pipe_served();
    }
    // The next frame read goes out at once, before anything else of this pass: a
    // client that closes right after its answer then finds a read pending.
    pipe_read_due = 1;
    pipe_keep_pending();
}

static void on_port_completion(vport *port)
{
    SetLastError(ERROR_SUCCESS);
    BOOL fSuccess = GetOverlappedResult(port->hcom, &port->read_overlapped, &cbRet, FALSE);
    DWORD code = GetLastError();
    vsp_log("fSuccess=%d, error_no=%d, cbRet=%d\n", fSuccess, (int)code, (int)cbRet);
    if (code == ERROR_IO_INCOMPLETE)
        return;  // still pending: arming another READ would reuse its OVERLAPPED
    if (code == VSP_READ_PORT_OPENED) {
        vsp_log("vport(%s) opened\n", port->portname);
        send_port_notify("open_port_notify", port);
    } else if (code == VSP_READ_PORT_CLOSED) {
        vsp_log("vport(%s) closed\n", port->portname);
        send_port_notify("close_port_notify", port);
    } else if (fSuccess && cbRet > 0) {
        vsp_log_app_write(pipe_write_frame(port->rx_frame[0], port->rx_frame + 1, cbRet));
    }
    // A client that does not keep up: the port's next bytes stay in the driver, whose
    // buffer then fills and slows the program down, instead of piling up here.
    if (pipe_writes_pending_bytes() >= pipe_queue_high_water)
        ports_held = 1;
    if (ports_held)
        port->read_pending = VPORT_READ_HELD;
    else
        arm_port_read(port);
}

void service_loop(void)
{
    pipe_reading = 0;
    pipe_draining = 0;
    pipe_failures = 0;
    pipe_retry_at = 0;
    ports_held = 0;
    for (;;) {
        pipe_writes_collect();
        release_held_ports();
        pipe_keep_pending();
        set_events();
        DWORD time_out = wait_time_out();
        // While data streams, the next completion is usually there already: the held
        // lines then wait for the pass that really blocks (or a full buffer) instead of
        // costing a write per frame. A timed wait (a retry back-off) is rare enough
        // to flush and wait at once.
        DWORD result = WAIT_TIMEOUT;
        if (time_out == INFINITE)
            result = WaitForMultipleObjects((DWORD)events_count, events, FALSE, 0);
        if (result == WAIT_TIMEOUT) {
            vsp_log_flush();
            result = WaitForMultipleObjects((DWORD)events_count, events, FALSE, time_out);
        }
        if (result == WAIT_TIMEOUT && time_out != INFINITE)
            continue;
        int index = (int)result;
        if (index < 0 || index > events_count - 1) {
            vsp_log("Index out of range.\n");
            return;
        }
        vsp_log("WaitForMultipleObjects return ,index = %d\n", index);
        if (index == 0)
            on_pipe_completion();
        else
            on_port_completion(event_vports[index]);
    }
}
