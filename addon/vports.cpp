#include "vports.h"

#include <stdlib.h>

vport *vports[VPORTS_SLOTS];

vport *vport_new(void)
{
    // A cleared allocation is the empty state: names "", handles null, READ not armed.
    return static_cast<vport *>(calloc(1, sizeof(vport)));
}

static bool is_open_handle(HANDLE h) { return h != NULL && h != INVALID_HANDLE_VALUE; }

// Ends what the record's handle still has in flight and waits for each request to
// complete, so that nothing writes into the record after it is freed. Closing the
// handle alone would leave that to the system's own time.
static void vport_quiesce(vport *port)
{
    if (!is_open_handle(port->hcom))
        return;
    OVERLAPPED *requests[] = {&port->open_overlapped, &port->read_overlapped, &port->write_overlapped};
    bool pending = false;
    for (OVERLAPPED *ov : requests)
        pending = pending || !HasOverlappedIoCompleted(ov);
    if (!pending)
        return;
    CancelIoEx(port->hcom, NULL);
    for (OVERLAPPED *ov : requests) {
        DWORD bytes;
        if (!HasOverlappedIoCompleted(ov))
            GetOverlappedResult(port->hcom, ov, &bytes, TRUE);
    }
}

static void vport_close_handles(vport *port)
{
    if (is_open_handle(port->hcom))
        CloseHandle(port->hcom);
    if (port->read_overlapped.hEvent)
        CloseHandle(port->read_overlapped.hEvent);
    if (port->write_overlapped.hEvent)
        CloseHandle(port->write_overlapped.hEvent);
    if (port->open_overlapped.hEvent)
        CloseHandle(port->open_overlapped.hEvent);
}

void vport_release(vport *port)
{
    // Callers report the failure that led here by the thread's last error.
    DWORD saved = GetLastError();
    vport_quiesce(port);
    vport_close_handles(port);
    free(port);
    SetLastError(saved);
}

void vports_clear(void)
{
    for (int i = 0; i < VPORTS_SLOTS; i++)
        vports[i] = NULL;
}

int vports_add(vport *port)
{
    for (int i = 0; i <= VPORTS_LAST_CHANNEL; i++) {
        if (vports[i] == NULL) {
            vports[i] = port;
            port->channel_id = i;
            port->rx_frame[0] = (unsigned char)i;
            return i;
        }
    }
    return -1;
}

vport *vports_find_by_channel_id(int32_t channel_id)
{
    if ((uint32_t)channel_id >= VPORTS_SLOTS)
        return NULL;
    return vports[channel_id];
}

vport *vports_link(void)
{
    vport *first = NULL;
    vport *last = NULL;
    for (int i = 0; i < VPORTS_SLOTS; i++) {
        vport *port = vports[i];
        if (port == NULL)
            continue;
        if (first == NULL)
            first = port;
        else
            last->next = port;
        last = port;
        port->next = NULL;
    }
    return first;
}

void vports_remove(vport *port)
{
    int slot = -1;
    for (int i = 0; i < VPORTS_SLOTS; i++) {
        if (vports[i] == port) {
            slot = i;
            break;
        }
    }
    if (slot < 0)
        return;
    vports[slot] = NULL;
    vport_release(port);
}
