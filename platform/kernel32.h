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

namespace platform {

// kernel32's types, declared here so that no caller needs <windows.h>:
// windows_api.h asserts that they are windows.h's own where both meet.
using BOOL = int;
using UINT = unsigned int;
using ULONGLONG = std::uint64_t;
using HANDLE = void*;
#ifdef _WIN32
using DWORD = unsigned long;  // 32 bits on Windows
using WCHAR = wchar_t;
#else
using DWORD = std::uint32_t;
using WCHAR = char16_t;
#endif

// kernel32's constants, under names that no macro of windows.h can reach.
inline constexpr BOOL kFalse = 0;
inline constexpr BOOL kTrue = 1;
inline constexpr DWORD kMaxPath = 260;

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
inline constexpr DWORD kErrorInternalError = 1359;
inline constexpr DWORD kErrorBadConfiguration = 1610;

inline constexpr UINT kDriveUnknown = 0;
inline constexpr UINT kDriveNoRootDir = 1;
inline constexpr UINT kDriveRemovable = 2;
inline constexpr UINT kDriveFixed = 3;
inline constexpr UINT kDriveRemote = 4;
inline constexpr UINT kDriveCdrom = 5;
inline constexpr UINT kDriveRamdisk = 6;

inline constexpr DWORD kFileCaseSensitiveSearch = 0x00000001;
inline constexpr DWORD kFileCasePreservedNames = 0x00000002;
inline constexpr DWORD kFileUnicodeOnDisk = 0x00000004;
inline constexpr DWORD kFileReadOnlyVolume = 0x00080000;

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

// The calling thread's last error, as every machine leaves it.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

}  // namespace platform
