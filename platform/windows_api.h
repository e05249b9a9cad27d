// <windows.h>, for the files of the platform layer that call Windows
// themselves, and the proof that the layer's own types and codes
// (win32_types.h, win32_errors.h) are windows.h's, so that kernel32's
// arguments pass between the two unchanged.
#pragma once

#ifndef _WIN32
#error "windows_api.h is for the Windows build only"
#endif

// Windows 7 is the oldest with SetThreadErrorMode.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <type_traits>

#include "platform/win32_errors.h"
#include "platform/win32_types.h"

static_assert(std::is_same_v<platform::BOOL, ::BOOL>);
static_assert(std::is_same_v<platform::DWORD, ::DWORD>);
static_assert(std::is_same_v<platform::HANDLE, ::HANDLE>);
static_assert(std::is_same_v<platform::UINT, ::UINT>);
static_assert(std::is_same_v<platform::ULONGLONG, ::ULONGLONG>);
static_assert(std::is_same_v<platform::WCHAR, ::WCHAR>);
static_assert(platform::kFalse == FALSE && platform::kTrue == TRUE);
static_assert(platform::kMaxPath == MAX_PATH);
static_assert(platform::kErrorSuccess == ERROR_SUCCESS);
static_assert(platform::kErrorInvalidFunction == ERROR_INVALID_FUNCTION);
static_assert(platform::kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(platform::kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(platform::kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(platform::kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(platform::kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(platform::kErrorNoMoreFiles == ERROR_NO_MORE_FILES);
static_assert(platform::kErrorNotReady == ERROR_NOT_READY);
static_assert(platform::kErrorBadLength == ERROR_BAD_LENGTH);
static_assert(platform::kErrorGenFailure == ERROR_GEN_FAILURE);
static_assert(platform::kErrorNotSupported == ERROR_NOT_SUPPORTED);
static_assert(platform::kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(platform::kErrorSemTimeout == ERROR_SEM_TIMEOUT);
static_assert(platform::kErrorInvalidName == ERROR_INVALID_NAME);
static_assert(platform::kErrorDirNotRoot == ERROR_DIR_NOT_ROOT);
static_assert(platform::kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE);
static_assert(platform::kErrorMoreData == ERROR_MORE_DATA);
static_assert(platform::kErrorArithmeticOverflow == ERROR_ARITHMETIC_OVERFLOW);
static_assert(platform::kErrorIoDevice == ERROR_IO_DEVICE);
static_assert(platform::kErrorTimeout == ERROR_TIMEOUT);
static_assert(platform::kErrorInternalError == ERROR_INTERNAL_ERROR);
static_assert(platform::kErrorBadConfiguration == ERROR_BAD_CONFIGURATION);
static_assert(platform::kDriveUnknown == DRIVE_UNKNOWN);
static_assert(platform::kDriveNoRootDir == DRIVE_NO_ROOT_DIR);
static_assert(platform::kDriveRemovable == DRIVE_REMOVABLE);
static_assert(platform::kDriveFixed == DRIVE_FIXED);
static_assert(platform::kDriveRemote == DRIVE_REMOTE);
static_assert(platform::kDriveCdrom == DRIVE_CDROM);
static_assert(platform::kDriveRamdisk == DRIVE_RAMDISK);
static_assert(platform::kFileCaseSensitiveSearch == FILE_CASE_SENSITIVE_SEARCH);
static_assert(platform::kFileCasePreservedNames == FILE_CASE_PRESERVED_NAMES);
static_assert(platform::kFileUnicodeOnDisk == FILE_UNICODE_ON_DISK);
static_assert(platform::kFileReadOnlyVolume == FILE_READ_ONLY_VOLUME);
