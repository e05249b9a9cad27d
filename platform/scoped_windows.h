// A handle of Windows' that its owner closes (scoped.h).  A handle that
// holds nothing is null: an INVALID_HANDLE_VALUE is never kept.
#pragma once

#include "platform/scoped.h"
#include "platform/windows_api.h"

namespace platform {

// Closes, keeping the last error: a close on the way out of a failed call
// leaves the failure's own.
inline void CloseTheHandle(HANDLE handle) {
  const DWORD error = ::GetLastError();
  ::CloseHandle(handle);
  ::SetLastError(error);
}

using ScopedHandle = Scoped<HANDLE, nullptr, CloseTheHandle>;

}  // namespace platform
