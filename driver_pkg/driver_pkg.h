// The driver package: installing it from the INF beside the running program, and
// finding the installed copies of it among the system's OEM INFs.
#pragma once

#include "platform/platform.h"

#define DRIVER_INF_NAME "qorvsp.inf"
#define DRIVER_PROVIDER "Tavik Tech"
#define PORTS_CLASS_GUID_TEXT "{4D36E978-E325-11CE-BFC1-08002BE10318}"

// Builds "<folder of the running program>\driver\qorvsp.inf" into `path` (256 bytes),
// leaving the folder in `exe_dir` (256 bytes). FALSE, with a reason in `why`, when a
// path does not fit its buffer: a cut path would name another file. FALSE with `why`
// null when the system cannot give the program's path; its last error tells why.
BOOL local_driver_inf_path(char *exe_dir, char *path, const char **why);

// Hands the local driver INF to the system. On failure `error_text` (1024 bytes) says
// which step failed and why.
BOOL install_driver(char *error_text);

// Per-INF action of enum_driver: the installed copy's path, driver date and version.
typedef BOOL (*driver_action)(const char *inf_path, const char *date, const char *version);

// Hands every installed copy of the package to `action`; returns how many.
int enum_driver(driver_action action);

// Compares an installed copy with the local driver INF; TRUE (and need_update set)
// when date or version differ.
BOOL get_driver_version(const char *inf_path, const char *date, const char *version);
extern unsigned char need_update;
