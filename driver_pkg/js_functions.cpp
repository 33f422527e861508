// The driver package's two JavaScript functions.
#include "addon/js_api.h"
#include "addon/log.h"
#include "addon/sysmsg.h"
#include "driver_pkg.h"

napi_value vsp_install_driver(napi_env env, napi_callback_info info)
{
    (void)info;
    char answer[VSP_ERROR_TEXT_SIZE];
    if (install_driver(answer))
        answer[0] = '\0';
    return js_string_result(env, answer);
}

napi_value vsp_need_install_driver(napi_env env, napi_callback_info info)
{
    (void)info;
    vsp_log("begin check_need_install_driver\n");
    need_update = 0;
    if (enum_driver(get_driver_version) == 0) {
        need_update = 1;
        vsp_log("driver not installed, need install it\n");
    } else if (need_update) {
        vsp_log("driver has installed, but need update it\n");
    }
    vsp_log("end check_need_install_driver\n");
    return js_string_result(env, need_update ? "1" : "0");
}
