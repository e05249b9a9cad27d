// Volume identity: volume IDs from serial numbers and stat results, and the
// cached test of whether a volume's filesystem is of the FAT family.
#pragma once

#include <Python.h>

#include "windows/refs.h"
#include "windows/registration.h"

namespace volumes {

// FindVolumeID's docstring, which VolumeInfo.FindVolumeID shares.
inline constexpr char kFindVolumeIDDoc[] =
    "Get the volume ID from the VolumeInfo service.\n"
    "\n"
    "  Args:\n"
    "    stat_result: Raw stat result of the file.\n"
    "\n"
    "  Returns:\n"
    "    Object to be used as volume ID. Generally string-typed.\n"
    "  ";

// Starts with _FAT_FILESYSTEMS, an empty _IS_FAT_CACHE and what volume IDs
// are made from; then FindVolumeID, _VolumeIDFromSerialNumber and IsFAT.
extern const Subsystem kVolumeIdentity;

// The volume ID of `serial_number` as the module's code makes it: through
// _VolumeIDFromSerialNumber as the module namespace binds it at this call.
OwnedRef VolumeIDOf(BorrowedRef serial_number);

// FindVolumeID(stat_result) through FindVolumeID as the module namespace
// binds it at this call.
OwnedRef CallFindVolumeID(BorrowedRef stat_result);

// Every rebuild of the volume table forgets the FAT answers.
void ForgetFatAnswers();

}  // namespace volumes
