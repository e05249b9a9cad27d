// Volume IDs from serial numbers and stat results, and the cached test of
// whether a volume's filesystem is of the FAT family.
#pragma once

#include <Python.h>

namespace volumes {

extern PyMethodDef kFindVolumeIDMethod;
extern PyMethodDef kVolumeIDFromSerialNumberMethod;
extern PyMethodDef kIsFATMethod;

// Start-up: _FAT_FILESYSTEMS, and _IS_FAT_CACHE empty.
void CreateFatTables();

// Every rebuild of the volume table forgets the FAT answers.
void ClearIsFatCache();

}  // namespace volumes
