// newdev: installing a device node with the best driver of the installed packages.
#pragma once

#include "winsim/setupapi.h"

#define DIIDFLAG_SHOWSEARCHUI 0x00000001u
#define DIIDFLAG_NOFINISHINSTALLUI 0x00000002u
#define DIIDFLAG_INSTALLNULLDRIVER 0x00000004u

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI DiInstallDevice(HWND hwndParent, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                            PSP_DRVINFO_DATA_A DriverInfoData, DWORD Flags, PBOOL NeedReboot);

#ifdef __cplusplus
}
#endif
