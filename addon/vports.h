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
};

extern vport *vports[VPORTS_SLOTS];

// A new, empty record: empty names, null handles, no READ armed, status 0.
vport *vport_new(void);
// Gives up a record that is in no slot: ends the requests it issued, closes its
// handles and frees it.
void vport_release(vport *port);

void vports_clear(void);
// Puts the record into the lowest free slot and gives it that channel. Returns the
// channel, or -1 (record untouched) when every slot is taken.
int vports_add(vport *port);
vport *vports_find_by_channel_id(int32_t channel_id);
vport *vports_link(void);
void vports_remove(vport *port);
