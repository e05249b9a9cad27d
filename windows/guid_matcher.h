// VOLUME_NAME_GUID_MATCHER, the service's constant that captures the GUID
// text of a volume GUID path, and the refresh's use of it.
#pragma once

#include <Python.h>

#include "windows/refs.h"

namespace volumes {

// Start-up: binds VOLUME_NAME_GUID_MATCHER, re.compile of its pattern.
void BuildVolumeNameGuidMatcher();

// The GUID text of a volume GUID path, as a byte string; None for another
// name: `VOLUME_NAME_GUID_MATCHER.match(name)`, and where it matches,
// `match.group(1).encode('ascii')`, the global looked up now.
OwnedRef VolumeUuid(BorrowedRef volume_name);

}  // namespace volumes
