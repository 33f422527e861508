// shlwapi path helpers.
#pragma once

#include "winsim/base.h"

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI PathRemoveFileSpecA(LPSTR pszPath);

#ifdef __cplusplus
}
#endif
