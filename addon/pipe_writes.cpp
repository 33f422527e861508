// Writes to the pipe client. A write that the system leaves pending still reads its
// frame and updates its OVERLAPPED after WriteFile has returned, so each write keeps
// both to itself until it has completed.
#include <stdlib.h>
#include <string.h>

#include "log.h"
#include "service.h"

// A client that stops reading must not make the service's memory grow without bound.
size_t pipe_write_queue_limit = 4u * 1024u * 1024u;

struct pipe_write {
    OVERLAPPED ov;
    pipe_write *next;
    DWORD size;
    unsigned char frame[1];
};

static pipe_write *pending_writes;
static size_t pending_bytes;

void pipe_writes_collect(void)
{
    pipe_write **link = &pending_writes;
    while (*link) {
        pipe_write *w = *link;
        if (HasOverlappedIoCompleted(&w->ov)) {
            *link = w->next;
            pending_bytes -= w->size;
            free(w);
        } else {
            link = &w->next;
        }
    }
}

size_t pipe_writes_pending_bytes(void) { return pending_bytes; }

BOOL pipe_write_frame(unsigned char first, const void *rest, DWORD rest_len)
{
    pipe_writes_collect();
    DWORD size = rest_len + 1;
    if (pending_bytes + size > pipe_write_queue_limit) {
        vsp_log("pipe client is not reading, frame of %u bytes dropped\n", (unsigned)size);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    pipe_write *w = static_cast<pipe_write *>(calloc(1, offsetof(pipe_write, frame) + size));
    if (w == NULL) {
        vsp_log("no memory for a frame of %u bytes, dropped\n", (unsigned)size);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    w->size = size;
    w->frame[0] = first;
    if (rest_len)
        memcpy(w->frame + 1, rest, rest_len);
    // Nothing waits for a write: the event only has to be a valid one.
    w->ov.hEvent = oWriteOverlap.hEvent;
    BOOL written = WriteFile(pipe_handle, w->frame, size, NULL, &w->ov);
    DWORD code = GetLastError();
    if (!written && code == ERROR_IO_PENDING) {
        w->next = pending_writes;
        pending_writes = w;
        pending_bytes += size;
    } else {
        free(w);
    }
    SetLastError(code);
    return written;
}
