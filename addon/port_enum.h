// The walk over the present Ports-class devices and the removal of a device node;
// the setup program links these too.
#pragma once

#include "platform/platform.h"

// Per-device action of enum_ports: 0 when it did its work, -1 when it failed.
typedef int (*port_action)(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id,
                           const char *port_name);

BOOL enum_ports(const char *hardware_id, const char *port_name, port_action action);
int remove_one_port(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, const char *port_name);
// Reads a REG_SZ value into `buf` of `size` bytes as NUL-terminated text. A value
// stored without its NUL is taken whole when it fits; one that leaves no room for the
// NUL is too long (ERROR_MORE_DATA). Returns the registry status.
LSTATUS read_string_value(HKEY key, const char *name, char *buf, DWORD size);
// Opens a device's hardware key for reading and reads its "PortName" into `name` (256
// bytes). Returns the open key, which the caller closes, or NULL after logging why not.
HKEY open_port_name(HDEVINFO set, PSP_DEVINFO_DATA device, char *name);
