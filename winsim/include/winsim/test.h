// What tests (and only tests) use to steer and inspect the stand-in: fault injection,
// the record of calls, the stand-in driver's ports and the root directory.
#pragma once

#include <string>
#include <vector>

#include "winsim/winsim.h"

namespace winsim {

// The next `times` calls of `function` (its Windows name, e.g. "CreateNamedPipeA"),
// after `skip` calls that still succeed, fail with `error`: the function returns its
// failure value and sets the last error (registry functions return the error as status).
// Faults can also be given to a process through the environment variable
// VSP_SIM_FAULTS: "Function:error[:times[:skip]]" entries separated by commas,
// error in decimal or 0x hex.
void fail_next(const char *function, DWORD error, unsigned times = 1, unsigned skip = 0);
void clear_faults();

// Calls of stand-in functions are recorded with the handle each was given first (null
// when it takes none), in call order, from the first clear_calls() of the process on:
// a process that never asks keeps no record.
struct Call {
    std::string function;
    HANDLE handle;
};
std::vector<Call> calls();
size_t call_count(const char *function);
std::vector<HANDLE> handles_passed_to(const char *function);
void clear_calls();

// The folder that holds the stand-in's state: the pipes, the device tree, the INF
// folder, the ports' terminals. VSP_SIM_ROOT, or /tmp/vsp-sim-<uid> when unset.
std::string root();
// Points the stand-in at another root (tests use a fresh one each).
void set_root(const std::string &path);

// The stand-in driver. A port that is started answers CreateFileA("\\.\NAME"); its
// pseudo-terminal's slave is linked at <root>/dev/NAME.
bool port_start(const char *name);
bool port_stop(const char *name);
std::string port_terminal(const char *name);  // the slave's path, "" when not started
// The last status byte the port was given, -1 when none yet.
int port_status(const char *name);
// While held, the port's overlapped WRITE and STATUS requests go pending instead of
// completing at once (their input is still copied at issue); closing the handle that
// issued them, CancelIoEx and port_stop abort them. Releasing the hold completes the
// held ones in issue order with success. False when the port is not started.
bool port_hold_requests(const char *name, bool hold);
// Number of handles the layer holds open right now (events, files, pipes, ...).
size_t open_handle_count();

}  // namespace winsim
