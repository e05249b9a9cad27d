// The real Linux machine, answering the kernel32 volume calls from the
// mount table (mount_table.h) as README's table ("The real machine") says.
//
// A table is kept until libmount's monitor (mount_monitor.h) reports a
// change of the kernel's mount table.  Only a call about one volume opens
// that volume's mount point, so a hung FUSE daemon or NFS server stalls the
// calls about its own volume and no others.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/for_the_process.h"
#include "platform/linux_errors.h"
#include "platform/linux_machine.h"
#include "platform/machine.h"
#include "platform/mount_monitor.h"
#include "platform/mount_table.h"
#include "platform/wide_string.h"

namespace platform {
namespace {

using linux_mounts::LinuxVolume;
using linux_mounts::MountTable;

// --- Answers --------------------------------------------------------------

// A root path: a volume GUID path or a mount point.
const LinuxVolume* FindByRoot(const MountTable& table, WideStringView root) {
  if (const LinuxVolume* volume = table.FindByName(root)) return volume;
  const std::optional<std::string> path =
      PathBytesFromWide(WithoutTrailingBackslash(root));
  return path ? table.FindByMountPoint(*path) : nullptr;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) {
    Reset(other.release());
    return *this;
  }
  ~FileDescriptor() { Reset(-1); }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  void Reset(int fd) {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }
  int fd_;
};

// Opens a path for fstatvfs() whatever its length: a path that
// does not fit PATH_MAX is walked a piece at a time, each piece opened
// relative to the one before, so that every mount the table shows can be
// asked about.  Fails with errno set.
FileDescriptor OpenPath(const std::string& path) {
  constexpr int kFlags = O_PATH | O_CLOEXEC;
  if (path.size() < PATH_MAX) return FileDescriptor(::open(path.c_str(), kFlags));
  FileDescriptor directory;
  std::size_t start = 0;
  while (path.size() - start >= PATH_MAX) {
    const std::size_t cut = path.rfind('/', start + PATH_MAX - 2);
    if (cut == std::string::npos || cut < start) {
      errno = ENAMETOOLONG;  // a single name longer than any can be
      return FileDescriptor();
    }
    const std::string piece =
        start == 0 && cut == 0 ? "/" : path.substr(start, cut - start);
    if (!piece.empty()) {
      FileDescriptor next(::openat(directory.get() >= 0 ? directory.get() : AT_FDCWD,
                                   piece.c_str(), kFlags | O_DIRECTORY));
      if (next.get() < 0) return next;
      directory = std::move(next);
    }
    start = cut + 1;
  }
  const std::string rest = start < path.size() ? path.substr(start) : ".";
  return FileDescriptor(::openat(directory.get() >= 0 ? directory.get() : AT_FDCWD,
                                 rest.c_str(), kFlags));
}

// statvfs() of a path of any length; false with errno set.
bool StatFilesystem(const std::string& path, struct statvfs& status) {
  // One system call where the path fits, as nearly every mount point does.
  if (path.size() < PATH_MAX) return ::statvfs(path.c_str(), &status) == 0;
  const FileDescriptor file = OpenPath(path);
  return file.get() >= 0 && ::fstatvfs(file.get(), &status) == 0;
}

DWORD FileSystemFlags(const LinuxVolume& volume, const struct statvfs& status) {
  DWORD flags = kFileCasePreservedNames | kFileUnicodeOnDisk;
  const WideStringView name = volume.filesystem;
  const bool case_insensitive = name == u"FAT32" || name == u"FAT" ||
                                name == u"exFAT";
  if (!case_insensitive) flags |= kFileCaseSensitiveSearch;
  if ((status.f_flag & ST_RDONLY) != 0) flags |= kFileReadOnlyVolume;
  return flags;
}

// `device` is the st_dev of the files asked about: the volume's own, or, for
// a file in a btrfs subvolume or an overlay that has one of its own, the
// file's.
BOOL WriteVolumeInformation(const LinuxVolume& volume, dev_t device,
                            const struct statvfs& status,
                            const VolumeInformationOutputs& outputs) {
  if (static_cast<std::uint64_t>(device) > 0xFFFFFFFFu) {
    return FailWith(kErrorArithmeticOverflow);
  }
  return outputs.Write(volume.label, static_cast<DWORD>(device),
                       static_cast<DWORD>(status.f_namemax),
                       FileSystemFlags(volume, status), volume.filesystem);
}

class LinuxMachine final : public Machine {
 public:
  // An empty path: this process's own mount table, watched for changes.
  explicit LinuxMachine(std::string mountinfo_path = std::string())
      : mountinfo_path_(std::move(mountinfo_path)) {}

  std::optional<VolumeListing> ListVolumes(DWORD) override {
    return VolumeListing{CurrentTable()->ListedNames(), std::nullopt};
  }

  BOOL GetVolumeInformationW(const WCHAR* root,
                             const VolumeInformationOutputs& outputs) override {
    const WideStringView root_path = WideView(root);
    if (!IsRootPath(root_path)) return FailWith(kErrorInvalidName);
    const auto table = CurrentTable();
    const LinuxVolume* volume = FindByRoot(*table, root_path);
    if (volume == nullptr) return FailWith(NotARootError(root_path));
    struct statvfs status;
    if (!StatFilesystem(volume->mount_points.front(), status)) {
      return FailWith(Win32ErrorFromErrno(errno, /*is_directory=*/true));
    }
    return WriteVolumeInformation(*volume, volume->device, status, outputs);
  }

  BOOL GetVolumeInformationByHandleW(
      HANDLE file, const VolumeInformationOutputs& outputs) override {
    const auto value = reinterpret_cast<std::intptr_t>(file);
    if (value < 0 || value > INT32_MAX) return FailWith(kErrorInvalidHandle);
    const int fd = static_cast<int>(value);
    struct statx file_status;
    struct statvfs status;
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID,
                &file_status) != 0 ||
        ::fstatvfs(fd, &status) != 0) {
      return FailWith(Win32ErrorFromErrno(errno));
    }
    const dev_t device = makedev(file_status.stx_dev_major, file_status.stx_dev_minor);
    const auto table = CurrentTable();
    const LinuxVolume* volume = table->FindByDevice(device);
    // A file whose device number is no mount's (in a btrfs subvolume that
    // is not mounted on its own, in some overlays) belongs to the mount
    // that holds it.
    if (volume == nullptr && (file_status.stx_mask & STATX_MNT_ID) != 0) {
      volume = table->FindByMountId(file_status.stx_mnt_id);
    }
    // An open pipe, socket or file of a pseudo filesystem: no volume.
    if (volume == nullptr) return FailWith(kErrorInvalidFunction);
    return WriteVolumeInformation(*volume, device, status, outputs);
  }

  BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* volume_name,
                                        WCHAR* path_names, DWORD length,
                                        DWORD* returned_length) override {
    const auto table = CurrentTable();
    const LinuxVolume* volume = table->FindByName(WideView(volume_name));
    if (volume == nullptr) return FailWith(kErrorFileNotFound);
    std::vector<WideString> paths;
    paths.reserve(volume->mount_points.size());
    for (const std::string& mount_point : volume->mount_points) {
      paths.push_back(WideFromPathBytes(mount_point));
    }
    return WritePathNames(paths, path_names, length, returned_length);
  }

  UINT GetDriveTypeW(const WCHAR* root) override {
    const auto table = CurrentTable();
    const LinuxVolume* volume = FindByRoot(*table, WideView(root));
    return volume == nullptr ? kDriveNoRootDir : volume->drive_type;
  }

  BOOL GetDiskFreeSpaceExW(const WCHAR* directory, ULONGLONG* free_to_caller,
                           ULONGLONG* total, ULONGLONG* total_free) override {
    const WideStringView path = WithoutTrailingBackslash(WideView(directory));
    std::optional<std::string> directory_path;
    const auto table = CurrentTable();
    if (const LinuxVolume* volume = table->FindByName(path)) {
      directory_path = volume->mount_points.front();
    } else {
      directory_path = PathBytesFromWide(path);
    }
    if (!directory_path || directory_path->empty()) {
      return FailWith(kErrorInvalidName);
    }
    struct statvfs status;
    if (!StatFilesystem(*directory_path, status)) {
      return FailWith(Win32ErrorFromErrno(errno, /*is_directory=*/true));
    }
    const ULONGLONG unit = status.f_frsize != 0 ? status.f_frsize : status.f_bsize;
    if (free_to_caller != nullptr) *free_to_caller = unit * status.f_bavail;
    if (total != nullptr) *total = unit * status.f_blocks;
    if (total_free != nullptr) *total_free = unit * status.f_bfree;
    return kTrue;
  }

 private:
  std::shared_ptr<const MountTable> CurrentTable() {
    std::lock_guard<std::mutex> lock(table_mutex_);
    if (!mountinfo_path_.empty()) {
      return linux_mounts::ReadMountTable(mountinfo_path_.c_str());
    }
    // A forked child reads its own table at its first call.
    if (monitor_.Forked()) schedule_ = linux_mounts::RereadSchedule();
    // Where nothing changed, the monitor's question is all a call costs.
    // While a change waits for the reading budget, the monitor has nothing
    // to add and is not asked; it is asked before the table is read, so
    // that a change made while reading is reported at the next call.
    if (table_ && !schedule_.HasUnseenChange()) {
      if (!monitor_.Changed()) return table_;
      schedule_.NoteChange();
    }
    const auto start = linux_mounts::MonotonicNow();
    if (table_ && !schedule_.DueAt(start)) return table_;
    monitor_.Changed();
    table_ = linux_mounts::ReadMountTable("/proc/self/mountinfo");
    schedule_.Read(start, linux_mounts::MonotonicNow());
    return table_;
  }

  // Why a root path names no volume: kErrorDirNotRoot for a directory
  // that is not a mount point, as kernel32 says of C:\Windows\.
  static DWORD NotARootError(WideStringView root) {
    const std::optional<std::string> path =
        PathBytesFromWide(WithoutTrailingBackslash(root));
    if (path && !path->empty() && OpenPath(*path).get() >= 0) {
      return kErrorDirNotRoot;
    }
    return kErrorPathNotFound;
  }

  const std::string mountinfo_path_;
  std::mutex table_mutex_;
  linux_mounts::MountTableMonitor monitor_;
  linux_mounts::RereadSchedule schedule_;
  std::shared_ptr<const MountTable> table_;
};

}  // namespace

Machine& NativeMachine() { return ForTheProcess<LinuxMachine>(); }

std::unique_ptr<Machine> MakeLinuxMachine(std::string mountinfo_path) {
  return std::make_unique<LinuxMachine>(std::move(mountinfo_path));
}

}  // namespace platform
