// The walk over the Ports-class devices, with its filters and per-device action, and
// the action that removes a device node.
#include "identity.h"
#include "log.h"
#include "port_enum.h"

#define HARDWARE_ID_BUFFER 1024

LSTATUS read_string_value(HKEY key, const char *name, char *buf, DWORD size)
{
    DWORD got = size;
    LSTATUS status = RegQueryValueExA(key, name, NULL, NULL, reinterpret_cast<LPBYTE>(buf), &got);
    if (status != ERROR_SUCCESS)
        return status;
    if (got == 0 || buf[got - 1] != '\0') {
        // Stored without its NUL: the bytes read are the whole value.
        if (got >= size)
            return ERROR_MORE_DATA;
        buf[got] = '\0';
    }
    return ERROR_SUCCESS;
}

HKEY open_port_name(HDEVINFO set, PSP_DEVINFO_DATA device, char *name)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, VSP_DEVKEY_ACCESS);
    if (key == (HKEY)INVALID_HANDLE_VALUE) {
        vsp_log_devkey_open_fail();
        return NULL;
    }
    LSTATUS status = read_string_value(key, VSP_VALUE_PORTNAME, name, 256);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(key);
        vsp_log("RegQueryValueEx fail for PortName: %d\n", (int)status);
        return NULL;
    }
    return key;
}

// Does the device's first hardware ID equal `hardware_id`? FALSE in *readable when
// the list cannot be read.
static BOOL first_hardware_id_is(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, BOOL *readable)
{
    // Two bytes beyond what the call may fill hold the list's two closing NULs,
    // whatever size the device reports.
    char ids[HARDWARE_ID_BUFFER + 2];
    DWORD required = 0;
    *readable = SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, NULL,
                                                  reinterpret_cast<PBYTE>(ids), HARDWARE_ID_BUFFER, &required);
    if (!*readable)
        return FALSE;
    if (required > HARDWARE_ID_BUFFER)
        required = HARDWARE_ID_BUFFER;
    ids[required] = '\0';
    ids[required + 1] = '\0';
    return strcmp(ids, hardware_id) == 0;
}

BOOL enum_ports(const char *hardware_id, const char *port_name, port_action action)
{
    HDEVINFO set = SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, NULL, NULL, DIGCF_PRESENT, NULL, NULL, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        vsp_log("SetupDiGetClassDevsEx fail\n");
        return FALSE;
    }
    BOOL walked = TRUE;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); index++) {
        if (port_name != NULL) {
            HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ | KEY_WRITE);
            if (key == (HKEY)INVALID_HANDLE_VALUE) {
                vsp_log("SetupDiOpenDevRegKey fail\n");
                if (VSP_WALK_SKIPS_UNREADABLE_DEVICES)
                    continue;
                walked = FALSE;
                break;
            }
            char name[256];
            LSTATUS status = read_string_value(key, VSP_VALUE_PORTNAME, name, sizeof name);
            DWORD saved = GetLastError();
            RegCloseKey(key);
            SetLastError(saved);
            if (status != ERROR_SUCCESS) {
                vsp_log("RegQueryValueEx fail for PortName: %d\n", (int)status);
                if (VSP_WALK_SKIPS_UNREADABLE_DEVICES)
                    continue;
                walked = FALSE;
                break;
            }
            vsp_log("%s\n", name);
            if (strcmp(name, port_name) != 0)
                continue;
        }
        if (hardware_id != NULL) {
            BOOL readable;
            BOOL matches = first_hardware_id_is(set, &device, hardware_id, &readable);
            if (!readable) {
                vsp_log("SetupDiGetDeviceRegistryProperty fail\n");
                if (VSP_WALK_SKIPS_UNREADABLE_DEVICES)
                    continue;
                walked = FALSE;
                break;
            }
            if (!matches)
                continue;
        }
        action(set, &device, hardware_id, port_name);
    }
    // Callers that report a failed walk in words read the failing call's error.
    DWORD saved = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(saved);
    return walked;
}

int remove_one_port(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, const char *port_name)
{
    (void)hardware_id;
    vsp_log(VSP_LOG_WILL_REMOVE, port_name ? port_name : "");
    SP_REMOVEDEVICE_PARAMS params;
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    if (SetupDiSetClassInstallParamsA(set, device, &params.ClassInstallHeader, sizeof params) &&
        SetupDiCallClassInstaller(DIF_REMOVE, set, device)) {
        vsp_log("remove ok\n");
        return 0;
    }
    vsp_log_remove_fail();
    return -1;
}
