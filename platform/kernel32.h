// The kernel32 volume functions, in kernel32's own shapes, on every platform.
//
// Module code calls platform::FindFirstVolumeW and friends exactly as it would
// call kernel32: UTF-16 buffers with lengths in characters, 32-bit unsigned
// numbers, handle values, BOOL results and a per-thread last error.  Which
// machine answers is decided here, at every call:
//   - VOLUMES_SIMULATION set to a non-empty path: the simulated machine
//     described by that file (docs/simulated-machine.md);
//   - otherwise the real machine: kernel32 itself on Windows, the mount table
//     on Linux.
//
// This is the top of the platform layer: the dispatcher, over the machines.
// kernel32's types, error codes and last error are the layer's bottom
// (win32_types.h, win32_errors.h, last_error.h), included here so that a
// caller needs this file alone.  Nothing here knows about Python.
#pragma once

#include "platform/last_error.h"
#include "platform/win32_errors.h"
#include "platform/win32_types.h"

namespace platform {

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

}  // namespace platform
