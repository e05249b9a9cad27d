// The VolumeInfo service: its table of volumes, its lookups, and the rebuild
// of the table from the live system.
#pragma once

#include "windows/registration.h"

namespace volumes {

// The class VolumeInfo.
extern const Subsystem kVolumeInfoService;

}  // namespace volumes
