// The system's message text for an error code, as every caller that reports an error
// in words gives it.
#pragma once

#include "platform/platform.h"

#define VSP_ERROR_TEXT_SIZE 1024

// Writes the system's text for `code` (line end included) into `buf` of
// VSP_ERROR_TEXT_SIZE bytes when `code` is not 0. Returns the length written; 0 when
// nothing was written, in which case `buf` keeps what it held.
DWORD system_message(DWORD code, char *buf);
