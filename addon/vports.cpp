#include "vports.h"

#include <stdlib.h>

vport *vports[VPORTS_SLOTS];

vport *vport_new(void)
{
    // A cleared allocation is the empty state: names "", handles null, READ not armed.
    return static_cast<vport *>(calloc(1, sizeof(vport)));
}

void vports_clear(void)
{
    for (int i = 0; i < VPORTS_SLOTS; i++)
        vports[i] = NULL;
}

BOOL vports_has_free_slot(void)
{
    for (int i = 0; i <= VPORTS_LAST_CHANNEL; i++)
        if (vports[i] == NULL)
            return TRUE;
    return FALSE;
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
