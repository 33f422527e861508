// The service thread: takes up the existing virtual ports, creates the pipe server and
// runs the event loop.
#include "identity.h"
#include "log.h"
#include "service.h"

HANDLE pipe_handle;
OVERLAPPED oReadOverlap;
OVERLAPPED oWriteOverlap;
int pipe_connecting;
int pipe_read_due;

DWORD WINAPI service_thread(LPVOID param)
{
    (void)param;
    vsp_log_hold_lines();
    vports_init();
    app_comm_init();
    service_loop();
    vsp_log_flush();
    return 0;
}

void vports_init(void)
{
    vsp_log("-------------- begin vports_init ------------------\n");
    vports_clear();
    if (enum_ports(VSP_HARDWARE_ID, NULL, open_port) || VSP_END_LINE_AFTER_ANY_WALK)
        vsp_log("-------------- end vports_init ---------------------\n");
}

void app_comm_init(void)
{
    vsp_log("\n---------- begin app_comm_init ------------\n");
    oReadOverlap.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (oReadOverlap.hEvent == NULL) {
        vsp_log("CreateEvent failed for oReadOverlap with %d.\n", (int)GetLastError());
    } else {
        oWriteOverlap.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (oWriteOverlap.hEvent == NULL) {
            vsp_log("CreateEvent failed for oWriteOverlap with %d.\n", (int)GetLastError());
        } else {
            pipe_handle = CreateNamedPipeA(VSP_PIPE_NAME, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                           PIPE_UNLIMITED_INSTANCES, 4096, 4096, 5000, NULL);
            if (pipe_handle == INVALID_HANDLE_VALUE)
                vsp_log("CreateNamedPipe failed with %d.\n", (int)GetLastError());
            else
                vsp_log("create pipe server(%s) OK\n", VSP_PIPE_NAME);
        }
    }
    app_comm_connect();
    vsp_log("---------- end app_comm_init ----------------\n");
}

connect_outcome app_comm_connect(void)
{
    pipe_connecting = 0;
    pipe_read_due = 0;
    if (ConnectNamedPipe(pipe_handle, &oReadOverlap)) {
        // An overlapped connect never succeeds at once.
        vsp_log("ConnectNamedPipe failed with %d.\n", (int)GetLastError());
        return CONNECT_FAILED;
    }
    // ERROR_NO_DATA (a client came and went before the call) is a failure like any
    // other here: the event loop disconnects the instance and tries again.
    DWORD code = GetLastError();
    if (code == ERROR_PIPE_CONNECTED) {
        vsp_log("ERROR_PIPE_CONNECTED\n");
        pipe_read_due = 1;
        return CONNECT_CONNECTED;
    }
    if (code == ERROR_IO_PENDING) {
        vsp_log("now wait pipe client connect\n");
        pipe_connecting = 1;
        return CONNECT_PENDING;
    }
    vsp_log("ConnectNamedPipe failed with %d.\n", (int)code);
    return CONNECT_FAILED;
}
