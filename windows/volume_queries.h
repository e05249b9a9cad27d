// Wrappers over kernel32's volume functions: the volume GUID paths, the mount
// points of a volume, and the label, serial number, limits, flags and
// filesystem name of a volume by root path or by file handle.
#pragma once

#include <Python.h>

#include <cstdint>

#include "windows/refs.h"

namespace volumes {

// Host entries, registered by start-up.
extern PyMethodDef kGetVolumeInformationByHandleMethod;
extern PyMethodDef kGetVolumeInformationMethod;
extern PyMethodDef kGetVolumePathNamesForVolumeNameMethod;
extern PyMethodDef kListVolumeNamesMethod;

// Internal entries, called directly by the other subsystems.

// The volume information 5-tuple for the volume whose root `path` names (a
// unicode string, or None, which raises TypeError).
OwnedRef GetVolumeInformation(BorrowedRef path);

// The volume information 5-tuple for the volume holding the file that the
// handle value `handle` has open.
OwnedRef GetVolumeInformationByHandle(std::int64_t handle);

// The mount points of the volume named by `guid_path` (a str, a unicode or
// None), as a new list of unicode strings.
OwnedRef GetVolumePathNamesForVolumeName(BorrowedRef guid_path);

}  // namespace volumes
