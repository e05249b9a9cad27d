// The VolumeInfo service: its table of volumes, its lookups, and the rebuild
// of the table from the live system.
#pragma once

#include "windows/calling_convention.h"

namespace volumes {

extern const char kVolumeInfoDoc[];

// The class's methods, in the order of its namespace.
inline constexpr int kVolumeInfoMethodCount = 6;
extern Callable kVolumeInfoMethods[kVolumeInfoMethodCount];

}  // namespace volumes
