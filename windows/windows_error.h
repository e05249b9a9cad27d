// How a failed kernel32 call becomes WindowsError: through the sibling
// module windows.winwrap's RaiseWindowsError, which start-up locates.
#pragma once

#include <Python.h>

#include "platform/kernel32.h"

namespace volumes {

// Start-up: imports windows.winwrap and takes RaiseWindowsError from its
// capsule; ImportError when the capsule does not provide it.
void LocateRaiseWindowsError();

// Calls RaiseWindowsError with the code that GetLastError gave right after
// the failed call, and throws the WindowsError it raises.  Should it return
// without raising, SystemError is raised instead, so that no caller carries
// on as if the call had succeeded.
[[noreturn]] void RaiseWindowsError(platform::DWORD error_code);

}  // namespace volumes
