/* Does DiInstallDevice exist as a working function? Called with no device it must
 * fail with an error code; an unimplemented stub ends the process instead, which the
 * caller sees as this program's abnormal exit status. No device is touched. */
#include <windows.h>
#include <stdio.h>

typedef BOOL(WINAPI *install_fn)(HWND, void *, void *, void *, DWORD, BOOL *);

int main(void)
{
    HMODULE newdev = LoadLibraryA("newdev.dll");
    if (!newdev) {
        printf("gap: newdev.dll does not load (error %lu)\n", GetLastError());
        return 0;
    }
    install_fn install = (install_fn)GetProcAddress(newdev, "DiInstallDevice");
    if (!install) {
        printf("gap: newdev.dll has no DiInstallDevice\n");
        return 0;
    }
    fflush(stdout);
    BOOL ok = install(NULL, NULL, NULL, NULL, 0, NULL);
    printf("works: DiInstallDevice returned %d with error %lu\n", ok, GetLastError());
    return 0;
}
