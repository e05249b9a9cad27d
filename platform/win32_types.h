// kernel32's types and the constants of its arguments and results, declared
// here so that no caller needs <windows.h>: windows_api.h asserts that they
// are windows.h's own where both meet.
//
// The bottom of the platform layer, with win32_errors.h and last_error.h:
// it includes nothing of the layer.
#pragma once

#include <cstdint>

namespace platform {

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

}  // namespace platform
