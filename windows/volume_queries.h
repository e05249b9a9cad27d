// The volume queries: wrappers over kernel32's volume functions.  The volume
// GUID paths, the mount points of a volume, the label, serial number,
// limits, flags and filesystem name of a volume by root path or by file
// handle, its drive type and its size.  The other subsystems reach kernel32
// through the internal entries here and nowhere else.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "platform/kernel32.h"
#include "windows/refs.h"
#include "windows/registration.h"

namespace volumes {

// GetVolumeInformationByHandle, GetVolumeInformation and
// _GetVolumePathNamesForVolumeName, made with the module; _ListVolumeNames.
extern const Subsystem kVolumeQueries;

// Single names are read into buffers of MAX_PATH + 1 characters.
inline constexpr platform::DWORD kNameBufferLength = platform::kMaxPath + 1;

// The outputs of one GetVolumeInformation*W call, zeroed before it.  The
// host receives them as the volume information 5-tuple.
struct VolumeInformation {
  platform::WCHAR label[kNameBufferLength] = {};
  platform::DWORD serial_number = 0;
  platform::DWORD component_length = 0;
  platform::DWORD flags = 0;
  platform::WCHAR filesystem[kNameBufferLength] = {};

  OwnedRef Label() const;           // unicode
  OwnedRef SerialNumber() const;    // long
  OwnedRef FilesystemName() const;  // byte string, in the ANSI code page
  // (volume_label, serial_number, component_length, flags, filesystem)
  OwnedRef ToTuple() const;
};

// --- The internal entries ----------------------------------------------------

// The volume whose root `path` names (a unicode string, or None, which
// raises TypeError).
VolumeInformation QueryVolumeInformation(BorrowedRef path);

// The volume holding the file that the handle value `handle` has open.  A
// value that no handle of the platform's width has raises OverflowError.
VolumeInformation QueryVolumeInformationByHandle(std::int64_t handle);

// The mount points of the volume named by `guid_path` (a str, a unicode or
// None), as a new list of unicode strings.
OwnedRef QueryVolumePathNames(BorrowedRef guid_path);

// What GetDriveTypeW answers for `root_path` (exactly unicode).
unsigned long QueryDriveType(BorrowedRef root_path);

// The total size that GetDiskFreeSpaceExW reports for `directory` (exactly
// unicode), or nothing when the call fails.
std::optional<unsigned long long> QueryTotalBytes(BorrowedRef directory);

}  // namespace volumes
