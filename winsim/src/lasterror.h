// The last-error rule of SetupAPI and newdev: a call that succeeds sets the thread's
// last error to NO_ERROR, as Windows' do, so a caller must save a failing step's code
// before it makes any further such call (releasing a set included).
#pragma once

#include "winsim/winsim.h"

namespace winsim {

template <class T>
T succeed(T value)
{
    SetLastError(NO_ERROR);
    return value;
}

}  // namespace winsim
