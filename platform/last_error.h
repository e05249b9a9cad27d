// The calling thread's last error, as kernel32 keeps it: every machine
// leaves its answer's error here, and the caller reads it with
// GetLastError.  On Windows it is the thread's own Win32 last error, which
// kernel32 itself sets (last_error_windows.cpp); elsewhere the platform
// layer keeps one per thread (last_error_posix.cpp).
#pragma once

#include "platform/win32_types.h"

namespace platform {

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// Sets the last error and returns the failure value of the BOOL calls.
inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return kFalse;
}

}  // namespace platform
