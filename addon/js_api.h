// The module's JavaScript functions and the one way they hand their answers back.
#pragma once

#include <node_api.h>

// Makes a JavaScript string of a NUL-terminated 8-bit answer (the bytes are handed
// over unconverted). Returns null, which JavaScript receives as undefined, when
// Node-API cannot make the string.
napi_value js_string_result(napi_env env, const char *answer);

napi_value vsp_init(napi_env env, napi_callback_info info);
napi_value vsp_install_driver(napi_env env, napi_callback_info info);
napi_value vsp_need_install_driver(napi_env env, napi_callback_info info);
