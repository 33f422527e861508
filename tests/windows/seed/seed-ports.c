/* Puts two device nodes of the Ports class into a Wine prefix, the same two that
 * ports.sh writes for the stand-in: a real serial port COM1 and a virtual port COM7
 * whose driver is not installed. Test data only; no product code. */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

static const GUID ports_class = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

static int set_text(HDEVINFO set, SP_DEVINFO_DATA *dev, DWORD property, const char *text, DWORD size)
{
    return SetupDiSetDeviceRegistryPropertyA(set, dev, property, (const BYTE *)text, size);
}

static int seed(const char *instance, const char *hardware_ids, DWORD ids_size, const char *friendly,
                const char *desc, const char *portname, const char *gateway)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&ports_class, NULL);
    SP_DEVINFO_DATA dev = {sizeof dev};
    HKEY key;
    int ok = set != INVALID_HANDLE_VALUE && SetupDiCreateDeviceInfoA(set, instance, &ports_class, desc, NULL, 0, &dev) &&
             set_text(set, &dev, SPDRP_HARDWAREID, hardware_ids, ids_size) &&
             (!friendly || set_text(set, &dev, SPDRP_FRIENDLYNAME, friendly, strlen(friendly) + 1)) &&
             set_text(set, &dev, SPDRP_DEVICEDESC, desc, strlen(desc) + 1) &&
             SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev);
    if (ok) {
        key = SetupDiCreateDevRegKeyA(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
        ok = key != INVALID_HANDLE_VALUE &&
             RegSetValueExA(key, "PortName", 0, REG_SZ, (const BYTE *)portname, strlen(portname) + 1) == 0 &&
             (!gateway || RegSetValueExA(key, "QorGatewayID", 0, REG_SZ, (const BYTE *)gateway, strlen(gateway) + 1) == 0);
        if (key != INVALID_HANDLE_VALUE)
            RegCloseKey(key);
    }
    if (!ok)
        printf("seeding %s failed (error %lu)\n", instance, GetLastError());
    if (set != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(set);
    return ok;
}

int main(void)
{
    static const char com1_ids[] = "ACPI\\PNP0501\0";
    static const char com7_ids[] = "Qor\\Vsp\0";
    int ok = seed("ACPI\\PNP0501\\1", com1_ids, sizeof com1_ids, "Communications Port (COM1)", "Communications Port",
                  "COM1", NULL) &&
             seed("ROOT\\PORTS\\0000", com7_ids, sizeof com7_ids, NULL, "Qor Virtual Serial Port", "COM7", "gw-01");
    return ok ? 0 : 1;
}
