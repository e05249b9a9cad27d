// The Linux mount table as a list of volumes, in kernel32's terms: which
// mounts are volumes, and what each volume's name, mount points, format,
// label and drive type are, is docs/linux.md's table.
//
// The table is built from the mount table alone (mount_visibility.h), so
// that a hung FUSE daemon or a dead NFS server cannot stall a listing; btrfs
// alone is asked, with statx(), for the device number of the subvolume
// mounted at each of its visible targets.  The mount table comes from
// libmount, labels, UUIDs and FAT versions from libblkid
// (device_identity.h), removable flags from sysfs.  What reads a device or
// walks a path that may wait (a label probe, btrfs' statx below a network
// mount) is asked within one deadline for the whole table (deadline.h); a
// volume whose question missed it is kept, its identity unknown.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/deadline.h"
#include "platform/wide_string.h"
#include "platform/win32_types.h"

namespace platform::linux_mounts {

struct LinuxVolume {
  dev_t device = 0;                       // st_dev of its files
  WideString name;                        // its volume GUID path
  std::vector<std::string> mount_points;  // the visible ones, each ending in '/'
  std::vector<WideString> wide_mount_points;  // the same, as kernel32 lists them
  WideString filesystem;                  // as Windows names it, if it can
  bool case_sensitive = true;             // its names' search
  WideString label;
  UINT drive_type = kDriveUnknown;
  // Whether a statfs of its mount point may wait: the filesystem, or one
  // that the path to it crosses, is not answered from memory (a network or
  // FUSE filesystem, an overlay, an automount point).
  bool may_stall = false;
  // A question about its device did not answer in time: its label, UUID
  // and format are not known.
  bool identity_pending = false;
};

// An immutable snapshot of the volumes, indexed for the calls that look a
// volume up by name, mount point, device number or mount ID.
class MountTable {
 public:
  MountTable() = default;
  // The indexes view the volumes' own names: a copy would view another's.
  MountTable(const MountTable&) = delete;
  MountTable& operator=(const MountTable&) = delete;

  // The names of the listed volumes, those with at least one visible mount
  // point, in mount-table order: what an enumeration walks.
  std::vector<WideString> ListedNames() const;

  // A listed volume by its GUID path, with or without its trailing
  // backslash.
  const LinuxVolume* FindByName(WideStringView name) const;
  // A listed volume by one of its visible mount points, with or without its
  // trailing '/'.
  const LinuxVolume* FindByMountPoint(std::string_view path) const;
  // Any storage volume, hidden ones included, by st_dev or by mount ID.
  const LinuxVolume* FindByDevice(dev_t device) const;
  const LinuxVolume* FindByMountId(std::uint64_t mount_id) const;

  // The questions that did not answer in time while the table was read:
  // once one of them no longer waits, a new reading may answer it.
  const std::vector<VolumeKey>& pending_questions() const {
    return pending_questions_;
  }

 private:
  friend class TableBuilder;

  std::vector<LinuxVolume> volumes_;  // listed ones first
  std::size_t listed_ = 0;
  // By name without its trailing backslash, viewed in volumes_, which is
  // not changed once the table is built.
  std::unordered_map<WideStringView, std::size_t, std::hash<WideStringView>,
                     SameWideText>
      by_name_;
  std::unordered_map<std::string, std::size_t> by_mount_point_;
  std::unordered_map<dev_t, std::size_t> by_device_;
  std::unordered_map<std::uint64_t, std::size_t> by_mount_id_;
  std::vector<VolumeKey> pending_questions_;
  // The index of the volume that FindByName found last: the calls about a
  // volume come in a row, and its name is compared before it is hashed.
  mutable std::atomic<std::size_t> last_found_{0};
};

// Where a Linux machine finds the mount table to answer a call from: this
// process's own, watched (mount_monitor.h), or a test's.
class MountTableSource {
 public:
  virtual ~MountTableSource() = default;
  virtual std::shared_ptr<const MountTable> Current() = 0;
};

// The volumes of the mount table in `mountinfo_path` (a file in the format
// of /proc/self/mountinfo).  A table that cannot be read has no volumes.
std::shared_ptr<const MountTable> ReadMountTable(const char* mountinfo_path);

}  // namespace platform::linux_mounts
