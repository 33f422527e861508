// Installing the driver package: the local driver INF is handed to the system, which
// keeps a copy of it among its OEM INFs.
#include "addon/log.h"
#include "addon/sysmsg.h"
#include "driver_pkg.h"

BOOL local_driver_inf_path(char *exe_dir, char *path, const char **why)
{
    DWORD length = GetModuleFileNameA(NULL, exe_dir, 256);
    if (length == 0) {
        *why = NULL;  // the system's code tells
        return FALSE;
    }
    if (length >= 256) {
        *why = "the path of the running program does not fit in 255 characters";
        return FALSE;
    }
    PathRemoveFileSpecA(exe_dir);
    int written = snprintf(path, 256, "%s\\driver\\%s", exe_dir, DRIVER_INF_NAME);
    if (written < 0 || written >= 256) {
        *why = "the driver INF path does not fit in 255 characters";
        return FALSE;
    }
    return TRUE;
}

// The system's text for a failed step's code, or words for a code without one.
static void code_text(DWORD code, char *system_text)
{
    if (code == 0)
        snprintf(system_text, VSP_ERROR_TEXT_SIZE, "the system gave no error code");
    else if (system_message(code, system_text) == 0)
        snprintf(system_text, VSP_ERROR_TEXT_SIZE, "error %u", (unsigned)code);
}

// "[install_driver from inf(<path>) stepN fail]: <system text>", never cut: a system
// text that does not fit is named by its code instead.
static void step_error(char *error_text, const char *inf_path, int step, DWORD code)
{
    char system_text[VSP_ERROR_TEXT_SIZE];
    code_text(code, system_text);
    int written = snprintf(error_text, VSP_ERROR_TEXT_SIZE, "[install_driver from inf(%s) step%d fail]: %s", inf_path,
                           step, system_text);
    if (written < 0 || written >= VSP_ERROR_TEXT_SIZE)
        snprintf(error_text, VSP_ERROR_TEXT_SIZE, "[install_driver from inf(%s) step%d fail]: error %u", inf_path,
                 step, (unsigned)code);
}

BOOL install_driver(char *error_text)
{
    char exe_dir[256];
    char inf_path[256];
    const char *why = NULL;
    if (!local_driver_inf_path(exe_dir, inf_path, &why)) {
        // Without the program's path there is no INF path to name either.
        char system_text[VSP_ERROR_TEXT_SIZE];
        DWORD code = GetLastError();
        if (why == NULL) {
            code_text(code, system_text);
            why = system_text;
        }
        int written = snprintf(error_text, VSP_ERROR_TEXT_SIZE, "[install_driver step1 fail]: %s", why);
        if (written < 0 || written >= VSP_ERROR_TEXT_SIZE)
            snprintf(error_text, VSP_ERROR_TEXT_SIZE, "[install_driver step1 fail]: error %u", (unsigned)code);
        vsp_log("GetFullPathName %s\n", error_text);
        return FALSE;
    }

    char full_path[260];
    LPSTR file_part = NULL;
    DWORD length = GetFullPathNameA(inf_path, 260, full_path, &file_part);
    if (length == 0 || length >= 260) {
        step_error(error_text, inf_path, 1, GetLastError());
        vsp_log("GetFullPathName %s\n", error_text);
        return FALSE;
    }
    vsp_log("GetFullPathName for inf(%s) OK: %s\n", inf_path, full_path);

    if (!SetCurrentDirectoryA(exe_dir)) {
        step_error(error_text, inf_path, 2, GetLastError());
        vsp_log("SetCurrentDirectory %s\n", error_text);
        return FALSE;
    }
    vsp_log("SetCurrentDirectory for inf(%s) OK: %s\n", inf_path, full_path);

    char destination[260];
    LPSTR destination_name = NULL;
    if (!SetupCopyOEMInfA(full_path, NULL, SPOST_PATH, 0, destination, 260, NULL, &destination_name)) {
        step_error(error_text, inf_path, 3, GetLastError());
        vsp_log("SetupCopyOEMInf %s\n", error_text);
        return FALSE;
    }
    vsp_log("SetupCopyOEMInf ok, dest=%s\n", destination_name ? destination_name : destination);
    return TRUE;
}
