// The Linux mount table as a list of volumes, in kernel32's terms.
//
// A volume is one mounted filesystem, keyed by the device number that stat()
// reports for the files on it, that a user would call storage: filesystems
// on block devices, network and FUSE filesystems, RAM filesystems (tmpfs,
// ramfs) and the root filesystem whatever its type.  Kernel pseudo
// filesystems (proc, sysfs, cgroup, devpts, ...) are not volumes.
//
// The mount table comes from libmount, labels, UUIDs and FAT versions from
// libblkid, removable flags from sysfs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel32.h"
#include "platform/wide_string.h"

namespace platform::linux_mounts {

struct LinuxVolume {
  dev_t device = 0;                       // st_dev of its files
  WideString name;                        // its volume GUID path
  std::vector<std::string> mount_points;  // each ending in '/'
  WideString filesystem;                  // as Windows names it, if it can
  WideString label;
  UINT drive_type = kDriveUnknown;
};

struct MountTable {
  std::string mountinfo;  // the text it was read from
  std::vector<LinuxVolume> volumes;

  // What an enumeration walks.
  std::size_t VolumeCount() const { return volumes.size(); }
  const WideString& VolumeName(std::size_t index) const {
    return volumes[index].name;
  }
  std::optional<DWORD> FindNextError(std::uint64_t) const {
    return std::nullopt;
  }
};

// The volumes of the mount table that /proc/self/mountinfo's text gives.
std::shared_ptr<const MountTable> ParseMountTable(std::string mountinfo);

// /proc/self/mountinfo, kept open: the kernel flags an open mountinfo file
// with POLLPRI after every change to the mount table, until it is read
// again, so an unchanged table costs one poll() instead of a read.
class MountinfoFile {
 public:
  MountinfoFile() = default;
  MountinfoFile(const MountinfoFile&) = delete;
  MountinfoFile& operator=(const MountinfoFile&) = delete;
  ~MountinfoFile() { Close(); }

  // False when the table cannot have changed since the last Read().
  bool MayHaveChanged();
  std::string Read();

 private:
  void Close();

  int fd_ = -1;
  pid_t owner_ = 0;
};

}  // namespace platform::linux_mounts
