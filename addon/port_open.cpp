// Taking up a virtual port: opening its device and arming the driver's requests, and
// the start-up action that does so for every virtual port device that exists.
#include <stdlib.h>

#include "driver_if.h"
#include "identity.h"
#include "log.h"
#include "service.h"

// "\\.\" and the name must fit the 255-byte device path with its NUL.
#define DEVICE_PATH_SIZE 255
#define DEVICE_PATH_PREFIX "\\\\.\\"

HANDLE vport_open(vport *port)
{
    char fport[DEVICE_PATH_SIZE];
    int length = snprintf(fport, sizeof fport, DEVICE_PATH_PREFIX "%s", port->portname);
    if (length < 0 || length >= (int)sizeof fport) {
        // A cut path would name another device.
        vsp_log("port name %s is too long for a device path\n", port->portname);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return NULL;
    }
    vsp_log("will open %s\n", fport);

    port->hcom = CreateFileA(fport, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (port->hcom == INVALID_HANDLE_VALUE) {
        vsp_log("CreateFile fail\n");
        return NULL;
    }
    vsp_log("CreateFile ok, handle=%p\n", port->hcom);

    port->read_event = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (port->read_event == NULL) {
        vsp_log("CreateEvent error: %d\n", (int)GetLastError());
        return NULL;
    }
    port->read_overlapped.hEvent = port->read_event;
    vsp_log("CreateEvent ok\n");

    port->open_overlapped.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (port->open_overlapped.hEvent == NULL) {
        vsp_log("CreateEvent for open error: %d\n", (int)GetLastError());
        return NULL;
    }
    port->write_overlapped.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (port->write_overlapped.hEvent == NULL) {
        vsp_log("CreateEvent error: %d\n", (int)GetLastError());
        return NULL;
    }

    vsp_log("DeviceIoControl, hcom=%p\n", port->hcom);
    BOOL result = vport_issue_open(port);
    DWORD code = GetLastError();
    if (!vsp_request_issued(result, code)) {
        vsp_log("IOCTL_SERIAL_PEER_OPEN_CONTROL fail, error=%d\n", (int)code);
        return NULL;
    }
    vsp_log("IOCTL_SERIAL_PEER_OPEN_CONTROL OK\n");

    result = vport_issue_read(port);
    code = GetLastError();
    if (!vsp_request_issued(result, code)) {
        vsp_log("IOCTL_SERIAL_PEER_READ_CONTROL fail, error=%d\n", (int)code);
        return NULL;
    }
    vsp_log("IOCTL_SERIAL_PEER_READ_CONTROL OK\n");
    port->read_pending = 1;
    return port->hcom;
}

int open_port(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, const char *port_name)
{
    (void)hardware_id;
    (void)port_name;
    char name[256];
    char gateway[256];
    HKEY key = open_port_name(set, device, name);
    if (key == NULL)
        return -1;
    LSTATUS status = read_string_value(key, VSP_VALUE_GATEWAYID, gateway, sizeof gateway);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return -1;
    // A name the record cannot hold whole is skipped, never cut into another name.
    if (strlen(name) > VPORT_NAME_MAX || strlen(gateway) > VPORT_NAME_MAX) {
        vsp_log("open_port: port name or gateway ID longer than %d characters, device skipped\n", VPORT_NAME_MAX);
        return -1;
    }
    vsp_log("open_port: %s ----- %s\n", name, gateway);

    take_up_port("open_port", name, gateway);
    return 0;
}

vport *take_up_port(const char *caller, const char *name, const char *gateway)
{
    vport *port = vport_new();
    if (port == NULL) {
        vsp_log("%s: no memory for port %s\n", caller, name);
        return NULL;
    }
    strcpy(port->portname, name);
    strcpy(port->gateway_id, gateway);
    vport_open(port);
    if (vports_add(port) < 0) {
        // Without a channel nothing could list, serve or remove the port.
        vsp_log("%s: no free channel for port %s, closed\n", caller, name);
        vport_release(port);
        return NULL;
    }
    return port;
}
