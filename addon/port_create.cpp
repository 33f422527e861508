// Creating a virtual port: a Ports-class device node with the service's hardware ID and
// the port's two registry values, installed by Windows, opened and given a channel.
#include "identity.h"
#include "log.h"
#include "service.h"
#include "sysmsg.h"

// "\\.\" and the port name fit the 255-byte device path of vport_open.
#define PORT_NAME_LIMIT 250

static void write_value(HKEY key, const char *name, const char *text, const char *ok_format,
                        const char *fail_format)
{
    LSTATUS status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                                    (DWORD)lstrlenA(text) + 1);
    vsp_log(status == ERROR_SUCCESS ? ok_format : fail_format, text, (int)status);
}

// Requests the device could never serve are refused before anything is created.
static BOOL refuse_unservable(const char *port_name, const char *gateway_id, char *error_text)
{
    const char *reason = NULL;
    if (strlen(port_name) > PORT_NAME_LIMIT)
        reason = "port name is longer than 250 characters";
    else if (strlen(gateway_id) > VPORT_NAME_MAX)
        reason = "gateway ID is longer than 254 characters";
    else {
        int free_slots = 0;
        for (int i = 0; i <= VPORTS_LAST_CHANNEL; i++)
            free_slots += vports[i] == NULL;
        if (free_slots == 0)
            reason = "no free channel: every channel has a port";
    }
    if (reason == NULL)
        return FALSE;
    vsp_log("create_port refused: %s\n", reason);
    snprintf(error_text, VSP_ERROR_TEXT_SIZE, "%s", reason);
    return TRUE;
}

vport *create_port(const char *port_name, const char *gateway_id, char *error_text)
{
    if (refuse_unservable(port_name, gateway_id, error_text))
        return NULL;

    char hwIdList[260];
    memset(hwIdList, 0, sizeof hwIdList);
    StringCchCopyA(hwIdList, 256, VSP_HARDWARE_ID);

    vport *port = NULL;
    SP_DEVINFO_DATA DeviceInfoData;
    DeviceInfoData.cbSize = sizeof DeviceInfoData;
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        vsp_log("SetupDiCreateDeviceInfoList fail, error_code=%u\n", (unsigned)GetLastError());
    } else {
        do {
            if (!SetupDiCreateDeviceInfoA(set, "Ports", &GUID_DEVCLASS_PORTS, NULL, NULL, DICD_GENERATE_ID,
                                          &DeviceInfoData)) {
                vsp_log("SetupDiCreateDeviceInfo fail, error_code=%u\n", (unsigned)GetLastError());
                break;
            }
            if (!SetupDiSetDeviceRegistryPropertyA(set, &DeviceInfoData, SPDRP_HARDWAREID,
                                                   reinterpret_cast<const BYTE *>(hwIdList),
                                                   (DWORD)strlen(hwIdList) + 2)) {
                vsp_log("SetupDiSetDeviceRegistryProperty fail, error_code=%u\n", (unsigned)GetLastError());
                break;
            }
            if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &DeviceInfoData)) {
                vsp_log("SetupDiCallClassInstaller DIF_REGISTERDEVICE fail, error_code=%u\n",
                        (unsigned)GetLastError());
                break;
            }
            HKEY key = SetupDiCreateDevRegKeyA(set, &DeviceInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
            if (key == (HKEY)INVALID_HANDLE_VALUE) {
                vsp_log("SetupDiCreateDevRegKey fail, error_code=%u\n", (unsigned)GetLastError());
                break;
            }
            vsp_log("SetupDiCreateDevRegKey OK\n");
            write_value(key, VSP_VALUE_PORTNAME, port_name, "RegSetValueEx for PortName(%s)  OK: %d\n",
                        "RegSetValueEx for PortName(%s) fail: %d\n");
            write_value(key, VSP_VALUE_GATEWAYID, gateway_id, "RegSetValueEx OK for GatewayID(%s) : %d\n",
                        "RegSetValueEx fail  for GatewayID(%s) : %d\n");
            RegCloseKey(key);

            BOOL installed = DiInstallDevice(NULL, set, &DeviceInfoData, NULL, 0, NULL);
            vsp_log("DiInstallDevice rt=%d\n", installed);
            if (!installed)
                break;

            port = vport_new();
            if (port == NULL) {
                vsp_log("create_port: no memory for port %s\n", port_name);
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                break;
            }
            strcpy(port->gateway_id, gateway_id);
            strcpy(port->portname, port_name);
            if (vport_open(port) == NULL || vports_add(port) < 0) {
                // vport_release waits for the requests already issued, so nothing
                // completes into the freed record.
                vport_release(port);
                port = NULL;
            }
        } while (0);
        DWORD saved = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(saved);
    }
    if (port != NULL)
        return port;
    system_message(GetLastError(), error_text);
    return NULL;
}
