// The real Linux machine, answering the kernel32 volume calls from the
// mount table (mount_table.h), as docs/linux.md says.
//
// Its table is the process's own, kept until libmount's monitor reports a
// change (mount_monitor.h), or a test's.  The listing, the mount points and
// the drive types come from the table alone.  What asks a filesystem (a
// statfs of a volume, a lookup of a path that names no volume) is asked
// within the deadline (deadline.h) wherever it may wait: a network or FUSE
// filesystem, or one below such a mount.  A tmpfs or a filesystem on a
// local disk is asked directly, as the kernel answers it from memory.
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

#include "platform/deadline.h"
#include "platform/for_the_process.h"
#include "platform/linux_errors.h"
#include "platform/linux_machine.h"
#include "platform/machine.h"
#include "platform/mount_monitor.h"
#include "platform/mount_table.h"
#include "platform/scoped_posix.h"
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

// Opens a path for fstatvfs() whatever its length: a path that
// does not fit PATH_MAX is walked a piece at a time, each piece opened
// relative to the one before, so that every mount the table shows can be
// asked about.  Fails with errno set.
ScopedDescriptor OpenPath(const std::string& path) {
  constexpr int kFlags = O_PATH | O_CLOEXEC;
  if (path.size() < PATH_MAX) return ScopedDescriptor(::open(path.c_str(), kFlags));
  ScopedDescriptor directory;
  std::size_t start = 0;
  while (path.size() - start >= PATH_MAX) {
    const std::size_t cut = path.rfind('/', start + PATH_MAX - 2);
    if (cut == std::string::npos || cut < start) {
      errno = ENAMETOOLONG;  // a single name longer than any can be
      return ScopedDescriptor();
    }
    const std::string piece =
        start == 0 && cut == 0 ? "/" : path.substr(start, cut - start);
    if (!piece.empty()) {
      ScopedDescriptor next(::openat(directory.get() >= 0 ? directory.get() : AT_FDCWD,
                                   piece.c_str(), kFlags | O_DIRECTORY));
      if (next.get() < 0) return next;
      directory = std::move(next);
    }
    start = cut + 1;
  }
  const std::string rest = start < path.size() ? path.substr(start) : ".";
  return ScopedDescriptor(::openat(directory.get() >= 0 ? directory.get() : AT_FDCWD,
                                 rest.c_str(), kFlags));
}

// A statvfs() and, when it failed, its errno.
struct FilesystemStatus {
  struct statvfs status;
  int error = 0;
};

// statvfs() of a path of any length.
FilesystemStatus StatusOfPath(const std::string& path) {
  FilesystemStatus result;
  // One system call where the path fits, as nearly every mount point does.
  bool done;
  if (path.size() < PATH_MAX) {
    done = ::statvfs(path.c_str(), &result.status) == 0;
  } else {
    const ScopedDescriptor file = OpenPath(path);
    done = file.get() >= 0 && ::fstatvfs(file.get(), &result.status) == 0;
  }
  if (!done) result.error = errno;
  return result;
}

// ask(), where it may wait, within the deadline about the volume that
// key() names; directly otherwise.
template <class Key, class Ask>
auto AskedInTime(bool may_stall, Key&& key, Ask ask)
    -> std::optional<decltype(ask())> {
  if (!may_stall) return ask();
  return AskWithin(key(), QueryTimeoutMs(), std::move(ask));
}

VolumeKey KeyOf(const LinuxVolume& volume) {
  return "device:" + std::to_string(volume.device);
}

// The statvfs() of `path`, where may_stall within the deadline about the
// volume that key() names; nothing, with the last error set, on failure.
template <class Key>
std::optional<struct statvfs> StatusInTime(const std::string& path,
                                           bool may_stall, Key&& key) {
  const std::optional<FilesystemStatus> answer = AskedInTime(
      may_stall, key, [path] { return StatusOfPath(path); });
  if (!answer) return std::nullopt;
  if (answer->error != 0) {
    SetLastError(Win32ErrorFromErrno(answer->error, /*is_directory=*/true));
    return std::nullopt;
  }
  return answer->status;
}

DWORD FileSystemFlags(const LinuxVolume& volume, const struct statvfs& status) {
  DWORD flags = kFileCasePreservedNames | kFileUnicodeOnDisk;
  if (volume.case_sensitive) flags |= kFileCaseSensitiveSearch;
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

ULONGLONG Unit(const struct statvfs& status) {
  return status.f_frsize != 0 ? status.f_frsize : status.f_bsize;
}

ULONGLONG TotalBytes(const struct statvfs& status) {
  return Unit(status) * status.f_blocks;
}

// The statvfs() of a volume that the last GetVolumeInformationW made, which
// a GetDiskFreeSpaceExW of the same volume asking for the size alone takes,
// once, within kRecentStatusNs: a refresh asks a volume's information, then
// at once its size, which changes only when the filesystem is resized.  It
// holds its table, so that no other volume can come to have the same
// address meanwhile.
struct RecentStatus {
  static constexpr linux_mounts::RereadSchedule::Nanoseconds kRecentStatusNs =
      1'000'000;

  std::shared_ptr<const MountTable> table;
  const LinuxVolume* volume = nullptr;
  linux_mounts::RereadSchedule::Nanoseconds when = 0;
  struct statvfs status = {};

  bool Of(const std::shared_ptr<const MountTable>& current,
          const LinuxVolume* asked) const {
    return asked != nullptr && asked == volume && current == table &&
           linux_mounts::MonotonicNow() - when < kRecentStatusNs;
  }
};

class LinuxMachine final : public Machine {
 public:
  explicit LinuxMachine(linux_mounts::MountTableSource& source)
      : source_(source) {}

  std::optional<VolumeListing> ListVolumes(DWORD) override {
    return VolumeListing{CurrentTable()->ListedNames(), std::nullopt};
  }

  BOOL GetVolumeInformationW(const WCHAR* root,
                             const VolumeInformationOutputs& outputs) override {
    const WideStringView root_path = WideView(root);
    if (!IsRootPath(root_path)) return FailWith(kErrorInvalidName);
    const auto table = CurrentTable();
    const LinuxVolume* volume = FindByRoot(*table, root_path);
    if (volume == nullptr) return NotARoot(root_path);
    if (volume->identity_pending) return FailWith(kErrorTimeout);
    const std::optional<struct statvfs> status =
        StatusInTime(volume->mount_points.front(), volume->may_stall,
                     [&] { return KeyOf(*volume); });
    if (!status) return kFalse;
    {
      std::lock_guard<std::mutex> lock(recent_mutex_);
      recent_status_ = {table, volume, linux_mounts::MonotonicNow(), *status};
    }
    return WriteVolumeInformation(*volume, volume->device, *status, outputs);
  }

  BOOL GetVolumeInformationByHandleW(
      HANDLE file, const VolumeInformationOutputs& outputs) override {
    const auto value = reinterpret_cast<std::intptr_t>(file);
    if (value < 0 || value > INT32_MAX) return FailWith(kErrorInvalidHandle);
    const int fd = static_cast<int>(value);
    // Asks for the mount ID alone, which the kernel keeps itself, and
    // without syncing, so that no filesystem is asked: it never waits.
    struct statx file_status;
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID,
                &file_status) != 0) {
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
    if (volume->identity_pending) return FailWith(kErrorTimeout);
    std::optional<FilesystemStatus> status;
    if (!volume->may_stall) {
      status.emplace();
      if (::fstatvfs(fd, &status->status) != 0) status->error = errno;
    } else {
      // The waiter asks the caller's descriptor itself: a descriptor of its
      // own would be inherited by every child that the host forks meanwhile,
      // and a FUSE file's close, at the child's exec or exit, waits for its
      // daemon too.  A call in progress keeps its file whatever becomes of
      // the descriptor; the waiter begins the call at once, long before its
      // caller can give up and the number be given to another file.
      status = AskWithin(KeyOf(*volume), QueryTimeoutMs(), [fd] {
        FilesystemStatus answer;
        if (::fstatvfs(fd, &answer.status) != 0) answer.error = errno;
        return answer;
      });
      if (!status) return kFalse;
    }
    if (status->error != 0) return FailWith(Win32ErrorFromErrno(status->error));
    return WriteVolumeInformation(*volume, device, status->status, outputs);
  }

  BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* volume_name,
                                        WCHAR* path_names, DWORD length,
                                        DWORD* returned_length) override {
    const auto table = CurrentTable();
    const LinuxVolume* volume = table->FindByName(WideView(volume_name));
    if (volume == nullptr) return FailWith(kErrorFileNotFound);
    return WritePathNames(volume->wide_mount_points, path_names, length,
                          returned_length);
  }

  UINT GetDriveTypeW(const WCHAR* root) override {
    const auto table = CurrentTable();
    const LinuxVolume* volume = FindByRoot(*table, WideView(root));
    return volume == nullptr ? kDriveNoRootDir : volume->drive_type;
  }

  BOOL GetDiskFreeSpaceExW(const WCHAR* directory, ULONGLONG* free_to_caller,
                           ULONGLONG* total, ULONGLONG* total_free) override {
    const WideStringView path = WithoutTrailingBackslash(WideView(directory));
    const auto table = CurrentTable();
    const LinuxVolume* volume = table->FindByName(path);
    std::optional<std::string> directory_path;
    if (volume != nullptr) {
      directory_path = volume->mount_points.front();
    } else {
      directory_path = PathBytesFromWide(path);
      if (directory_path) volume = table->FindByMountPoint(*directory_path);
    }
    if (!directory_path || directory_path->empty()) {
      return FailWith(kErrorInvalidName);
    }
    if (volume != nullptr && volume->identity_pending) {
      return FailWith(kErrorTimeout);
    }
    if (free_to_caller == nullptr && total_free == nullptr && total != nullptr &&
        volume != nullptr && RecentTotal(table, volume, total)) {
      return kTrue;
    }
    // Any other directory may lie anywhere, below a mount that waits too.
    const std::optional<struct statvfs> status = StatusInTime(
        *directory_path, volume == nullptr || volume->may_stall, [&] {
          return volume != nullptr ? KeyOf(*volume) : "path:" + *directory_path;
        });
    if (!status) return kFalse;
    const ULONGLONG unit = Unit(*status);
    if (free_to_caller != nullptr) *free_to_caller = unit * status->f_bavail;
    if (total != nullptr) *total = TotalBytes(*status);
    if (total_free != nullptr) *total_free = unit * status->f_bfree;
    return kTrue;
  }

 private:
  std::shared_ptr<const MountTable> CurrentTable() { return source_.Current(); }

  // Fails as kernel32 does for a root path that names no volume:
  // kErrorDirNotRoot for a directory that is not a mount point, as it says
  // of C:\Windows\, kErrorPathNotFound for nothing.  The path may lie
  // anywhere, so it is looked up within the deadline.
  static BOOL NotARoot(WideStringView root) {
    const std::optional<std::string> path =
        PathBytesFromWide(WithoutTrailingBackslash(root));
    if (!path || path->empty()) return FailWith(kErrorPathNotFound);
    const std::optional<bool> exists =
        AskWithin("path:" + *path, QueryTimeoutMs(),
                  [path = *path] { return OpenPath(path).get() >= 0; });
    if (!exists) return kFalse;
    return FailWith(*exists ? kErrorDirNotRoot : kErrorPathNotFound);
  }

  // The total of RecentStatus, taken once where it is the volume's.
  bool RecentTotal(const std::shared_ptr<const MountTable>& table,
                   const LinuxVolume* volume, ULONGLONG* total) {
    std::lock_guard<std::mutex> lock(recent_mutex_);
    if (!recent_status_.Of(table, volume)) return false;
    *total = TotalBytes(recent_status_.status);
    recent_status_ = {};
    return true;
  }

  linux_mounts::MountTableSource& source_;
  std::mutex recent_mutex_;
  RecentStatus recent_status_;
};

// The process's own machine: over its own mount table, watched.
struct Native {
  linux_mounts::WatchedMountTable table;
  std::unique_ptr<Machine> machine = MakeLinuxMachine(table);
};

}  // namespace

std::unique_ptr<Machine> MakeLinuxMachine(linux_mounts::MountTableSource& source) {
  return std::make_unique<LinuxMachine>(source);
}

Machine& NativeMachine() { return *ForTheProcess<Native>().machine; }

}  // namespace platform
