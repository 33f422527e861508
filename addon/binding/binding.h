// Operations that the binding build carries although nothing in it calls them.
#pragma once

#include "addon/service.h"

// Closes the port's device handle, if it has one, and forgets it; the record's events
// and its slot stay.
void vport_close_handle(vport *port);
// The port in the lowest occupied slot whose gateway ID, or port name, is exactly
// `text` (case counts); null when there is none.
vport *vports_find_by_gateway_id(const char *text);
vport *vports_find_by_portname(const char *text);
// Logs the port name and gateway ID of every present Ports device whose first hardware
// ID is `hardware_id`. TRUE whatever the walk gives.
BOOL list_vports(const char *hardware_id);
int list_ports(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, const char *port_name);
// Disconnects the pipe client and closes the pipe instance.
void app_comm_close(void);
// Puts the driver package of the INF file at `path` into the system.
BOOL install_inf(const char *path);
