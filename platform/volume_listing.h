// What a FindFirstVolumeW found: the volume names that an enumeration hands
// out, in order, and where FindNextVolumeW fails before their end.  A
// machine lists its volumes so (machine.h), and a machine file describes
// them so (machine_description.h).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/wide_string.h"
#include "platform/win32_types.h"

namespace platform {

// FindNextVolumeW fails with `code` once `after` names (the first one
// included) have been handed out.
struct FindNextFailure {
  std::uint64_t after;
  DWORD code;
};

struct VolumeListing {
  std::vector<WideString> names;
  std::optional<FindNextFailure> find_next_failure;
};

}  // namespace platform
