// The two registry values that bind a device node to its port name and gateway, written
// when a port is created, with the same lines in either build.
#include "identity.h"
#include "log.h"
#include "service.h"

static LSTATUS write_string_value(HKEY key, const char *name, const char *text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), (DWORD)lstrlenA(text) + 1);
}

void write_port_values(HKEY key, const char *port_name, const char *gateway_id)
{
    LSTATUS status = write_string_value(key, VSP_VALUE_PORTNAME, port_name);
    if (status == ERROR_SUCCESS)
        vsp_log("RegSetValueEx for PortName(%s)  OK: %d\n", port_name, (int)status);
    else
        vsp_log("RegSetValueEx for PortName(%s) fail: %d\n", port_name, (int)status);
    status = write_string_value(key, VSP_VALUE_GATEWAYID, gateway_id);
    if (status == ERROR_SUCCESS)
        vsp_log("RegSetValueEx OK for GatewayID(%s) : %d\n", gateway_id, (int)status);
    else
        vsp_log("RegSetValueEx fail  for GatewayID(%s) : %d\n", gateway_id, (int)status);
}
