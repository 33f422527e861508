// newdev: installing a device node with the best driver of the installed packages.
#pragma once

#include "winsim/setupapi.h"

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI DiInstallDevice(HWND hwndParent, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                            PSP_DRVINFO_DATA_A DriverInfoData, DWORD Flags, PBOOL NeedReboot);

#ifdef __cplusplus
}
#endif
