// Which mounts of a mount table path lookup reaches, worked out from the
// table alone, so that no filesystem is asked (one that hangs would stall
// the answer).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::linux_mounts {

// Where a mount sits in the mount tree.
struct MountPlace {
  std::uint64_t id;
  std::uint64_t parent_id;
  std::string target;
};

// Whether each mount is the one that path lookup reaches at its target.  A
// mount is hidden by a mount over its root (a child at the same target), by
// a mount of its parent's on a directory above its target, and by whatever
// hides its parent; a mount over another's root is reached where the one
// below it would be.  A loop of parents (a corrupt table) hides what is on
// it.
std::vector<bool> VisibleMounts(const std::vector<MountPlace>& mounts);

}  // namespace platform::linux_mounts
