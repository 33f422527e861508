// The port record and the channel table: the slot index of a port is its channel
// number, the first byte of its data frames and the "channel_id" of the control messages.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

#define VPORTS_SLOTS 256
// Channel 255 is never handed out: a frame that begins with 0xFF is a control message,
// so a port there could neither send nor receive data.
#define VPORTS_LAST_CHANNEL 254
// Longest port name or gateway ID a record holds.
#define VPORT_NAME_MAX 254
// Longest port name whose device path "\\.\NAME" fits its 255-byte buffer.
#define VPORT_DEVICE_NAME_MAX 250

// A WRITE or STATUS request still in flight. Each has an OVERLAPPED of its own: the
// system writes a request's status into its OVERLAPPED when it completes, so requests
// that may be in flight together cannot share one.
struct port_request {
    OVERLAPPED ov;
    port_request *next;
};

struct vport {
    char portname[256];
    char gateway_id[256];
    int32_t channel_id;
    int32_t port_status;
    OVERLAPPED open_overlapped;
    OVERLAPPED read_overlapped;
    OVERLAPPED write_overlapped;
    HANDLE hcom;
    HANDLE read_event;
    unsigned char rx_frame[4096];
    int32_t read_pending;
    int32_t write_state;
    vport *next;
    // WRITE and STATUS requests that went pending; they signal write_overlapped's event.
    port_request *writes;
    // Set once the event loop has told that the port found the wait set full.
    int32_t wait_set_full_logged;
};

extern vport *vports[VPORTS_SLOTS];

// A new, empty record: empty names, null handles, no READ armed, status 0.
vport *vport_new(void);
// Gives up a record that is in no slot: closes its device handle, which ends the
// requests issued on it, waits for them to complete, then closes its events and frees
// it. A record whose requests do not end is kept rather than freed under them.
void vport_release(vport *port);

// The driver's requests on a port's device (see driver_if.h). Each returns what
// DeviceIoControl returned and leaves its last error; a request refused at once is
// not in flight afterwards.
BOOL vport_issue_open(vport *port);
BOOL vport_issue_read(vport *port);
BOOL vport_issue_write(vport *port, const void *data, DWORD size);
BOOL vport_issue_status(vport *port, unsigned char status);

void vports_clear(void);
// Puts the record into the lowest free slot and gives it that channel. Returns the
// channel, or -1 (record untouched) when every slot is taken.
int vports_add(vport *port);
BOOL vports_has_free_slot(void);
vport *vports_find_by_channel_id(int32_t channel_id);
vport *vports_link(void);
void vports_remove(vport *port);
