// The event loop: one wait on the pipe's event and the armed ports' read events, one
// completion handled per pass. Data and the driver's open and close events go to the
// client; client frames go to the ports or to the control message dispatcher.
#include "build_flavour.h"
#include "driver_if.h"
#include "log.h"
#include "service.h"

#define WAIT_SET_SIZE 64
// Client frames have at most this many bytes; one byte of rbuf stays for the NUL
// that ends a control message's text.
#define CLIENT_FRAME_MAX 2047

static HANDLE events[WAIT_SET_SIZE];
static vport *event_vports[WAIT_SET_SIZE];
static int events_count;

static unsigned char rbuf[CLIENT_FRAME_MAX + 1];
static DWORD cbRet;
// Set while the rest of a client message longer than rbuf is being read and dropped.
static int pipe_draining;
// Set while a frame read on oReadOverlap has been issued and not yet handled.
static int pipe_reading;

static void set_events(void)
{
    vport *port = vports_link();
    events[0] = oReadOverlap.hEvent;
    events_count = 1;
    if (pipe_connecting != 1) {
        for (; port != NULL && events_count < WAIT_SET_SIZE; port = port->next) {
            if (port->read_pending != 1)
                continue;
            events[events_count] = port->read_event;
            event_vports[events_count] = port;
            events_count++;
        }
    }
    vsp_log("set_events, events_count=%d\n", events_count);
}

// The client has gone, or the pipe is in a state no read can continue from: drop the
// client and wait for the next one.
static void pipe_reconnect(void)
{
    if (!DisconnectNamedPipe(pipe_handle))
        vsp_log("DisconnectNamedPipe failed with %d.\n", (int)GetLastError());
    vsp_log("will wait client connect\n");
    pipe_draining = 0;
    pipe_reading = 0;
    app_comm_connect();
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
    // Whatever refused the read, nothing is pending on the pipe now: a pipe that is
    // left so would never be served again.
    pipe_reconnect();
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
            pipe_reconnect();
            return;
        }
        vsp_log("app connected to pipe server\n");
        pipe_connecting = 0;
        start_frame_read();
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
            start_frame_read();
        } else if (ok) {
            start_frame_read();  // an empty message: the client is still there
        } else {
            pipe_reconnect();
        }
        return;
    }
    pipe_reading = 0;
    if (pipe_draining) {
        // The last part of an over-long frame.
        pipe_draining = 0;
    } else {
        on_client_frame(cbRet);
    }
    start_frame_read();
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
    port->rx_frame[0] = (unsigned char)port->channel_id;
    BOOL result = vport_issue_read(port);
    code = GetLastError();
    if (vsp_request_issued(result, code)) {
        port->read_pending = 1;
    } else {
        vsp_log("DeviceIoControl fail, error=%d\n", (int)code);
        port->read_pending = 0;
    }
}

void service_loop(void)
{
    pipe_reading = 0;
    pipe_draining = 0;
    for (;;) {
        if (pipe_read_due)
            start_frame_read();
        pipe_writes_collect();
        set_events();
        vsp_log_flush();
        int index = (int)WaitForMultipleObjects((DWORD)events_count, events, FALSE, INFINITE);
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
