// The Linux mount table as a list of volumes, in kernel32's terms.
//
// A volume is one mounted filesystem, keyed by the device number that stat()
// reports for the files on it, that a user would call storage: filesystems
// on block devices, network and FUSE filesystems, RAM filesystems (tmpfs,
// ramfs), overlays, and the root filesystem whatever its type.  Kernel
// pseudo filesystems (proc, sysfs, cgroup, devpts, ...) are not volumes.
//
// The table is built from the mount table alone: which mounts are seen at
// their targets, and their device numbers, come from the table itself, so
// that a hung FUSE daemon or a dead NFS server cannot stall a listing.  The
// one exception is btrfs, whose mount table names the filesystem's device
// number while stat() reports the mounted subvolume's; its (local) targets
// are asked with statx().
//
// The mount table comes from libmount, labels, UUIDs and FAT versions from
// libblkid (probing the device where this process may open it, else
// libblkid's cache and udev's /dev/disk links), removable flags from sysfs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/kernel32.h"
#include "platform/wide_string.h"

struct libmnt_monitor;

namespace platform::linux_mounts {

struct LinuxVolume {
  dev_t device = 0;                       // st_dev of its files
  WideString name;                        // its volume GUID path
  std::vector<std::string> mount_points;  // the visible ones, each ending in '/'
  WideString filesystem;                  // as Windows names it, if it can
  WideString label;
  UINT drive_type = kDriveUnknown;
};

// An immutable snapshot of the volumes, indexed for the calls that look a
// volume up by name, mount point, device number or mount ID.
class MountTable {
 public:
  // The volumes with at least one visible mount point, in mount-table order;
  // only they are listed.
  std::size_t VolumeCount() const { return listed_; }
  const WideString& VolumeName(std::size_t index) const {
    return volumes_[index].name;
  }
  std::optional<DWORD> FindNextError(std::uint64_t) const {
    return std::nullopt;
  }
  const LinuxVolume& Volume(std::size_t index) const { return volumes_[index]; }

  // A listed volume by its GUID path, with or without its trailing
  // backslash.
  const LinuxVolume* FindByName(WideStringView name) const;
  // A listed volume by one of its visible mount points, with or without its
  // trailing '/'.
  const LinuxVolume* FindByMountPoint(std::string_view path) const;
  // Any storage volume, hidden ones included, by st_dev or by mount ID.
  const LinuxVolume* FindByDevice(dev_t device) const;
  const LinuxVolume* FindByMountId(std::uint64_t mount_id) const;

 private:
  friend class TableBuilder;

  std::vector<LinuxVolume> volumes_;  // listed ones first
  std::size_t listed_ = 0;
  std::unordered_map<WideString, std::size_t> by_name_;
  std::unordered_map<std::string, std::size_t> by_mount_point_;
  std::unordered_map<dev_t, std::size_t> by_device_;
  std::unordered_map<std::uint64_t, std::size_t> by_mount_id_;
};

// The volumes of the mount table in `mountinfo_path` (a file in the format
// of /proc/self/mountinfo).  A table that cannot be read has no volumes.
std::shared_ptr<const MountTable> ReadMountTable(const char* mountinfo_path);

// Where the mount table may have changed, as libmount's monitor of the
// kernel's table reports it: one epoll_wait() of no wait per question.
class MountTableMonitor {
 public:
  MountTableMonitor() = default;
  MountTableMonitor(const MountTableMonitor&) = delete;
  MountTableMonitor& operator=(const MountTableMonitor&) = delete;
  ~MountTableMonitor();

  // True at the first question, after every change since the last true
  // answer, and whenever the monitor cannot be had (then the table is read
  // at every call, which is slow but right).  Callers serialize it.
  bool Changed();

 private:
  libmnt_monitor* monitor_ = nullptr;
  unsigned fork_generation_ = 0;
};

}  // namespace platform::linux_mounts
