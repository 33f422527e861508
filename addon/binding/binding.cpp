// The earlier build of the module: registered as "binding", with the one JavaScript
// function hello, which starts the port service.
#include "addon/js_api.h"
#include "addon/service.h"

static napi_value register_exports(napi_env env, napi_value exports);

// Constant-initialised: it is read while the library loads, before any constructor runs.
static napi_module binding_module = {
    1,                   // nm_version
    0,                   // nm_flags
    "hello",             // nm_filename
    register_exports,    // nm_register_func
    "binding",           // nm_modname
    NULL,                // nm_priv
    {NULL, NULL, NULL, NULL},
};

extern "C" void register_module(void) { napi_module_register(&binding_module); }

// The one exported symbol; see portbridge.cpp for why it is an initialiser.
#ifdef _WIN32
extern "C" {
__attribute__((section(".CRT$XCU"), used)) void (*_register_binding_)(void) = register_module;
}
#else
extern "C" {
__attribute__((section(".init_array"), used, visibility("default"))) void (*_register_binding_)(void) =
    register_module;
}
#endif

// Starts the service unless it runs already, and answers "world" whatever came of it.
static napi_value hello(napi_env env, napi_callback_info info)
{
    (void)info;
    service_start();
    return js_string_result(env, "world");
}

static napi_value register_exports(napi_env env, napi_value exports)
{
    napi_value value;
    if (napi_create_function(env, NULL, 0, hello, NULL, &value) != napi_ok)
        return NULL;
    if (napi_set_named_property(env, exports, "hello", value) != napi_ok)
        return NULL;
    return exports;
}
