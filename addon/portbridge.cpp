// The Node.js module: its registration while the library loads, its exports, and
// vsp_init, which starts the port service.
#include "identity.h"
#include "js_api.h"
#include "log.h"
#include "service.h"
#include "sysmsg.h"

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
#else
extern "C" {
__attribute__((section(".init_array"), used, visibility("default"))) void (*_register_portbridge_)(void) =
    register_module;
}
#endif

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
    switch (service_start()) {
    case SERVICE_STARTED:
        break;
    case SERVICE_ALREADY_RUNNING:
        vsp_log("service thread already running\n");
        break;
    case SERVICE_START_FAILED: {
        DWORD code = GetLastError();
        if (system_message(code, answer) == 0)
            snprintf(answer, sizeof answer, "CreateThread failed, error_code = %u", (unsigned)code);
        break;
    }
    }
    return js_string_result(env, answer);
}
