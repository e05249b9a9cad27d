// errno as the Win32 error code that kernel32 would report for it.
#pragma once

#include <cerrno>

#include "platform/win32_errors.h"
#include "platform/win32_types.h"

namespace platform {

inline DWORD Win32ErrorFromErrno(int error, bool is_directory = false) {
  switch (error) {
    case 0: return kErrorSuccess;
    case ENOENT: return is_directory ? kErrorPathNotFound : kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EINVAL: return kErrorInvalidParameter;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case ENOSYS:
    case EOPNOTSUPP: return kErrorNotSupported;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
    // A FUSE daemon that died ("Transport endpoint is not connected"), an
    // NFS server that went away or forgot the file.
    case ENOTCONN:
    case ESTALE:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETUNREACH: return kErrorNotReady;
    case ETIMEDOUT: return kErrorSemTimeout;
    case EIO: return kErrorIoDevice;
    case EOVERFLOW: return kErrorArithmeticOverflow;
    default: return kErrorGenFailure;
  }
}

}  // namespace platform
