#include "platform/last_error.h"

#include "platform/win32_errors.h"

namespace platform {
namespace {
thread_local DWORD last_error = kErrorSuccess;
}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

}  // namespace platform
