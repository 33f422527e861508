// The driver's four requests on a port's device, and what the service keeps of those
// in flight so that nothing completes into memory it has freed.
#include <stdlib.h>

#include "driver_if.h"
#include "log.h"
#include "vports.h"

// A client that keeps writing to a port whose program does not take the bytes must not
// make the service's memory grow without bound.
#define PORT_WRITES_IN_FLIGHT_LIMIT 1024

// The system marks a request pending when it is issued and leaves it so when the
// request is refused at once; such a request will never complete.
static BOOL settle(OVERLAPPED *ov, BOOL result)
{
    DWORD code = GetLastError();
    if (!vsp_request_issued(result, code)) {
        ov->Internal = 0;
        SetLastError(code);
    }
    return result;
}

BOOL vport_issue_open(vport *port)
{
    return settle(&port->open_overlapped, DeviceIoControl(port->hcom, IOCTL_SERIAL_PEER_OPEN_CONTROL, NULL, 0, NULL,
                                                          0, NULL, &port->open_overlapped));
}

BOOL vport_issue_read(vport *port)
{
    return settle(&port->read_overlapped,
                  DeviceIoControl(port->hcom, IOCTL_SERIAL_PEER_READ_CONTROL, NULL, 0, port->rx_frame + 1,
                                  VSP_READ_SIZE, NULL, &port->read_overlapped));
}

static void collect_writes(vport *port)
{
    port_request **link = &port->writes;
    while (*link) {
        port_request *r = *link;
        if (HasOverlappedIoCompleted(&r->ov)) {
            *link = r->next;
            free(r);
        } else {
            link = &r->next;
        }
    }
}

// WRITE and STATUS: buffered input, copied by the system during the call, so only the
// OVERLAPPED has to live on while the request is in flight.
static BOOL issue_write_side(vport *port, DWORD code, const void *input, DWORD size)
{
    collect_writes(port);
    int in_flight = 0;
    for (port_request *r = port->writes; r; r = r->next)
        in_flight++;
    if (in_flight >= PORT_WRITES_IN_FLIGHT_LIMIT) {
        vsp_log("vport(%s) has %d requests in flight, request dropped\n", port->portname, in_flight);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    port_request *r = static_cast<port_request *>(calloc(1, sizeof(port_request)));
    if (r == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    r->ov.hEvent = port->write_overlapped.hEvent;
    BOOL result = DeviceIoControl(port->hcom, code, const_cast<void *>(input), size, NULL, 0, NULL, &r->ov);
    DWORD error = GetLastError();
    if (!result && error == ERROR_IO_PENDING) {
        r->next = port->writes;
        port->writes = r;
    } else {
        free(r);
    }
    SetLastError(error);
    return result;
}

BOOL vport_issue_write(vport *port, const void *data, DWORD size)
{
    return issue_write_side(port, IOCTL_SERIAL_PEER_WRITE_CONTROL, data, size);
}

BOOL vport_issue_status(vport *port, unsigned char status)
{
    return issue_write_side(port, IOCTL_SERIAL_PEER_STATUS_CONTROL, &status, 1);
}

static bool is_open_handle(HANDLE h) { return h != NULL && h != INVALID_HANDLE_VALUE; }

// Puts into `events` the event of each request still in flight, which it signals when it
// completes, and returns how many; 0 once all have completed. WRITE and STATUS requests
// share write_overlapped's event, which is put in once.
static DWORD unsettled_events(vport *port, HANDLE events[3])
{
    DWORD n = 0;
    if (!HasOverlappedIoCompleted(&port->open_overlapped))
        events[n++] = port->open_overlapped.hEvent;
    if (!HasOverlappedIoCompleted(&port->read_overlapped))
        events[n++] = port->read_overlapped.hEvent;
    for (port_request *r = port->writes; r; r = r->next)
        if (!HasOverlappedIoCompleted(&r->ov)) {
            events[n++] = port->write_overlapped.hEvent;
            break;
        }
    return n;
}

static bool requests_settled(vport *port)
{
    HANDLE events[3];
    return unsettled_events(port, events) == 0;
}

// How long a released port's requests may take to end after its handle was closed.
#define RELEASE_WAIT_MS 5000

void vport_release(vport *port)
{
    // Callers report the failure that led here by the thread's last error.
    DWORD saved = GetLastError();
    if (is_open_handle(port->hcom)) {
        if (!requests_settled(port))
            CancelIoEx(port->hcom, NULL);
        // Closing the handle ends every request still pending on it.
        CloseHandle(port->hcom);
    }
    // Waiting on the requests' events ends the wait as the last one completes, where
    // polling with Sleep would add a timer tick (up to 15.6 ms on Windows) to every
    // removal. The events reset as a wait takes them, so one left signalled by an
    // earlier completion costs one more look, not a spin.
    ULONGLONG deadline = GetTickCount64() + RELEASE_WAIT_MS;
    HANDLE events[3];
    for (DWORD n; (n = unsettled_events(port, events)) != 0;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            vsp_log("vport(%s) requests did not end after its handle was closed, record kept\n", port->portname);
            SetLastError(saved);
            return;
        }
        if (WaitForMultipleObjects(n, events, FALSE, (DWORD)(deadline - now)) == WAIT_FAILED)
            Sleep(1);
    }
    if (port->read_overlapped.hEvent)
        CloseHandle(port->read_overlapped.hEvent);
    if (port->write_overlapped.hEvent)
        CloseHandle(port->write_overlapped.hEvent);
    if (port->open_overlapped.hEvent)
        CloseHandle(port->open_overlapped.hEvent);
    collect_writes(port);
    free(port);
    SetLastError(saved);
}
