// The Node.js module: its registration while the library loads, its exports, and
// vsp_init, which starts the port service.
#include "identity.h"
#include "js_api.h"
#include "log.h"
#include "service.h"
#include "sysmsg.h"

#ifdef _WIN32
#include <delayimp.h>
#endif

static napi_value register_exports(napi_env env, napi_value exports);

// Constant-initialised: it is read while the library loads, before any constructor runs.
static napi_module portbridge_module = {
    1,                   // nm_version
    0,                   // nm_flags
    "portbridge.cpp",    // nm_filename
    register_exports,    // nm_register_func
    "portbridge",        // nm_modname
    NULL,                // nm_priv
    {NULL, NULL, NULL, NULL},
};

extern "C" void register_module(void) { napi_module_register(&portbridge_module); }

// The one exported symbol. Its place among the library's initialisers is what makes
// register_module run while the library loads.
#ifdef _WIN32
extern "C" {
__attribute__((section(".CRT$XCU"), used)) void (*_register_portbridge_)(void) = register_module;
}

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
#else
extern "C" {
__attribute__((section(".init_array"), used, visibility("default"))) void (*_register_portbridge_)(void) =
    register_module;
}
#endif

napi_value js_string_result(napi_env env, const char *answer)
{
    napi_value value;
    if (napi_create_string_utf8(env, answer, NAPI_AUTO_LENGTH, &value) != napi_ok)
        return NULL;
    return value;
}

static napi_value register_exports(napi_env env, napi_value exports)
{
    static const struct {
        const char *name;
        napi_callback function;
    } functions[] = {
        {"vsp_init", vsp_init},
        {"vsp_install_driver", vsp_install_driver},
        {"vsp_need_install_driver", vsp_need_install_driver},
    };
    for (const auto &f : functions) {
        napi_value value;
        if (napi_create_function(env, NULL, 0, f.function, NULL, &value) != napi_ok)
            return NULL;
        if (napi_set_named_property(env, exports, f.name, value) != napi_ok)
            return NULL;
    }
    return exports;
}

// One service thread per process: the channel table, the pipe and the wait set are
// process-wide and belong to it alone.
static volatile LONG service_started;

napi_value vsp_init(napi_env env, napi_callback_info info)
{
    (void)info;
    char answer[VSP_ERROR_TEXT_SIZE];
    answer[0] = '\0';
    HANDLE mutex = CreateMutexA(NULL, FALSE, VSP_MUTEX_NAME);
    if (mutex == NULL) {
        DWORD code = GetLastError();
        vsp_log("create Mutex(QorVspMutex) FAIL, error_code = %u\n", (unsigned)code);
        if (system_message(code, answer) == 0)
            snprintf(answer, sizeof answer, "create Mutex(QorVspMutex) FAIL, error_code = %u", (unsigned)code);
        return js_string_result(env, answer);
    }
    vsp_log("create Mutex(QorVspMutex) OK\n");
    if (InterlockedCompareExchange(&service_started, 1, 0) != 0) {
        vsp_log("service thread already running\n");
        return js_string_result(env, answer);
    }
    DWORD thread_id;
    HANDLE thread = CreateThread(NULL, 1024, service_thread, NULL, 0, &thread_id);
    if (thread == NULL) {
        DWORD code = GetLastError();
        InterlockedExchange(&service_started, 0);
        if (system_message(code, answer) == 0)
            snprintf(answer, sizeof answer, "CreateThread failed, error_code = %u", (unsigned)code);
    }
    return js_string_result(env, answer);
}
