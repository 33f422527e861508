// Finding the installed copies of the driver package, and telling whether the local
// package differs from them.
#include "addon/log.h"
#include "driver_pkg.h"

#define FIELD_SIZE 4096

unsigned char need_update;

// Reads field `index` of the first `key` line of [Version]; FALSE when either is missing.
static BOOL version_field(HINF inf, const char *key, DWORD index, char *buf)
{
    INFCONTEXT line;
    return SetupFindFirstLineA(inf, "Version", key, &line) &&
           SetupGetStringFieldA(&line, index, buf, FIELD_SIZE, NULL);
}

int enum_driver(driver_action action)
{
    int count = 0;
    char pattern[260];
    if (GetWindowsDirectoryA(pattern, sizeof pattern) == 0 ||
        FAILED(StringCchCatA(pattern, sizeof pattern, "\\INF\\OEM*.INF"))) {
        vsp_log("enum_driver failed step1: ecode=%u\n", (unsigned)GetLastError());
        return 0;
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;

    char field[FIELD_SIZE];
    char date[FIELD_SIZE];
    char version[FIELD_SIZE];
    do {
        UINT error_line;
        HINF inf = SetupOpenInfFileA(found.cFileName, NULL, INF_STYLE_WIN4, &error_line);
        if (inf == INVALID_HANDLE_VALUE)
            continue;
        INFCONTEXT line;
        if (!version_field(inf, "Provider", 1, field) || strcmp(field, DRIVER_PROVIDER) != 0 ||
            !version_field(inf, "ClassGUID", 1, field) || strcmp(field, PORTS_CLASS_GUID_TEXT) != 0 ||
            !SetupFindFirstLineA(inf, "Version", "DriverVer", &line)) {
            SetupCloseInfFile(inf);
            continue;
        }
        // A field that cannot be read reaches the action as the empty text.
        if (!SetupGetStringFieldA(&line, 1, date, FIELD_SIZE, NULL)) {
            date[0] = '\0';
            vsp_log("get date fail\n");
        }
        if (!SetupGetStringFieldA(&line, 2, version, FIELD_SIZE, NULL)) {
            version[0] = '\0';
            vsp_log("get version fail\n");
        }
        char path[260];
        GetWindowsDirectoryA(path, sizeof path);
        StringCchCatA(path, sizeof path, "\\INF\\");
        StringCchCatA(path, sizeof path, found.cFileName);
        // The setup program's action uninstalls this very file: it must be closed first.
        SetupCloseInfFile(inf);
        action(path, date, version);
        count++;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

BOOL get_driver_version(const char *inf_path, const char *date, const char *version)
{
    (void)inf_path;
    char exe_dir[256];
    char local_path[256];
    const char *why = NULL;
    if (!local_driver_inf_path(exe_dir, local_path, &why)) {
        vsp_log("GetFullPathName fail\n");
        return FALSE;
    }
    char full_path[260];
    LPSTR file_part = NULL;
    DWORD length = GetFullPathNameA(local_path, 260, full_path, &file_part);
    if (length == 0 || length >= 260) {
        vsp_log("GetFullPathName fail\n");
        return FALSE;
    }
    vsp_log("GetFullPathName for inf(%s) OK: %s\n", local_path, full_path);

    UINT error_line;
    HINF inf = SetupOpenInfFileA(local_path, NULL, INF_STYLE_WIN4, &error_line);
    if (inf == INVALID_HANDLE_VALUE) {
        vsp_log("get_driver_version fail for inf(%s)\n", local_path);
        return FALSE;
    }
    char local_date[FIELD_SIZE];
    char local_version[FIELD_SIZE];
    INFCONTEXT line;
    BOOL readable = FALSE;
    if (SetupFindFirstLineA(inf, "Version", "DriverVer", &line)) {
        if (!SetupGetStringFieldA(&line, 1, local_date, FIELD_SIZE, NULL))
            vsp_log("get date fail\n");
        else if (!SetupGetStringFieldA(&line, 2, local_version, FIELD_SIZE, NULL))
            vsp_log("get version fail\n");
        else
            readable = TRUE;
    }
    SetupCloseInfFile(inf);
    if (!readable) {
        vsp_log("get_driver_version fail for inf(%s)\n", local_path);
        return FALSE;
    }
    vsp_log("get_driver_version ok for inf(%s), version: %s %s\n", local_path, local_date, local_version);
    if (strcmp(date, local_date) != 0) {
        vsp_log("date not same, local driver date: %s, installed driver date: %s\n", local_date, date);
        need_update = 1;
        return TRUE;
    }
    if (strcmp(version, local_version) != 0) {
        vsp_log("version not same, local driver version: %s, installed driver version: %s\n", local_version,
                version);
        need_update = 1;
        return TRUE;
    }
    return FALSE;
}
