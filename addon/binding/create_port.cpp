// Creating a virtual port, binding's way: once the device node is registered, the port
// is made and given a channel whatever the later steps give (device key, installation,
// opening the device), and no error text is written.
#include "addon/identity.h"
#include "addon/log.h"
#include "addon/service.h"
#include "addon/sysmsg.h"

static void log_names(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    char friendly[101];
    char desc[101];
    memset(friendly, 0, sizeof friendly);
    memset(desc, 0, sizeof desc);
    SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_FRIENDLYNAME, NULL, reinterpret_cast<PBYTE>(friendly), 100,
                                      NULL);
    SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_DEVICEDESC, NULL, reinterpret_cast<PBYTE>(desc), 100, NULL);
    vsp_log("after install, SPDRP_FRIENDLYNAME: %s, SPDRP_DEVICEDESC: %s\n", friendly, desc);
}

vport *create_port(const char *port_name, const char *gateway_id, char *error_text)
{
    // Refused requests are answered by their code alone: the reason goes to the log.
    char reason[VSP_ERROR_TEXT_SIZE];
    (void)error_text;
    if (refuse_unservable(port_name, gateway_id, reason) || port_name_in_use(port_name, reason))
        return NULL;

    char hwIdList[260];
    memset(hwIdList, 0, sizeof hwIdList);
    StringCchCopyA(hwIdList, 256, VSP_HARDWARE_ID);

    SP_DEVINFO_DATA DeviceInfoData;
    DeviceInfoData.cbSize = sizeof DeviceInfoData;
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        vsp_log("SetupDiCreateDeviceInfoList fail\n");
        return NULL;
    }
    vport *port = NULL;
    if (!SetupDiCreateDeviceInfoA(set, "Ports", &GUID_DEVCLASS_PORTS, NULL, NULL, DICD_GENERATE_ID,
                                  &DeviceInfoData)) {
        vsp_log("SetupDiCreateDeviceInfo fail\n");
    } else if (!SetupDiSetDeviceRegistryPropertyA(set, &DeviceInfoData, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE *>(hwIdList),
                                                  (DWORD)strlen(hwIdList) + 2)) {
        vsp_log("SetupDiSetDeviceRegistryProperty fail\n");
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &DeviceInfoData)) {
        vsp_log("SetupDiCallClassInstaller DIF_REGISTERDEVICE fail\n");
    } else {
        HKEY key = SetupDiCreateDevRegKeyA(set, &DeviceInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
        if (key == (HKEY)INVALID_HANDLE_VALUE) {
            vsp_log("SetupDiCreateDevRegKey fail\n");
        } else {
            vsp_log("SetupDiCreateDevRegKey OK\n");
            write_port_values(key, port_name, gateway_id);
            RegCloseKey(key);
        }
        BOOL installed = DiInstallDevice(NULL, set, &DeviceInfoData, NULL, 0, NULL);
        vsp_log("DiInstallDevice rt=%d\n", installed);
        // Free slots were counted before anything was created; nothing took one since.
        port = take_up_port("create_port", port_name, gateway_id);
        log_names(set, &DeviceInfoData);
    }
    SetupDiDestroyDeviceInfoList(set);
    return port;
}
