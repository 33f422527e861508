// portctl: puts the virtual serial port driver package on the machine, or takes it off
// entirely: every virtual port device first, then every installed copy of the package.
#include "addon/identity.h"
#include "addon/log.h"
#include "addon/port_enum.h"
#include "addon/sysmsg.h"
#include "driver_pkg/driver_pkg.h"

static int uninstall_success_count;
static int uninstall_fail_count;

static BOOL remove_driver_callback(const char *inf_path, const char *date, const char *version)
{
    vsp_log("will uninstall driver for inf_file: %s, version: %s %s\n", inf_path, date, version);
    char full_path[260];
    LPSTR file_part = NULL;
    DWORD length = GetFullPathNameA(inf_path, sizeof full_path, full_path, &file_part);
    if (length == 0 || length >= sizeof full_path || file_part == NULL) {
        uninstall_fail_count++;
        vsp_log("remove_driver_callback, GetFullPathName fail, inf_file(%s)\n", inf_path);
        return FALSE;
    }
    if (SetupUninstallOEMInfA(file_part, SUOI_FORCEDELETE, NULL)) {
        vsp_log("remove_driver_callback, uninstall driver ok, inf_file(%s)\n", full_path);
        uninstall_success_count++;
        return TRUE;
    }
    DWORD code = GetLastError();
    vsp_log("SetupUninstallOEMInf fail, error_code=%d\n", (int)code);
    if (code == ERROR_INF_IN_USE_BY_DEVICES)
        vsp_log("ERROR_INF_IN_USE_BY_DEVICES\n");
    else if (code == ERROR_NOT_AN_INSTALLED_OEM_INF)
        vsp_log("ERROR_NOT_AN_INSTALLED_OEM_INF\n");
    uninstall_fail_count++;
    return FALSE;
}

static void uninstall_driver(void)
{
    vsp_log("begin uninstall_driver\n");
    uninstall_success_count = 0;
    uninstall_fail_count = 0;
    int tried = enum_driver(remove_driver_callback);
    vsp_log("end uninstall_driver, try uninstall %d driver(success: %d, fail: %d)\n", tried, uninstall_success_count,
            uninstall_fail_count);
}

static void install_command(void)
{
    char error_text[VSP_ERROR_TEXT_SIZE];
    vsp_log("----- begin install vsp driver ---------");
    if (install_driver(error_text))
        vsp_log("----- success install vsp driver ---------");
    else
        vsp_log("----- fail install vsp driver: %s ---------", error_text);
}

static void uninstall_command(void)
{
    vsp_log("----- begin uninstall vsp driver ---------");
    vsp_log("will enum port for remove all ports\n");
    enum_ports(VSP_HARDWARE_ID, NULL, remove_one_port);
    uninstall_driver();
    vsp_log("----- end uninstall vsp driver ---------");
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        vsp_log("portctl usage:\n portctl install: install vsp driver \n portctl uninstall: uninstall vsp driver \n");
        return -1;
    }
    if (strcmp(argv[1], "install") == 0) {
        install_command();
        return 0;
    }
    if (strcmp(argv[1], "uninstall") == 0) {
        uninstall_command();
        return 0;
    }
    vsp_log("portctl usage:\n portctl install: install vsp driver \n portctl uninstall: uninstall vsp driver \n");
    return -2;
}
