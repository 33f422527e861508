// Writes to the pipe client. A write that the system leaves pending still reads its
// frame and updates its OVERLAPPED after WriteFile has returned, so each write keeps
// both to itself until it has completed.
#include <stdlib.h>
#include <string.h>

#include "log.h"
#include "service.h"

size_t pipe_queue_high_water = 1024u * 1024u;
size_t pipe_queue_low_water = 256u * 1024u;

struct pipe_write {
    OVERLAPPED ov;
    pipe_write *next;
    DWORD size;
    unsigned char frame[1];
};

// Oldest first: writes on one pipe complete in the order they were issued, so the
// collection can stop at the first one still in flight.
static pipe_write *pending_head;
static pipe_write **pending_tail = &pending_head;
static size_t pending_bytes;

// What a queued write holds of memory, so that a flood of tiny frames counts for what
// it costs and not just for its bytes.
static size_t footprint(DWORD size) { return offsetof(pipe_write, frame) + size; }

void pipe_writes_collect(void)
{
    while (pending_head != NULL && HasOverlappedIoCompleted(&pending_head->ov)) {
        pipe_write *w = pending_head;
        pending_head = w->next;
        pending_bytes -= footprint(w->size);
        free(w);
    }
    if (pending_head == NULL)
        pending_tail = &pending_head;
}

size_t pipe_writes_pending_bytes(void) { return pending_bytes; }

BOOL pipe_write_frame(unsigned char first, const void *rest, DWORD rest_len)
{
    pipe_writes_collect();
    DWORD size = rest_len + 1;
    pipe_write *w = static_cast<pipe_write *>(calloc(1, footprint(size)));
    if (w == NULL) {
        vsp_log("no memory for a frame of %u bytes, dropped\n", (unsigned)size);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    w->size = size;
    w->frame[0] = first;
    if (rest_len)
        memcpy(w->frame + 1, rest, rest_len);
    // The event lets a waiter learn of completions; the loop itself looks at the queue
    // only through pipe_writes_collect.
    w->ov.hEvent = oWriteOverlap.hEvent;
    BOOL written = WriteFile(pipe_handle, w->frame, size, NULL, &w->ov);
    DWORD code = GetLastError();
    if (!written && code == ERROR_IO_PENDING) {
        *pending_tail = w;
        pending_tail = &w->next;
        pending_bytes += footprint(size);
    } else {
        free(w);
    }
    SetLastError(code);
    return written;
}
