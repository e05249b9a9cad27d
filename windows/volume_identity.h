// Volume IDs from serial numbers and stat results, and the cached test of
// whether a volume's filesystem is of the FAT family.
#pragma once

#include "windows/calling_convention.h"
#include "windows/refs.h"

namespace volumes {

extern Callable kFindVolumeID;
extern Callable kVolumeIDFromSerialNumber;
extern Callable kIsFAT;

// Start-up: _FAT_FILESYSTEMS, _IS_FAT_CACHE empty, and what volume IDs are
// made from.
void StartVolumeIdentity();

// The volume ID of `serial_number` as the module's code makes it: through
// _VolumeIDFromSerialNumber as the module namespace binds it at this call.
OwnedRef VolumeIDOf(BorrowedRef serial_number);

// FindVolumeID(stat_result), as the module function answers it.
OwnedRef FindVolumeID(BorrowedRef stat_result);

// Every rebuild of the volume table forgets the FAT answers.
void ForgetFatAnswers();

}  // namespace volumes
