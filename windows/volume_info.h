// The VolumeInfo service: its table of volumes, its lookups, and the rebuild
// of the table from the live system.
#pragma once

#include "windows/volumes.h"

namespace volumes {

extern const char kVolumeInfoDoc[];

// The class's methods, in the order of its namespace.
extern const FunctionSpec kVolumeInfoMethods[6];

}  // namespace volumes
