// The operations of binding that nothing in it calls (see binding.h).
#include <string.h>

#include "addon/binding/binding.h"
#include "addon/identity.h"
#include "addon/log.h"

void vport_close_handle(vport *port)
{
    if (port->hcom == NULL || port->hcom == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(port->hcom);
    port->hcom = NULL;
}

static vport *vports_find_by_text(size_t offset, const char *text)
{
    for (int i = 0; i < VPORTS_SLOTS; i++) {
        vport *port = vports[i];
        if (port != NULL && strcmp(reinterpret_cast<const char *>(port) + offset, text) == 0)
            return port;
    }
    return NULL;
}

vport *vports_find_by_gateway_id(const char *text) { return vports_find_by_text(offsetof(vport, gateway_id), text); }

vport *vports_find_by_portname(const char *text) { return vports_find_by_text(offsetof(vport, portname), text); }

int list_ports(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, const char *port_name)
{
    (void)hardware_id;
    (void)port_name;
    char name[256];
    char gateway[256];
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ | KEY_WRITE);
    if (key == (HKEY)INVALID_HANDLE_VALUE) {
        vsp_log("SetupDiOpenDevRegKey fail\n");
        return -1;
    }
    LSTATUS status = read_string_value(key, VSP_VALUE_PORTNAME, name, sizeof name);
    if (status != ERROR_SUCCESS) {
        vsp_log("RegQueryValueEx fail for PortName: %d\n", (int)status);
        RegCloseKey(key);
        return -1;
    }
    if (read_string_value(key, VSP_VALUE_GATEWAYID, gateway, sizeof gateway) != ERROR_SUCCESS)
        gateway[0] = '\0';
    RegCloseKey(key);
    vsp_log("list_ports: %s ----- %s\n", name, gateway);
    return 0;
}

BOOL list_vports(const char *hardware_id)
{
    enum_ports(hardware_id, NULL, list_ports);
    return TRUE;
}

void app_comm_close(void)
{
    if (!DisconnectNamedPipe(pipe_handle))
        vsp_log("DisconnectNamedPipe failed with %d.\n", (int)GetLastError());
    CloseHandle(pipe_handle);
}

BOOL install_inf(const char *path)
{
    char full[MAX_PATH];
    char *file_part = NULL;
    DWORD length = GetFullPathNameA(path, MAX_PATH, full, &file_part);
    if (length == 0 || length >= MAX_PATH) {
        vsp_log("GetFullPathName for inf(%s) fail\n", path);
        return FALSE;
    }
    char dest[MAX_PATH];
    char *dest_file = NULL;
    if (!SetupCopyOEMInfA(full, NULL, SPOST_PATH, 0, dest, MAX_PATH, NULL, &dest_file)) {
        vsp_log("SetupCopyOEMInf fail: %d\n", (int)GetLastError());
        return FALSE;
    }
    vsp_log("SetupCopyOEMInf ok, dest=%s\n", dest_file ? dest_file : dest);
    return TRUE;
}
