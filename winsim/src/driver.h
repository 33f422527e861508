// The stand-in for the virtual serial port driver: each started port is a
// pseudo-terminal whose slave any serial program can open.
#pragma once

#include <functional>
#include <string>

namespace winsim {

// Starts serving "\\.\NAME" (idempotent); false when the terminal cannot be made.
// Port names compare without regard to case, as Windows device names do. Lock held.
bool driver_port_start_locked(const std::string &name);
// Stops serving it: the terminal and its link go; requests still pending on open
// handles end with ERROR_OPERATION_ABORTED. Lock held.
void driver_port_stop_locked(const std::string &name);
// Asked (lock held) when CreateFileA names a port that is not started: the device
// tree starts it when an installed device carries that port name. Returns the resolver
// it replaces, so that a test can put that one back.
using PortResolver = std::function<bool(const std::string &name)>;
PortResolver driver_set_resolver(PortResolver resolver);

}  // namespace winsim
