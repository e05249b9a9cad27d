#include "platform/mount_table.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <libmount/libmount.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <unordered_set>

namespace platform::linux_mounts {
namespace {

struct TableDeleter {
  void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct IterDeleter {
  void operator()(libmnt_iter* iter) const { mnt_free_iter(iter); }
};
struct ProbeDeleter {
  void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};
struct CacheDeleter {
  void operator()(blkid_struct_cache* cache) const { blkid_put_cache(cache); }
};
struct DirCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
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
  libmnt_fs* fs;
  std::uint64_t id;
  std::uint64_t parent_id;
  std::string target;
  std::string_view type;
  dev_t device;  // the mount table's; btrfs corrects it below
  bool visible = false;
};

// --- Visibility, from the table alone -----------------------------------------

std::string SiblingKey(std::uint64_t parent_id, std::string_view target) {
  std::string key(reinterpret_cast<const char*>(&parent_id), sizeof parent_id);
  key += target;
  return key;
}

// Whether each mount is the one that path lookup reaches at its target.  A
// mount is hidden by a mount over its root (a child at the same target), by
// a mount of its parent's on a directory above its target, and by whatever
// hides its parent; a mount over another's root is reached where the one
// below it would be.
void MarkVisibleMounts(std::vector<Mount>& mounts) {
  std::unordered_map<std::uint64_t, std::size_t> by_id;
  std::unordered_set<std::string> mounted_on;  // parent ID + target
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    by_id.emplace(mounts[i].id, i);
    mounted_on.insert(SiblingKey(mounts[i].parent_id, mounts[i].target));
  }
  auto covered = [&](const Mount& mount) {
    return mounted_on.count(SiblingKey(mount.id, mount.target)) != 0;
  };
  auto hidden_by_sibling = [&](const Mount& mount) {
    std::string_view above = mount.target;
    while (above.size() > 1) {
      const std::size_t slash = above.find_last_of('/');
      above = above.substr(0, slash == 0 ? 1 : slash);
      if (mounted_on.count(SiblingKey(mount.parent_id, above)) != 0) return true;
    }
    return false;
  };
  // Whether lookup reaches the place where a mount is mounted; memoized,
  // and a parent chain longer than the table (a loop in a corrupt table)
  // counts as unreached.
  enum : char { kUnknown, kReached, kUnreached };
  std::vector<char> reach(mounts.size(), kUnknown);
  std::function<bool(std::size_t, std::size_t)> reached =
      [&](std::size_t index, std::size_t depth) {
        if (reach[index] != kUnknown) return reach[index] == kReached;
        const Mount& mount = mounts[index];
        const auto parent = by_id.find(mount.parent_id);
        bool result;
        if (depth > mounts.size()) {
          result = false;
        } else if (parent == by_id.end() || parent->second == index) {
          result = true;  // the root of this process's tree
        } else if (mounts[parent->second].target == mount.target) {
          result = reached(parent->second, depth + 1);
        } else {
          const Mount& below = mounts[parent->second];
          result = reached(parent->second, depth + 1) && !covered(below) &&
                   !hidden_by_sibling(mount);
        }
        reach[index] = result ? kReached : kUnreached;
        return result;
      };
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    mounts[i].visible = reached(i, 0) && !covered(mounts[i]);
  }
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

// Whether a mount holds what a user would call storage.
bool IsStorage(const Mount& mount, const std::optional<dev_t>& block_device) {
  if (mount.target == "/") return true;
  if (IsRamFilesystem(mount.type) || IsFuse(mount.type) ||
      mount.type == "overlay" || mnt_fs_is_netfs(mount.fs)) {
    return true;
  }
  if (mnt_fs_is_pseudofs(mount.fs)) return false;
  return major(mount.device) != 0 || block_device.has_value();
}

// The device number that stat() reports at a btrfs mount's root: that of
// the mounted subvolume, which the mount table does not give.  Where the
// root cannot be reached (hidden, unsearchable), the table's number stays.
dev_t BtrfsRootDevice(const Mount& mount) {
  if (!mount.visible) return mount.device;
  struct statx status;
  if (::statx(AT_FDCWD, mount.target.c_str(),
              AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_MNT_ID,
              &status) != 0 ||
      (status.stx_mask & STATX_MNT_ID) == 0 || status.stx_mnt_id != mount.id) {
    return mount.device;
  }
  return makedev(status.stx_dev_major, status.stx_dev_minor);
}

// --- Labels, UUIDs and formats ------------------------------------------------

// What libblkid finds on a device, or what the system publishes of it.
struct Identity {
  std::string type;
  std::string version;  // "FAT32", "FAT16", ...
  std::string uuid;
  std::string label;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// udev's link names escape bytes outside its safe set as \xNN.
std::string DecodeUdevName(std::string_view name) {
  std::string decoded;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
        HexDigit(name[i + 2]) >= 0 && HexDigit(name[i + 3]) >= 0) {
      decoded += static_cast<char>(HexDigit(name[i + 2]) * 16 + HexDigit(name[i + 3]));
      i += 3;
    } else {
      decoded += name[i];
    }
  }
  return decoded;
}

// Identities that need no access to the devices: libblkid's cache (as
// BLKID_FILE or libblkid's configuration names it) and udev's
// /dev/disk/by-uuid and /dev/disk/by-label links.  Read at most once per
// table.
class PublishedIdentities {
 public:
  Identity Find(const std::string& device_path, dev_t device) {
    Identity identity;
    FromCache(device_path, device, identity);
    if (identity.uuid.empty()) identity.uuid = FromLinks("/dev/disk/by-uuid", device);
    if (identity.label.empty()) identity.label = FromLinks("/dev/disk/by-label", device);
    return identity;
  }

 private:
  void FromCache(const std::string& device_path, dev_t device,
                 Identity& identity) {
    if (!cache_tried_) {
      cache_tried_ = true;
      blkid_cache cache = nullptr;
      if (blkid_get_cache(&cache, nullptr) == 0) cache_.reset(cache);
    }
    if (!cache_) return;
    blkid_dev found = blkid_get_dev(cache_.get(), device_path.c_str(), BLKID_DEV_FIND);
    if (found == nullptr) {
      // The cache may name the device otherwise (/dev/mapper/x, /dev/dm-0).
      blkid_dev_iterate devices = blkid_dev_iterate_begin(cache_.get());
      blkid_dev candidate = nullptr;
      while (found == nullptr && devices != nullptr &&
             blkid_dev_next(devices, &candidate) == 0) {
        struct stat status;
        if (::stat(blkid_dev_devname(candidate), &status) == 0 &&
            S_ISBLK(status.st_mode) && status.st_rdev == device) {
          found = candidate;
        }
      }
      blkid_dev_iterate_end(devices);
    }
    if (found == nullptr) return;
    blkid_tag_iterate tags = blkid_tag_iterate_begin(found);
    const char* name = nullptr;
    const char* value = nullptr;
    std::string secondary_type;
    while (tags != nullptr && blkid_tag_next(tags, &name, &value) == 0) {
      const std::string_view tag = name;
      if (tag == "TYPE") identity.type = value;
      if (tag == "SEC_TYPE") secondary_type = value;
      if (tag == "UUID") identity.uuid = value;
      if (tag == "LABEL") identity.label = value;
    }
    blkid_tag_iterate_end(tags);
    // The cache keeps no FAT version, but marks FAT12 and FAT16 as msdos.
    if (identity.type == "vfat") {
      identity.version = secondary_type == "msdos" ? "FAT16" : "FAT32";
    }
  }

  static std::string FromLinks(const char* directory, dev_t device) {
    std::unique_ptr<DIR, DirCloser> links(::opendir(directory));
    while (links) {
      const dirent* entry = ::readdir(links.get());
      if (entry == nullptr) break;
      if (entry->d_name[0] == '.') continue;
      struct stat status;
      const std::string path = std::string(directory) + "/" + entry->d_name;
      if (::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode) &&
          status.st_rdev == device) {
        return DecodeUdevName(entry->d_name);
      }
    }
    return std::string();
  }

  bool cache_tried_ = false;
  std::unique_ptr<blkid_struct_cache, CacheDeleter> cache_;
};

// Probes the device itself; where this process may not open it (an
// ordinary user and a disk), takes what the system publishes instead, so
// that every user sees the same label and UUID.
Identity IdentifyDevice(const char* source, dev_t device,
                        PublishedIdentities& published) {
  Identity identity;
  std::unique_ptr<blkid_struct_probe, ProbeDeleter> blkid(
      blkid_new_probe_from_filename(source));
  if (!blkid) {
    return errno == EACCES || errno == EPERM ? published.Find(source, device)
                                             : identity;
  }
  blkid_probe_enable_superblocks(blkid.get(), 1);
  blkid_probe_set_superblocks_flags(
      blkid.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID |
                       BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
  if (blkid_do_safeprobe(blkid.get()) != 0) return identity;
  auto value = [&](const char* name) {
    const char* data = nullptr;
    return blkid_probe_lookup_value(blkid.get(), name, &data, nullptr) == 0 &&
                   data != nullptr
               ? std::string(data)
               : std::string();
  };
  identity.type = value("TYPE");
  identity.version = value("VERSION");
  identity.uuid = value("UUID");
  identity.label = value("LABEL");
  return identity;
}

// The filesystem's format: a FUSE mount's type names its driver, and the
// format is what blkid finds in its source.
std::string FilesystemType(std::string_view mount_type, const Identity& identity) {
  return std::string(IsFuse(mount_type) && !identity.type.empty()
                         ? identity.type
                         : mount_type);
}

// Windows' name where it has one (NTFS, FAT32, FAT, exFAT), else Linux's.
std::string WindowsFilesystemName(std::string_view type, const Identity& identity) {
  if (type == "vfat" || type == "msdos") {
    return identity.version == "FAT32" ? "FAT32" : "FAT";
  }
  if (type == "exfat") return "exFAT";
  if (type == "ntfs" || type == "ntfs3") return "NTFS";
  return std::string(type);
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

// Builds a MountTable; a friend of it.
class TableBuilder {
 public:
  static std::shared_ptr<const MountTable> Build(const char* mountinfo_path) {
    auto result = std::make_shared<MountTable>();
    std::unique_ptr<libmnt_table, TableDeleter> table(mnt_new_table());
    if (!table || mnt_table_parse_file(table.get(), mountinfo_path) != 0) {
      return result;
    }
    std::vector<Mount> mounts;
    std::unique_ptr<libmnt_iter, IterDeleter> iter(mnt_new_iter(MNT_ITER_FORWARD));
    libmnt_fs* fs = nullptr;
    while (iter && mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
      const char* target = mnt_fs_get_target(fs);
      const char* type = mnt_fs_get_fstype(fs);
      if (target == nullptr || target[0] != '/') continue;
      mounts.push_back(Mount{fs, static_cast<std::uint64_t>(mnt_fs_get_id(fs)),
                             static_cast<std::uint64_t>(mnt_fs_get_parent_id(fs)),
                             target, type != nullptr ? type : "",
                             mnt_fs_get_devno(fs)});
    }
    MarkVisibleMounts(mounts);

    MountTable& built = *result;
    std::vector<bool> listed;
    std::vector<std::string> uuids;
    PublishedIdentities published;
    for (Mount& mount : mounts) {
      const char* source = mnt_fs_get_srcpath(mount.fs);
      const std::optional<dev_t> block_device = SourceBlockDevice(source);
      if (!IsStorage(mount, block_device)) continue;
      if (mount.type == "btrfs") mount.device = BtrfsRootDevice(mount);

      auto known = built.by_device_.find(mount.device);
      if (known == built.by_device_.end()) {
        Identity identity;
        if (block_device) identity = IdentifyDevice(source, *block_device, published);
        const std::string type = FilesystemType(mount.type, identity);
        LinuxVolume fresh;
        fresh.device = mount.device;
        fresh.filesystem = WideFromUtf8(WindowsFilesystemName(type, identity));
        fresh.label = WideFromPathBytes(identity.label);
        fresh.drive_type = DriveType(mount, type, block_device);
        known = built.by_device_.emplace(mount.device, built.volumes_.size()).first;
        built.volumes_.push_back(std::move(fresh));
        listed.push_back(false);
        uuids.push_back(identity.uuid);
      }
      const std::size_t index = known->second;
      built.by_mount_id_.emplace(mount.id, index);
      if (!mount.visible) continue;
      listed[index] = true;
      std::string mount_point = mount.target;
      if (mount_point.back() != '/') mount_point += '/';
      if (built.by_mount_point_.emplace(mount_point, index).second) {
        built.volumes_[index].mount_points.push_back(std::move(mount_point));
      }
    }
    OrderAndName(built, listed, uuids);
    return result;
  }

 private:
  // Puts the listed volumes first, each group in mount-table order, then
  // names them: by the filesystem's UUID where it has one that no earlier
  // volume took (a cloned disk, a second btrfs subvolume), otherwise by the
  // device number.
  static void OrderAndName(MountTable& built, const std::vector<bool>& listed,
                           const std::vector<std::string>& uuids) {
    std::vector<std::size_t> order(built.volumes_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_partition(order.begin(), order.end(),
                          [&](std::size_t i) { return listed[i]; });
    std::vector<std::size_t> new_index(order.size());
    std::vector<LinuxVolume> volumes;
    volumes.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      new_index[order[i]] = i;
      volumes.push_back(std::move(built.volumes_[order[i]]));
      if (listed[order[i]]) built.listed_ = i + 1;

      LinuxVolume& volume = volumes.back();
      const std::string& uuid = uuids[order[i]];
      if (IsGuidText(uuid)) volume.name = GuidPath(uuid);
      if (volume.name.empty() ||
          built.by_name_.count(WideString(WithoutTrailingBackslash(volume.name))) != 0) {
        volume.name = DeviceGuidPath(volume.device);
      }
      // Only listed volumes answer by name.
      if (listed[order[i]]) {
        built.by_name_.emplace(WithoutTrailingBackslash(volume.name), i);
      }
    }
    built.volumes_ = std::move(volumes);
    for (auto& entry : built.by_mount_point_) entry.second = new_index[entry.second];
    for (auto& entry : built.by_device_) entry.second = new_index[entry.second];
    for (auto& entry : built.by_mount_id_) entry.second = new_index[entry.second];
  }
};


const LinuxVolume* MountTable::FindByName(WideStringView name) const {
  const auto found = by_name_.find(WideString(WithoutTrailingBackslash(name)));
  return found == by_name_.end() ? nullptr : &volumes_[found->second];
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

// --- Watching for changes ---------------------------------------------------------

namespace {

// Bumped in every child of fork(): a child must not use its parent's
// monitor, whose epoll instance the two share.
std::atomic<unsigned> fork_generation{0};
void CountFork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

MountTableMonitor::~MountTableMonitor() {
  if (monitor_ != nullptr &&
      fork_generation_ == fork_generation.load(std::memory_order_relaxed)) {
    mnt_unref_monitor(monitor_);
  }
}

bool MountTableMonitor::Changed() {
  static std::once_flag at_fork;
  std::call_once(at_fork, [] { ::pthread_atfork(nullptr, nullptr, CountFork); });
  const unsigned generation = fork_generation.load(std::memory_order_relaxed);
  if (generation != fork_generation_) {
    // The parent's monitor is left alone: releasing it here would remove
    // the parent's watch from the epoll instance they share.
    monitor_ = nullptr;
    fork_generation_ = generation;
  }
  if (monitor_ == nullptr) {
    monitor_ = mnt_new_monitor();
    if (monitor_ != nullptr && (mnt_monitor_enable_kernel(monitor_, 1) != 0 ||
                                mnt_monitor_get_fd(monitor_) < 0)) {
      mnt_unref_monitor(monitor_);
      monitor_ = nullptr;
    }
    return true;
  }
  const char* file = nullptr;
  int type = 0;
  const int status = mnt_monitor_next_change(monitor_, &file, &type);
  if (status == 1) return false;
  // Several changes may be waiting; one re-read covers them all.
  while (status == 0 && mnt_monitor_next_change(monitor_, &file, &type) == 0) {
  }
  return true;
}

}  // namespace platform::linux_mounts
