// Creating a virtual port: a Ports-class device node with the service's hardware ID and
// the port's two registry values, installed by Windows, opened and given a channel.
#include "identity.h"
#include "log.h"
#include "service.h"
#include "sysmsg.h"

// A creation that fails once its device node is registered takes the node out again,
// so that the failure does not come back as a port at the next start. The failing
// step's error stays the thread's last error for the answer.
static void remove_registered_node(HDEVINFO set, PSP_DEVINFO_DATA device, const char *port_name)
{
    DWORD saved = GetLastError();
    remove_one_port(set, device, NULL, port_name);
    SetLastError(saved);
}

vport *create_port(const char *port_name, const char *gateway_id, char *error_text)
{
    if (refuse_unservable(port_name, gateway_id, error_text))
        return NULL;
    if (port_name_in_use(port_name, error_text))
        return NULL;

    char hwIdList[260];
    memset(hwIdList, 0, sizeof hwIdList);
    StringCchCopyA(hwIdList, 256, VSP_HARDWARE_ID);

    vport *port = NULL;
    BOOL registered = FALSE;
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
            registered = TRUE;
            HKEY key = SetupDiCreateDevRegKeyA(set, &DeviceInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
            if (key == (HKEY)INVALID_HANDLE_VALUE) {
                vsp_log("SetupDiCreateDevRegKey fail, error_code=%u\n", (unsigned)GetLastError());
                break;
            }
            vsp_log("SetupDiCreateDevRegKey OK\n");
            write_port_values(key, port_name, gateway_id);
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
        if (port == NULL && registered)
            remove_registered_node(set, &DeviceInfoData, port_name);
        DWORD saved = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(saved);
    }
    if (port != NULL)
        return port;
    system_message(GetLastError(), error_text);
    return NULL;
}
