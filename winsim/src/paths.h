// Windows paths on the Linux host. Drive C: is the folder drive_c under the root (the
// Windows directory is C:\windows there); Z: is the host's "/", so that a program
// outside the root still has a Windows path. Other drives are drive_<letter> folders.
#pragma once

#include <string>

namespace winsim {

// "C:\windows\INF\OEM3.INF" -> "<root>/drive_c/windows/inf/oem3.inf": each existing
// component is matched without regard to case; missing ones are kept as written.
// Relative paths are taken from the current directory. Lock held.
std::string to_host_path(const std::string &windows_path);
// The Windows path of a host path ("/usr/bin/node" -> "Z:\usr\bin\node"). Lock held.
std::string to_windows_path(const std::string &host_path);
// "C:\windows" and the host folder of "C:\windows\INF" (created on first use).
std::string windows_dir();
std::string inf_dir_host();
// Case-insensitive wildcard match of one name against a pattern with * and ?.
bool wildcard_match(const std::string &pattern, const std::string &name);

}  // namespace winsim
