/* Does SetupCopyOEMInfA give the copy an "oemN.inf" name in the INF folder? Uses an INF
 * of its own (its own provider and class), and removes the copy again. */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

static const char inf_text[] =
    "[Version]\r\n"
    "Signature = \"$WINDOWS NT$\"\r\n"
    "Class = CopyProbe\r\n"
    "ClassGuid = {2F6B5E7A-1D3C-4E8B-9A0F-5C4D3B2A1908}\r\n"
    "Provider = Copy Probe\r\n"
    "DriverVer = 01/01/2020,1.0.0.0\r\n";

int main(void)
{
    char folder[MAX_PATH], path[MAX_PATH];
    if (!GetTempPathA(sizeof folder, folder) || !GetTempFileNameA(folder, "cpy", 0, path)) {
        printf("gap: no temporary file (error %lu)\n", GetLastError());
        return 0;
    }
    DeleteFileA(path);
    strcat(path, ".inf");
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, inf_text, sizeof inf_text - 1, &written, NULL)) {
        printf("gap: cannot write %s (error %lu)\n", path, GetLastError());
        return 0;
    }
    CloseHandle(file);

    char destination[MAX_PATH] = "";
    char *name = NULL;
    if (!SetupCopyOEMInfA(path, NULL, SPOST_NONE, 0, destination, sizeof destination, NULL, &name)) {
        printf("gap: SetupCopyOEMInfA fails (error %lu)\n", GetLastError());
        DeleteFileA(path);
        return 0;
    }
    if (name && _strnicmp(name, "oem", 3) == 0 && _stricmp(name + strlen(name) - 4, ".inf") == 0)
        printf("works: SetupCopyOEMInfA copied to %s\n", name);
    else
        printf("gap: SetupCopyOEMInfA keeps the INF's own file name (%s) instead of oemN.inf\n", name ? name : "");
    if (!name || !SetupUninstallOEMInfA(name, SUOI_FORCEDELETE, NULL))
        DeleteFileA(destination);
    DeleteFileA(path);
    return 0;
}
