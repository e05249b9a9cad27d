// Wrappers over kernel32's volume functions: the volume GUID paths, the mount
// points of a volume, and the label, serial number, limits, flags and
// filesystem name of a volume by root path or by file handle.
#pragma once

#include <Python.h>

#include <cstdint>

#include "platform/kernel32.h"
#include "windows/calling_convention.h"
#include "windows/refs.h"

namespace volumes {

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

// The host entries, in the order start-up registers them.
extern Callable kGetVolumeInformationByHandle;
extern Callable kGetVolumeInformation;
extern Callable kGetVolumePathNamesForVolumeName;
extern Callable kListVolumeNames;

// The internal entries, which the other subsystems call directly.

// The volume whose root `path` names (a unicode string, or None, which
// raises TypeError).
VolumeInformation QueryVolumeInformation(BorrowedRef path);

// The volume holding the file that the handle value `handle` has open.
VolumeInformation QueryVolumeInformationByHandle(std::int64_t handle);

// The mount points of the volume named by `guid_path` (a str, a unicode or
// None), as a new list of unicode strings.
OwnedRef QueryVolumePathNames(BorrowedRef guid_path);

}  // namespace volumes
