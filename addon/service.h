// The port service's functions and process-wide state, shared by its source files.
// All of it belongs to the one service thread; nothing here is locked.
#pragma once

#include <json-c/json.h>

#include "platform/platform.h"
#include "port_enum.h"
#include "vports.h"

// ------------------------------------------------------------ service thread, pipe

extern HANDLE pipe_handle;
extern OVERLAPPED oReadOverlap;
extern OVERLAPPED oWriteOverlap;
extern int pipe_connecting;
// Set when a client is connected and its first frame read is still to be started.
extern int pipe_read_due;

enum connect_outcome { CONNECT_PENDING, CONNECT_CONNECTED, CONNECT_FAILED };

DWORD WINAPI service_thread(LPVOID param);

enum service_start_outcome { SERVICE_STARTED, SERVICE_ALREADY_RUNNING, SERVICE_START_FAILED };
// Starts the service thread unless one is running; a thread that has ended is replaced,
// after what it left behind has been released. SERVICE_START_FAILED leaves
// CreateThread's last error.
service_start_outcome service_start(void);
// Whether a thread that service_start started is still running.
BOOL service_running(void);
void vports_init(void);
void app_comm_init(void);
connect_outcome app_comm_connect(void);

// ------------------------------------------------------------ event loop

void service_loop(void);

// Hands one client frame of 1 to 2047 bytes to the loop's frame handling: a control
// message to the dispatcher, data to its port. The loop reads straight into its own
// buffer and does not come through here; this copies a frame from elsewhere (the fuzz
// target's input) into that buffer first. Other sizes are ignored.
void handle_client_frame(const void *frame, DWORD size);

// Pipe writes are overlapped and never waited for. Each write owns a copy of its frame
// and its own OVERLAPPED until it completes; completed ones are freed by
// pipe_writes_collect, which never blocks. Returns WriteFile's result and leaves its
// last error. No frame is dropped for a slow client: the loop stops feeding the queue
// instead (see the water marks below).
BOOL pipe_write_frame(unsigned char first, const void *rest, DWORD rest_len);
void pipe_writes_collect(void);
// Memory held by writes that are still pending: their frames and their records.
size_t pipe_writes_pending_bytes(void);
// Flow control towards a client that does not keep up. At or above the high-water mark
// the ports' READs are not armed again, so their bytes wait in the driver; below the
// low-water mark they are armed again. At twice the high-water mark the client's own
// frames are no longer read either, so answers to its requests cannot pile up.
extern size_t pipe_queue_high_water;
extern size_t pipe_queue_low_water;

// read_pending of a port whose next READ is held back by the flow control above.
#define VPORT_READ_HELD 2

// ------------------------------------------------------------ port devices

HANDLE vport_open(vport *port);
int open_port(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, const char *port_name);
// A record for a port whose device exists: opened (the device may not open; such a port
// is listed and can be removed) and given the lowest free channel. Null, with a log line
// naming `caller`, when no record or channel can be had.
vport *take_up_port(const char *caller, const char *name, const char *gateway);

vport *create_port(const char *port_name, const char *gateway_id, char *error_text);
// Refuse a port before anything is created: one the service could never serve, and
// one whose name a present port carries already. Each logs why, writes the reason into
// `error_text` (VSP_ERROR_TEXT_SIZE bytes) and returns TRUE.
BOOL refuse_unservable(const char *port_name, const char *gateway_id, char *error_text);
BOOL port_name_in_use(const char *port_name, char *error_text);
// Writes "PortName" and "QorGatewayID" into a new port's device key, logging each
// outcome; a failed write does not stop the other.
void write_port_values(HKEY key, const char *port_name, const char *gateway_id);

// ------------------------------------------------------------ control messages

void send_msg_to_app(const char *msg_id, json_object *body);
void on_app_msg(const char *text);
// Looks a member up in a JSON object; null for anything that is not an object, for a
// missing member and for a member whose value is JSON null.
json_object *json_member(json_object *obj, const char *key);
// The body of "create_port_resp", "remove_port_resp" and "set_port_status_resp".
json_object *answer_body(int error_code, const char *error_msg);

void on_get_system_ports_req(json_object *body);
int add_system_port(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, const char *port_name);
void on_remove_port_req(json_object *body);
void on_set_port_status_req(json_object *body);
