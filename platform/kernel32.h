// The kernel32 volume functions, in kernel32's own shapes, on every platform.
//
// Module code calls platform::FindFirstVolumeW and friends exactly as it would
// call kernel32: UTF-16 buffers with lengths in characters, 32-bit unsigned
// numbers, handle values, BOOL results and a per-thread last error.  Which
// machine answers is decided here, at every call:
//   - VOLUMES_SIMULATION set to a non-empty path: the simulated machine
//     described by that file (see the README);
//   - otherwise the real machine: kernel32 itself on Windows, the mount table
//     on Linux.
//
// Nothing here knows about Python.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

#ifdef _WIN32
using ::BOOL;
using ::DWORD;
using ::HANDLE;
using ::UINT;
using ::ULONGLONG;
using ::WCHAR;
#else
using BOOL = int;
using DWORD = std::uint32_t;
using HANDLE = void*;
using UINT = unsigned int;
using ULONGLONG = std::uint64_t;
using WCHAR = char16_t;

inline constexpr BOOL FALSE = 0;
inline constexpr BOOL TRUE = 1;
inline constexpr DWORD MAX_PATH = 260;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_NO_MORE_FILES = 18;
inline constexpr DWORD ERROR_NOT_READY = 21;
inline constexpr DWORD ERROR_BAD_LENGTH = 24;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_DIR_NOT_ROOT = 144;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_ARITHMETIC_OVERFLOW = 534;
inline constexpr DWORD ERROR_IO_DEVICE = 1117;
inline constexpr DWORD ERROR_BAD_CONFIGURATION = 1610;

inline constexpr UINT DRIVE_UNKNOWN = 0;
inline constexpr UINT DRIVE_NO_ROOT_DIR = 1;
inline constexpr UINT DRIVE_REMOVABLE = 2;
inline constexpr UINT DRIVE_FIXED = 3;
inline constexpr UINT DRIVE_REMOTE = 4;
inline constexpr UINT DRIVE_CDROM = 5;
inline constexpr UINT DRIVE_RAMDISK = 6;

inline constexpr DWORD FILE_CASE_SENSITIVE_SEARCH = 0x00000001;
inline constexpr DWORD FILE_CASE_PRESERVED_NAMES = 0x00000002;
inline constexpr DWORD FILE_UNICODE_ON_DISK = 0x00000004;
inline constexpr DWORD FILE_READ_ONLY_VOLUME = 0x00080000;
#endif

// The invalid-handle value of FindFirstVolumeW: all bits set.
inline HANDLE InvalidHandleValue() {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

HANDLE FindFirstVolumeW(WCHAR* lpszVolumeName, DWORD cchBufferLength);
BOOL FindNextVolumeW(HANDLE hFindVolume, WCHAR* lpszVolumeName,
                     DWORD cchBufferLength);
BOOL FindVolumeClose(HANDLE hFindVolume);

BOOL GetVolumeInformationW(const WCHAR* lpRootPathName,
                           WCHAR* lpVolumeNameBuffer, DWORD nVolumeNameSize,
                           DWORD* lpVolumeSerialNumber,
                           DWORD* lpMaximumComponentLength,
                           DWORD* lpFileSystemFlags,
                           WCHAR* lpFileSystemNameBuffer,
                           DWORD nFileSystemNameSize);
BOOL GetVolumeInformationByHandleW(HANDLE hFile, WCHAR* lpVolumeNameBuffer,
                                   DWORD nVolumeNameSize,
                                   DWORD* lpVolumeSerialNumber,
                                   DWORD* lpMaximumComponentLength,
                                   DWORD* lpFileSystemFlags,
                                   WCHAR* lpFileSystemNameBuffer,
                                   DWORD nFileSystemNameSize);

BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* lpszVolumeName,
                                      WCHAR* lpszVolumePathNames,
                                      DWORD cchBufferLength,
                                      DWORD* lpcchReturnLength);

UINT GetDriveTypeW(const WCHAR* lpRootPathName);

// The three outputs are ULARGE_INTEGERs in kernel32; any may be null.
BOOL GetDiskFreeSpaceExW(const WCHAR* lpDirectoryName,
                         ULONGLONG* lpFreeBytesAvailableToCaller,
                         ULONGLONG* lpTotalNumberOfBytes,
                         ULONGLONG* lpTotalNumberOfFreeBytes);

// The calling thread's last error, as every backend leaves it.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

}  // namespace platform
