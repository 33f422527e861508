/* Does SetupDiSetClassInstallParamsA take the parameters of a device removal? A device
 * is only created in the in-memory list, never registered, so nothing is left behind. */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>

static const GUID ports_class = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

int main(void)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&ports_class, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        printf("gap: SetupDiCreateDeviceInfoList failed (error %lu)\n", GetLastError());
        return 0;
    }
    SP_DEVINFO_DATA device = {sizeof device};
    if (!SetupDiCreateDeviceInfoA(set, "PORTS", &ports_class, NULL, NULL, DICD_GENERATE_ID, &device)) {
        printf("gap: SetupDiCreateDeviceInfoA failed (error %lu)\n", GetLastError());
        SetupDiDestroyDeviceInfoList(set);
        return 0;
    }
    SP_REMOVEDEVICE_PARAMS params;
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    if (SetupDiSetClassInstallParamsA(set, &device, &params.ClassInstallHeader, sizeof params))
        printf("works: SetupDiSetClassInstallParamsA took DIF_REMOVE\n");
    else
        printf("gap: SetupDiSetClassInstallParamsA returns FALSE for DIF_REMOVE (error %lu)\n", GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}
