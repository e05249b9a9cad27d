#include "platform/mount_visibility.h"

#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace platform::linux_mounts {
namespace {

class Visibility {
 public:
  explicit Visibility(const std::vector<MountPlace>& mounts)
      : mounts_(mounts), reach_(mounts.size(), kUnknown) {
    for (std::size_t i = 0; i < mounts.size(); ++i) {
      by_id_.emplace(mounts[i].id, i);
      mounted_on_.insert(Key(mounts[i].parent_id, mounts[i].target));
    }
  }

  bool Visible(std::size_t index) {
    return Reached(index, 0) && !Covered(mounts_[index]);
  }

 private:
  enum Reach : char { kUnknown, kReached, kUnreached };

  // A parent's ID and a target: where a mount was made.
  static std::string Key(std::uint64_t parent_id, std::string_view target) {
    std::string key(reinterpret_cast<const char*>(&parent_id), sizeof parent_id);
    key += target;
    return key;
  }

  // Whether a mount has another over its root.
  bool Covered(const MountPlace& mount) const {
    return mounted_on_.count(Key(mount.id, mount.target)) != 0;
  }

  // Whether its parent has another mount on a directory above its target.
  bool HiddenBySibling(const MountPlace& mount) const {
    std::string_view above = mount.target;
    while (above.size() > 1) {
      const std::size_t slash = above.find_last_of('/');
      above = above.substr(0, slash == 0 ? 1 : slash);
      if (mounted_on_.count(Key(mount.parent_id, above)) != 0) return true;
    }
    return false;
  }

  // Whether lookup reaches the place where a mount is mounted; memoized,
  // and a parent chain longer than the table (a loop) counts as unreached.
  bool Reached(std::size_t index, std::size_t depth) {
    if (reach_[index] != kUnknown) return reach_[index] == kReached;
    const MountPlace& mount = mounts_[index];
    const auto parent = by_id_.find(mount.parent_id);
    bool result;
    if (depth > mounts_.size()) {
      result = false;
    } else if (parent == by_id_.end() || parent->second == index) {
      result = true;  // the root of this process's tree
    } else if (mounts_[parent->second].target == mount.target) {
      result = Reached(parent->second, depth + 1);
    } else {
      result = Reached(parent->second, depth + 1) &&
               !Covered(mounts_[parent->second]) && !HiddenBySibling(mount);
    }
    reach_[index] = result ? kReached : kUnreached;
    return result;
  }

  const std::vector<MountPlace>& mounts_;
  std::vector<Reach> reach_;
  std::unordered_map<std::uint64_t, std::size_t> by_id_;
  std::unordered_set<std::string> mounted_on_;  // Key(parent ID, target)
};

}  // namespace

std::vector<bool> VisibleMounts(const std::vector<MountPlace>& mounts) {
  Visibility visibility(mounts);
  std::vector<bool> visible(mounts.size());
  for (std::size_t i = 0; i < mounts.size(); ++i) visible[i] = visibility.Visible(i);
  return visible;
}

}  // namespace platform::linux_mounts
