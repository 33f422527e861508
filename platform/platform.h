// The one place that chooses the platform: the real Windows headers when building for
// Windows, the Linux stand-in layer otherwise. Product code includes only this.
#pragma once

#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>
#include <setupapi.h>
#include <devguid.h>
#include <newdev.h>
#include <shlwapi.h>
#include <winioctl.h>
#include <stdio.h>
#include <string.h>
// The product bounds its copies itself where it uses the CRT's string functions, so
// strsafe.h is kept from marking those as deprecated.
#define STRSAFE_NO_DEPRECATE
#include <strsafe.h>
#else
#include <stdio.h>
#include <string.h>
#include "winsim/winsim.h"
#endif
