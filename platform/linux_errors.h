// errno as the Win32 error code that kernel32 would report for it.
#pragma once

#include <cerrno>

#include "platform/kernel32.h"

namespace platform {

inline DWORD Win32ErrorFromErrno(int error, bool is_directory = false) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return is_directory ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM: return ERROR_NOT_READY;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case EIO: return ERROR_IO_DEVICE;
    case EOVERFLOW: return ERROR_ARITHMETIC_OVERFLOW;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace platform
