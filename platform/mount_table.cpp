#include "platform/mount_table.h"

#include <fcntl.h>
#include <libmount/libmount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_map>
#include <fstream>
#include <utility>

#include "platform/device_identity.h"
#include "platform/mount_visibility.h"

namespace platform::linux_mounts {
namespace {

struct TableDeleter {
  void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct IterDeleter {
  void operator()(libmnt_iter* iter) const { mnt_free_iter(iter); }
};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsRamFilesystem(std::string_view type) {
  return type == "tmpfs" || type == "ramfs";
}

bool IsFuse(std::string_view type) {
  return (type == "fuse" || type == "fuseblk" || StartsWith(type, "fuse.")) &&
         type != "fusectl";
}

// One line of the mount table, as libmount read it.
struct Mount {
  MountPlace place;
  libmnt_fs* fs;
  std::string_view type;
  dev_t device;  // the mount table's; btrfs corrects it below
  std::optional<dev_t> block_device;  // its source, where that is one
  bool visible;
  bool may_stall;  // see LinuxVolume::may_stall
};

std::optional<dev_t> SourceBlockDevice(const char* source);
void MarkWhatMayStall(std::vector<Mount>& mounts);

// The lines of the table whose targets are paths, with their visibility.
std::vector<Mount> ReadMounts(libmnt_table* table) {
  std::vector<MountPlace> places;
  std::vector<libmnt_fs*> lines;
  std::unique_ptr<libmnt_iter, IterDeleter> iter(mnt_new_iter(MNT_ITER_FORWARD));
  libmnt_fs* fs = nullptr;
  while (iter && mnt_table_next_fs(table, iter.get(), &fs) == 0) {
    const char* target = mnt_fs_get_target(fs);
    if (target == nullptr || target[0] != '/') continue;
    places.push_back({static_cast<std::uint64_t>(mnt_fs_get_id(fs)),
                      static_cast<std::uint64_t>(mnt_fs_get_parent_id(fs)),
                      target});
    lines.push_back(fs);
  }
  const std::vector<bool> visible = VisibleMounts(places);
  std::vector<Mount> mounts;
  mounts.reserve(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const char* type = mnt_fs_get_fstype(lines[i]);
    mounts.push_back({std::move(places[i]), lines[i],
                      type != nullptr ? type : "", mnt_fs_get_devno(lines[i]),
                      SourceBlockDevice(mnt_fs_get_srcpath(lines[i])),
                      visible[i], false});
  }
  MarkWhatMayStall(mounts);
  return mounts;
}

// A block device named as a mount's source, where it is one.  Only device
// nodes under /dev are looked at: a source elsewhere may live on a mount
// that does not answer.
std::optional<dev_t> SourceBlockDevice(const char* source) {
  struct stat status;
  if (source == nullptr || !StartsWith(source, "/dev/") ||
      ::stat(source, &status) != 0 || !S_ISBLK(status.st_mode)) {
    return std::nullopt;
  }
  return status.st_rdev;
}

// Whether the kernel answers a statfs of the mount, and a path lookup
// through it, from memory: RAM filesystems, its own pseudo filesystems and
// filesystems on a block device.  A network or FUSE filesystem (fuseblk
// included), an overlay, whose layers may be any of these, an automount
// point and whatever else may ask something that can stop answering.
bool AnswersFromMemory(const Mount& mount) {
  if (IsFuse(mount.type) || mount.type == "overlay" ||
      mount.type == "autofs" || mnt_fs_is_netfs(mount.fs)) {
    return false;
  }
  return IsRamFilesystem(mount.type) || mnt_fs_is_pseudofs(mount.fs) ||
         mount.block_device.has_value() || major(mount.device) != 0;
}

// A mount may stall when it does not answer from memory, or when the path
// to it crosses one that may: its parent's mount, and so on up.  A loop of
// parents (a corrupt table) stops at the table's size.
void MarkWhatMayStall(std::vector<Mount>& mounts) {
  std::unordered_map<std::uint64_t, std::size_t> by_id;
  by_id.reserve(mounts.size());
  for (std::size_t i = 0; i < mounts.size(); ++i) by_id.emplace(mounts[i].place.id, i);
  enum Known : char { kUnknown, kAnswers, kMayStall };
  std::vector<Known> known(mounts.size(), kUnknown);
  std::vector<std::size_t> chain;
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    // Up to the first mount already known, or the root of the tree.
    chain.clear();
    std::size_t at = i;
    while (known[at] == kUnknown && chain.size() <= mounts.size()) {
      chain.push_back(at);
      const auto parent = by_id.find(mounts[at].place.parent_id);
      if (parent == by_id.end() || parent->second == at) break;
      at = parent->second;
    }
    bool above = known[at] == kMayStall;
    for (auto link = chain.rbegin(); link != chain.rend(); ++link) {
      above = above || !AnswersFromMemory(mounts[*link]);
      known[*link] = above ? kMayStall : kAnswers;
    }
  }
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    mounts[i].may_stall = known[i] == kMayStall;
  }
}

// Whether a mount holds what a user would call storage.
bool IsStorage(const Mount& mount) {
  if (mount.place.target == "/") return true;
  if (IsRamFilesystem(mount.type) || IsFuse(mount.type) ||
      mount.type == "overlay" || mnt_fs_is_netfs(mount.fs)) {
    return true;
  }
  if (mnt_fs_is_pseudofs(mount.fs)) return false;
  return major(mount.device) != 0 || mount.block_device.has_value();
}

// The device number that stat() reports at the root of the btrfs mount
// `mount_id` at `target`: that of the mounted subvolume, which the mount
// table does not give.  Where the root cannot be reached (unsearchable),
// the table's number stays.
dev_t BtrfsRootDevice(const std::string& target, std::uint64_t mount_id,
                      dev_t table_device) {
  struct statx status;
  if (::statx(AT_FDCWD, target.c_str(), AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC,
              STATX_MNT_ID, &status) != 0 ||
      (status.stx_mask & STATX_MNT_ID) == 0 || status.stx_mnt_id != mount_id) {
    return table_device;
  }
  return makedev(status.stx_dev_major, status.stx_dev_minor);
}

// The filesystem's format: a FUSE mount's type names its driver, and the
// format is what blkid finds in its source.
std::string FilesystemType(std::string_view mount_type,
                           const DeviceIdentity& identity) {
  return std::string(IsFuse(mount_type) && !identity.type.empty()
                         ? identity.type
                         : mount_type);
}

// The format as Windows names and searches it: Windows' name where it has
// one (NTFS, FAT32, FAT, exFAT), else Linux's; FAT and exFAT find a name in
// any case, and every other format as it is written.
struct WindowsFormat {
  std::string name;
  bool case_sensitive;
};

WindowsFormat WindowsFormatOf(std::string_view type,
                              const DeviceIdentity& identity) {
  if (type == "vfat" || type == "msdos") {
    return {identity.version == "FAT32" ? "FAT32" : "FAT", false};
  }
  if (type == "exfat") return {"exFAT", false};
  if (type == "ntfs" || type == "ntfs3") return {"NTFS", true};
  return {std::string(type), true};
}

std::string ReadSysfs(const std::string& path) {
  std::ifstream in(path);
  std::string value;
  std::getline(in, value);
  return value;
}

UINT DriveType(const Mount& mount, std::string_view type,
               const std::optional<dev_t>& block_device) {
  if (mnt_fs_is_netfs(mount.fs)) return kDriveRemote;
  if (IsRamFilesystem(type)) return kDriveRamdisk;
  if (type == "iso9660" || type == "udf") return kDriveCdrom;
  if (!block_device) return kDriveUnknown;
  const std::string block = "/sys/dev/block/" +
                            std::to_string(major(*block_device)) + ":" +
                            std::to_string(minor(*block_device));
  // SCSI peripheral type 5 is a CD-ROM drive.
  if (ReadSysfs(block + "/device/type") == "5") return kDriveCdrom;
  // A partition's removable flag is its disk's.
  const bool partition = !ReadSysfs(block + "/partition").empty();
  const std::string removable =
      ReadSysfs(block + (partition ? "/../removable" : "/removable"));
  return removable == "1" ? kDriveRemovable : kDriveFixed;
}

bool IsGuidText(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!word) return false;
  }
  return true;
}

WideString GuidPath(const std::string& guid) {
  return WideFromUtf8("\\\\?\\Volume{" + guid + "}\\");
}

WideString DeviceGuidPath(dev_t device) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-0000-0000-0000-%012llx",
                static_cast<unsigned>(major(device)),
                static_cast<unsigned long long>(minor(device)));
  return GuidPath(text);
}

}  // namespace

// Builds a MountTable, a mount at a time; a friend of it.
class TableBuilder {
 public:
  static std::shared_ptr<const MountTable> Build(const char* mountinfo_path) {
    auto result = std::make_shared<MountTable>();
    std::unique_ptr<libmnt_table, TableDeleter> table(mnt_new_table());
    if (!table || mnt_table_parse_file(table.get(), mountinfo_path) != 0) {
      return result;
    }
    std::vector<Mount> mounts = ReadMounts(table.get());
    TableBuilder builder(*result, mounts.size());
    for (Mount& mount : mounts) builder.Add(mount);
    builder.OrderAndName();
    return result;
  }

 private:
  using Clock = std::chrono::steady_clock;

  TableBuilder(MountTable& built, std::size_t mount_count)
      : built_(built),
        timeout_ms_(QueryTimeoutMs()),
        deadline_(Clock::now() + std::chrono::milliseconds(timeout_ms_)) {
    built_.by_device_.reserve(mount_count);
    built_.by_mount_id_.reserve(mount_count);
    built_.by_mount_point_.reserve(mount_count);
    built_.by_name_.reserve(mount_count);
  }

  // Adds a storage mount: to its device's volume, made at its first mount,
  // and as a mount point of it when it is visible.
  void Add(Mount& mount) {
    if (!IsStorage(mount)) return;
    bool pending = false;
    if (mount.type == "btrfs" && mount.visible) {
      const std::optional<dev_t> device = AskInTime(
          mount.may_stall, "statx:" + mount.place.target,
          [target = mount.place.target, id = mount.place.id,
           device = mount.device] { return BtrfsRootDevice(target, id, device); });
      pending = !device;
      if (device) mount.device = *device;
    }

    auto known = built_.by_device_.find(mount.device);
    if (known == built_.by_device_.end()) {
      known = built_.by_device_.emplace(mount.device, built_.volumes_.size()).first;
      AddVolume(mount);
    }
    const std::size_t index = known->second;
    LinuxVolume& volume = built_.volumes_[index];
    volume.may_stall = volume.may_stall || mount.may_stall;
    volume.identity_pending = volume.identity_pending || pending;
    built_.by_mount_id_.emplace(mount.place.id, index);
    if (!mount.visible) return;
    is_listed_[index] = true;
    std::string& target = mount.place.target;
    if (target.back() != '/') target += '/';
    if (built_.by_mount_point_.emplace(target, index).second) {
      volume.mount_points.push_back(std::move(target));
    }
  }

  void AddVolume(const Mount& mount) {
    LinuxVolume fresh;
    DeviceIdentity identity;
    if (mount.block_device) {
      const std::string source = mnt_fs_get_srcpath(mount.fs);
      const std::optional<Probe> probe = AskInTime(
          true, "probe:" + source, [source] { return ProbeDevice(source); });
      if (!probe) {
        fresh.identity_pending = true;
      } else if (probe->refused) {
        identity = published_.Find(source, *mount.block_device);
      } else {
        identity = probe->identity;
      }
    }
    const std::string type = FilesystemType(mount.type, identity);
    fresh.device = mount.device;
    const WindowsFormat format = WindowsFormatOf(type, identity);
    fresh.filesystem = WideFromUtf8(format.name);
    fresh.case_sensitive = format.case_sensitive;
    fresh.label = WideFromPathBytes(identity.label);
    fresh.drive_type = DriveType(mount, type, mount.block_device);
    built_.volumes_.push_back(std::move(fresh));
    is_listed_.push_back(false);
    uuids_.push_back(identity.uuid);
  }

  // Puts the listed volumes first, each group in mount-table order, then
  // names them: by the filesystem's UUID where it has one that no earlier
  // volume took (a cloned disk, a second btrfs subvolume), otherwise by the
  // device number.  Only listed volumes answer by name.
  void OrderAndName() {
    std::vector<std::size_t> order(built_.volumes_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_partition(order.begin(), order.end(),
                          [&](std::size_t i) { return is_listed_[i]; });
    std::vector<std::size_t> new_index(order.size());
    std::vector<LinuxVolume> volumes;
    volumes.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      new_index[order[i]] = i;
      volumes.push_back(std::move(built_.volumes_[order[i]]));
      LinuxVolume& volume = volumes.back();
      const std::string& uuid = uuids_[order[i]];
      if (IsGuidText(uuid)) volume.name = GuidPath(uuid);
      const WideStringView key = WithoutTrailingBackslash(volume.name);
      if (key.empty() || built_.by_name_.count(key) != 0) {
        volume.name = DeviceGuidPath(volume.device);
      }
      volume.wide_mount_points.reserve(volume.mount_points.size());
      for (const std::string& mount_point : volume.mount_points) {
        volume.wide_mount_points.push_back(WideFromPathBytes(mount_point));
      }
      // `volumes` was reserved whole: the name stays where it is.
      if (is_listed_[order[i]]) {
        built_.listed_ = i + 1;
        built_.by_name_.emplace(WithoutTrailingBackslash(volume.name), i);
      }
    }
    built_.volumes_ = std::move(volumes);
    for (auto& entry : built_.by_mount_point_) entry.second = new_index[entry.second];
    for (auto& entry : built_.by_device_) entry.second = new_index[entry.second];
    for (auto& entry : built_.by_mount_id_) entry.second = new_index[entry.second];
  }

  // ask(), where it may wait, within what is left of the reading's one
  // deadline: nothing, the question kept as pending, when that is spent
  // or the question waits too long.
  template <class Ask>
  auto AskInTime(bool may_stall, VolumeKey key, Ask ask)
      -> std::optional<decltype(ask())> {
    if (!may_stall || timeout_ms_ == 0) return ask();
    std::optional<decltype(ask())> answer;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
    if (left.count() > 0) {
      answer = AskWithin(key, static_cast<std::uint32_t>(left.count()),
                         std::move(ask));
    }
    if (!answer) built_.pending_questions_.push_back(std::move(key));
    return answer;
  }

  MountTable& built_;
  const std::uint32_t timeout_ms_;
  const Clock::time_point deadline_;
  std::vector<bool> is_listed_;    // by volume, in the order made
  std::vector<std::string> uuids_;  // likewise
  PublishedIdentities published_;
};

std::vector<WideString> MountTable::ListedNames() const {
  std::vector<WideString> names;
  names.reserve(listed_);
  for (std::size_t i = 0; i < listed_; ++i) names.push_back(volumes_[i].name);
  return names;
}

const LinuxVolume* MountTable::FindByName(WideStringView name) const {
  const WideStringView key = WithoutTrailingBackslash(name);
  const std::size_t last = last_found_.load(std::memory_order_relaxed);
  if (last < listed_ &&
      SameWideText()(WithoutTrailingBackslash(volumes_[last].name), key)) {
    return &volumes_[last];
  }
  const auto found = by_name_.find(key);
  if (found == by_name_.end()) return nullptr;
  last_found_.store(found->second, std::memory_order_relaxed);
  return &volumes_[found->second];
}

const LinuxVolume* MountTable::FindByMountPoint(std::string_view path) const {
  std::string key(path);
  if (key.empty()) return nullptr;
  if (key.back() != '/') key += '/';
  const auto found = by_mount_point_.find(key);
  return found == by_mount_point_.end() ? nullptr : &volumes_[found->second];
}

const LinuxVolume* MountTable::FindByDevice(dev_t device) const {
  const auto found = by_device_.find(device);
  return found == by_device_.end() ? nullptr : &volumes_[found->second];
}

const LinuxVolume* MountTable::FindByMountId(std::uint64_t mount_id) const {
  const auto found = by_mount_id_.find(mount_id);
  return found == by_mount_id_.end() ? nullptr : &volumes_[found->second];
}

std::shared_ptr<const MountTable> ReadMountTable(const char* mountinfo_path) {
  return TableBuilder::Build(mountinfo_path);
}

}  // namespace platform::linux_mounts
