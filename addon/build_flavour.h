// What tells the two builds of the port service apart. `portbridge` is the module the
// application loads; `binding` is its earlier build, compiled from the same sources
// with VSP_FLAVOUR_BINDING defined. Every way in which `binding` behaves differently
// is named here, or is one of the files listed under "binding's own" in
// addon/CMakeLists.txt; the service code asks these names and never the build.
#pragma once

#include "log.h"
#include "platform/platform.h"

#ifdef VSP_FLAVOUR_BINDING

// Its virtual ports carry another hardware ID; "Qor\Vsp" devices are not its own.
#define VSP_HARDWARE_ID "UMDF\\VirtualSerial2um"
// A device whose key, port name or hardware IDs cannot be read is passed over and the
// walk goes on; a walk fails only when the device list cannot be had.
#define VSP_WALK_SKIPS_UNREADABLE_DEVICES 1
// Start-up logs its end line after every walk.
#define VSP_END_LINE_AFTER_ANY_WALK 1
// Device keys are opened for reading and writing.
#define VSP_DEVKEY_ACCESS (KEY_READ | KEY_WRITE)
#define VSP_LOG_WILL_REMOVE "will remove port: %s\n"
// Answers carry their error code only: "error_msg" is always empty.
#define VSP_ANSWERS_CARRY_TEXT 0
// A remove_port_req that names a channel answers 0, whether or not there was a port
// on it and whatever the walk over the devices gave.
#define VSP_REMOVE_FAILURE_CODE 0

static inline void vsp_log_devkey_open_fail(void) { vsp_log("SetupDiOpenDevRegKey fail\n"); }
static inline void vsp_log_remove_fail(void) { vsp_log("remove fail 2\n"); }
// A frame written to the pipe client: nothing when the write was done at once, one
// line without its end when it was not (a write left pending counts as not done).
static inline void vsp_log_app_write(BOOL written)
{
    if (!written)
        vsp_log("send_msg_to_app, WriteFile fail");
}

#else  // portbridge

#define VSP_HARDWARE_ID "Qor\\Vsp"
#define VSP_WALK_SKIPS_UNREADABLE_DEVICES 0
#define VSP_END_LINE_AFTER_ANY_WALK 0
#define VSP_DEVKEY_ACCESS KEY_READ
#define VSP_LOG_WILL_REMOVE "will remove one port: %s\n"
#define VSP_ANSWERS_CARRY_TEXT 1
#define VSP_REMOVE_FAILURE_CODE 1

static inline void vsp_log_devkey_open_fail(void)
{
    vsp_log("SetupDiOpenDevRegKey fail, error_code=%u\n", (unsigned)GetLastError());
}
static inline void vsp_log_remove_fail(void) { vsp_log("remove fail: error_code=%d\n", (int)GetLastError()); }
static inline void vsp_log_app_write(BOOL written)
{
    if (written)
        vsp_log("send_msg_to_app, Write OK\n");
    else
        vsp_log("send_msg_to_app, WriteFile fail, error_no=%d\n", (int)GetLastError());
}

#endif
