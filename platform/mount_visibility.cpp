#include "platform/mount_visibility.h"

#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace platform::linux_mounts {
namespace {

// Where a mount was made: its parent's ID and its target, viewed in the
// table, so that asking costs no copy.
struct Place {
  std::uint64_t parent_id;
  std::string_view target;

  bool operator==(const Place& other) const {
    return parent_id == other.parent_id && target == other.target;
  }
};

struct PlaceHash {
  std::size_t operator()(const Place& place) const {
    return std::hash<std::string_view>()(place.target) ^
           (std::hash<std::uint64_t>()(place.parent_id) * 0x9E3779B97F4A7C15ull);
  }
};

class Visibility {
 public:
  explicit Visibility(const std::vector<MountPlace>& mounts)
      : mounts_(mounts), reach_(mounts.size(), kUnknown) {
    by_id_.reserve(mounts.size());
    mounted_on_.reserve(mounts.size());
    for (std::size_t i = 0; i < mounts.size(); ++i) {
      by_id_.emplace(mounts[i].id, i);
      mounted_on_.insert({mounts[i].parent_id, mounts[i].target});
    }
  }

  bool Visible(std::size_t index) {
    return Reached(index, 0) && !Covered(mounts_[index]);
  }

 private:
  enum Reach : char { kUnknown, kReached, kUnreached };

  // Whether a mount has another over its root.
  bool Covered(const MountPlace& mount) const {
    return mounted_on_.count({mount.id, mount.target}) != 0;
  }

  // Whether its parent has another mount on a directory above its target.
  bool HiddenBySibling(const MountPlace& mount) const {
    std::string_view above = mount.target;
    while (above.size() > 1) {
      const std::size_t slash = above.find_last_of('/');
      above = above.substr(0, slash == 0 ? 1 : slash);
      if (mounted_on_.count({mount.parent_id, above}) != 0) return true;
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
  std::unordered_set<Place, PlaceHash> mounted_on_;
};

}  // namespace

std::vector<bool> VisibleMounts(const std::vector<MountPlace>& mounts) {
  Visibility visibility(mounts);
  std::vector<bool> visible(mounts.size());
  for (std::size_t i = 0; i < mounts.size(); ++i) visible[i] = visibility.Visible(i);
  return visible;
}

}  // namespace platform::linux_mounts
