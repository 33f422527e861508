// The Linux stand-in for the Windows interfaces that the service, the driver package
// functions and the setup program call. Same names, types, constants and error codes.
#pragma once

#include "winsim/base.h"
#include "winsim/kernel32.h"
#include "winsim/registry.h"
#include "winsim/setupapi.h"
#include "winsim/newdev.h"
#include "winsim/shlwapi.h"
#include "winsim/strsafe.h"

// GUID_DEVCLASS_PORTS, {4D36E978-E325-11CE-BFC1-08002BE10318}.
static const GUID GUID_DEVCLASS_PORTS = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
