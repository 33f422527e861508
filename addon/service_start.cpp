// Starting the service thread from JavaScript. The channel table, the pipe and the wait
// set are process-wide and belong to one service thread: a start while it runs starts
// nothing, and a thread that has ended leaves its state to be put away before the next.
#include "log.h"
#include "service.h"

// How long the ended thread's pipe requests may take to end once the pipe is closed.
#define PIPE_CLOSE_WAIT_MS 5000

static HANDLE service_thread_handle;
// Held while a start looks at and replaces service_thread_handle: JavaScript may run
// on more than one thread (workers), each calling in.
static volatile LONG start_lock;

BOOL service_running(void)
{
    return service_thread_handle != NULL && WaitForSingleObject(service_thread_handle, 0) == WAIT_TIMEOUT;
}

static void close_if_open(HANDLE *h)
{
    if (*h != NULL && *h != INVALID_HANDLE_VALUE)
        CloseHandle(*h);
    *h = NULL;
}

// Puts away what an ended service thread left: its ports, its pipe instance with the
// requests still pending on it, and the pipe's events, so that a new thread starts from
// the state the module had when it was loaded.
static void release_ended_service(void)
{
    for (int i = 0; i < VPORTS_SLOTS; i++)
        if (vports[i] != NULL)
            vports_remove(vports[i]);
    // Without a pipe instance nothing was ever pending on oReadOverlap.
    BOOL had_pipe = pipe_handle != NULL && pipe_handle != INVALID_HANDLE_VALUE;
    close_if_open(&pipe_handle);
    // The close ends the pending connect or frame read and the pending writes; their
    // OVERLAPPEDs and events must not be reused or closed before they have.
    ULONGLONG deadline = GetTickCount64() + PIPE_CLOSE_WAIT_MS;
    for (;;) {
        pipe_writes_collect();
        if ((!had_pipe || HasOverlappedIoCompleted(&oReadOverlap)) && pipe_writes_pending_bytes() == 0)
            break;
        if (GetTickCount64() >= deadline) {
            vsp_log("the ended service's pipe requests did not end, its events are kept\n");
            oReadOverlap.hEvent = NULL;
            oWriteOverlap.hEvent = NULL;
            break;
        }
        Sleep(1);
    }
    close_if_open(&oReadOverlap.hEvent);
    close_if_open(&oWriteOverlap.hEvent);
    oReadOverlap = OVERLAPPED{};
    oWriteOverlap = OVERLAPPED{};
    pipe_connecting = 0;
    pipe_read_due = 0;
}

service_start_outcome service_start(void)
{
    while (InterlockedCompareExchange(&start_lock, 1, 0) != 0)
        Sleep(1);
    service_start_outcome outcome = SERVICE_STARTED;
    if (service_running()) {
        outcome = SERVICE_ALREADY_RUNNING;
    } else {
        if (service_thread_handle != NULL) {
            CloseHandle(service_thread_handle);
            service_thread_handle = NULL;
            release_ended_service();
        }
        DWORD thread_id;
        service_thread_handle = CreateThread(NULL, 1024, service_thread, NULL, 0, &thread_id);
        if (service_thread_handle == NULL)
            outcome = SERVICE_START_FAILED;
    }
    DWORD code = GetLastError();
    InterlockedExchange(&start_lock, 0);
    SetLastError(code);
    return outcome;
}
