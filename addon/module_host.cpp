// What every build of the module needs from its host: Node-API bound to the executable
// that loaded it, and the one way its JavaScript functions hand their answers back.
#include "js_api.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <delayimp.h>

// Node-API is imported from "node.exe" and bound at first use; answering that name
// with the process's own executable makes the module work in any host that embeds
// Node.js, whatever its file is called.
static FARPROC WINAPI load_hook(unsigned notify, PDelayLoadInfo info)
{
    if (notify == dliNotePreLoadLibrary && _stricmp(info->szDll, "node.exe") == 0)
        return (FARPROC)GetModuleHandleA(NULL);
    return NULL;
}
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = load_hook;
}
#endif

napi_value js_string_result(napi_env env, const char *answer)
{
    napi_value value;
    if (napi_create_string_utf8(env, answer, NAPI_AUTO_LENGTH, &value) != napi_ok)
        return NULL;
    return value;
}
