#include "platform/last_error.h"

#include "platform/windows_api.h"

namespace platform {

// Every machine shares the thread's own Win32 last error, which kernel32
// sets when the Windows machine calls it.
DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD dwErrCode) { ::SetLastError(dwErrCode); }

}  // namespace platform
