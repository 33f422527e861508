// Ports the service refuses to create, in either build.
#include <string.h>

#include "identity.h"
#include "log.h"
#include "service.h"
#include "sysmsg.h"

// Requests the device could never serve are refused before anything is created.
BOOL refuse_unservable(const char *port_name, const char *gateway_id, char *error_text)
{
    const char *reason = NULL;
    if (strlen(port_name) > VPORT_DEVICE_NAME_MAX)
        reason = "port name is longer than 250 characters";
    else if (strlen(gateway_id) > VPORT_NAME_MAX)
        reason = "gateway ID is longer than 254 characters";
    else if (!vports_has_free_slot())
        reason = "no free channel: every channel has a port";
    if (reason == NULL)
        return FALSE;
    vsp_log("create_port refused: %s\n", reason);
    snprintf(error_text, VSP_ERROR_TEXT_SIZE, "%s", reason);
    return TRUE;
}

// Windows opens ports by name without regard to letter case, so a second device under
// a name that differs only in case would be the same port to every program, and
// removing one would take the other's device too. TRUE (refusal logged, error text
// written) when a present Ports-class device already carries the name, or when the
// devices cannot be listed to tell.
BOOL port_name_in_use(const char *port_name, char *error_text)
{
    HDEVINFO set = SetupDiGetClassDevsExA(&GUID_DEVCLASS_PORTS, NULL, NULL, DIGCF_PRESENT, NULL, NULL, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        vsp_log("create_port refused: the present ports cannot be listed, error_code=%u\n", (unsigned)error);
        if (system_message(error, error_text) == 0)
            snprintf(error_text, VSP_ERROR_TEXT_SIZE, "the present ports cannot be listed (error %u)",
                     (unsigned)error);
        return TRUE;
    }
    char taken[256] = "";
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; taken[0] == '\0' && SetupDiEnumDeviceInfo(set, index, &device); index++) {
        // A device without a readable port name claims no name.
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == (HKEY)INVALID_HANDLE_VALUE)
            continue;
        char name[256];
        if (read_string_value(key, VSP_VALUE_PORTNAME, name, sizeof name) == ERROR_SUCCESS &&
            _stricmp(name, port_name) == 0)
            strcpy(taken, name);
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    if (taken[0] == '\0')
        return FALSE;
    snprintf(error_text, VSP_ERROR_TEXT_SIZE, "port name %s is already taken by the present port %s", port_name,
             taken);
    vsp_log("create_port refused: %s\n", error_text);
    return TRUE;
}
