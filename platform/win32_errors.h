// The Win32 error codes that the platform layer's calls leave as their last
// error, under names that no macro of windows.h can reach.
#pragma once

#include "platform/win32_types.h"

namespace platform {

inline constexpr DWORD kErrorSuccess = 0;
inline constexpr DWORD kErrorInvalidFunction = 1;
inline constexpr DWORD kErrorFileNotFound = 2;
inline constexpr DWORD kErrorPathNotFound = 3;
inline constexpr DWORD kErrorAccessDenied = 5;
inline constexpr DWORD kErrorInvalidHandle = 6;
inline constexpr DWORD kErrorNotEnoughMemory = 8;
inline constexpr DWORD kErrorNoMoreFiles = 18;
inline constexpr DWORD kErrorNotReady = 21;
inline constexpr DWORD kErrorBadLength = 24;
inline constexpr DWORD kErrorGenFailure = 31;
inline constexpr DWORD kErrorNotSupported = 50;
inline constexpr DWORD kErrorInvalidParameter = 87;
inline constexpr DWORD kErrorSemTimeout = 121;
inline constexpr DWORD kErrorInvalidName = 123;
inline constexpr DWORD kErrorDirNotRoot = 144;
inline constexpr DWORD kErrorFilenameExcedRange = 206;
inline constexpr DWORD kErrorMoreData = 234;
inline constexpr DWORD kErrorArithmeticOverflow = 534;
inline constexpr DWORD kErrorIoDevice = 1117;
inline constexpr DWORD kErrorTimeout = 1460;
inline constexpr DWORD kErrorInternalError = 1359;
inline constexpr DWORD kErrorBadConfiguration = 1610;

}  // namespace platform
