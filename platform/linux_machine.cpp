// The real Linux machine, answering the kernel32 volume calls from the
// mount table (mount_table.h).
//
//   volume GUID path  \\?\Volume{<filesystem UUID>}\, or a GUID made from the
//                     device number where the filesystem has no UUID
//   mount points      every visible mount of that device, with a trailing
//                     '/', in mount-table order (bind mounts included)
//   serial number     the device number, when it fits 32 bits; a volume
//                     whose device number does not fit has no serial number
//                     to give, and its volume information fails with
//                     kErrorArithmeticOverflow rather than report a number
//                     that stat() would never show
//   root paths        a GUID path or a mount point, ending in a backslash;
//                     handles are file descriptors
//
// A table is kept until the kernel reports a change of /proc/self/mountinfo.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/backend.h"
#include "platform/enumeration_table.h"
#include "platform/linux_errors.h"
#include "platform/mount_table.h"
#include "platform/wide_string.h"

namespace platform {
namespace {

using linux_mounts::LinuxVolume;
using linux_mounts::MountTable;

// --- Answers --------------------------------------------------------------

const LinuxVolume* FindByName(const MountTable& table, WideStringView name) {
  const WideStringView wanted = WithoutTrailingBackslash(name);
  for (const LinuxVolume& volume : table.volumes) {
    if (WithoutTrailingBackslash(volume.name) == wanted) return &volume;
  }
  return nullptr;
}

// A root path: a volume GUID path or a mount point.
const LinuxVolume* FindByRoot(const MountTable& table, WideStringView root) {
  if (const LinuxVolume* volume = FindByName(table, root)) return volume;
  std::optional<std::string> path = PathBytesFromWide(WithoutTrailingBackslash(root));
  if (!path || path->empty()) return nullptr;
  if (path->back() != '/') *path += '/';
  for (const LinuxVolume& volume : table.volumes) {
    for (const std::string& mount_point : volume.mount_points) {
      if (mount_point == *path) return &volume;
    }
  }
  return nullptr;
}

DWORD FileSystemFlags(const LinuxVolume& volume, const struct statvfs& status) {
  DWORD flags = kFileCasePreservedNames | kFileUnicodeOnDisk;
  const WideString& name = volume.filesystem;
  const bool case_insensitive = name == WideFromUtf8("FAT32") ||
                                name == WideFromUtf8("FAT") ||
                                name == WideFromUtf8("exFAT");
  if (!case_insensitive) flags |= kFileCaseSensitiveSearch;
  if ((status.f_flag & ST_RDONLY) != 0) flags |= kFileReadOnlyVolume;
  return flags;
}

BOOL WriteVolumeInformation(const LinuxVolume& volume,
                            const struct statvfs& status,
                            const VolumeInformationOutputs& outputs) {
  if (static_cast<std::uint64_t>(volume.device) > 0xFFFFFFFFu) {
    return FailWith(kErrorArithmeticOverflow);
  }
  return outputs.Write(volume.label, static_cast<DWORD>(volume.device),
                       static_cast<DWORD>(status.f_namemax),
                       FileSystemFlags(volume, status), volume.filesystem);
}

class LinuxMachine final : public Backend {
 public:
  HANDLE FindFirstVolumeW(WCHAR* name, DWORD length) override {
    return enumerations_.FindFirstVolumeW(CurrentTable(), name, length);
  }

  BOOL FindNextVolumeW(HANDLE find, WCHAR* name, DWORD length) override {
    return enumerations_.FindNextVolumeW(find, name, length);
  }

  BOOL FindVolumeClose(HANDLE find) override {
    return enumerations_.FindVolumeClose(find);
  }

  BOOL GetVolumeInformationW(const WCHAR* root,
                             const VolumeInformationOutputs& outputs) override {
    const WideStringView root_path = WideView(root);
    if (root_path.empty() || root_path.back() != u'\\') {
      return FailWith(kErrorInvalidName);
    }
    const auto table = CurrentTable();
    const LinuxVolume* volume = FindByRoot(*table, root_path);
    if (volume == nullptr) return FailWith(NotARootError(root_path));
    struct statvfs status;
    if (::statvfs(volume->mount_points.front().c_str(), &status) != 0) {
      return FailWith(Win32ErrorFromErrno(errno));
    }
    return WriteVolumeInformation(*volume, status, outputs);
  }

  BOOL GetVolumeInformationByHandleW(
      HANDLE file, const VolumeInformationOutputs& outputs) override {
    const auto value = reinterpret_cast<std::intptr_t>(file);
    struct stat file_status;
    struct statvfs status;
    if (value < 0 || value > INT32_MAX ||
        ::fstat(static_cast<int>(value), &file_status) != 0 ||
        ::fstatvfs(static_cast<int>(value), &status) != 0) {
      return FailWith(kErrorInvalidHandle);
    }
    const auto table = CurrentTable();
    for (const LinuxVolume& volume : table->volumes) {
      if (volume.device == file_status.st_dev) {
        return WriteVolumeInformation(volume, status, outputs);
      }
    }
    // An open pipe, socket or file of a pseudo filesystem: no volume.
    return FailWith(kErrorInvalidFunction);
  }

  BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* volume_name,
                                        WCHAR* path_names, DWORD length,
                                        DWORD* returned_length) override {
    const auto table = CurrentTable();
    const LinuxVolume* volume = FindByName(*table, WideView(volume_name));
    if (volume == nullptr) return FailWith(kErrorFileNotFound);
    WideString list;
    for (const std::string& mount_point : volume->mount_points) {
      list += WideFromPathBytes(mount_point);
      list += WCHAR(0);
    }
    list += WCHAR(0);
    const auto needed = static_cast<DWORD>(list.size());
    if (returned_length != nullptr) *returned_length = needed;
    if (path_names == nullptr || needed > length) return FailWith(kErrorMoreData);
    list.copy(path_names, list.size());
    return TRUE;
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
    if (const LinuxVolume* volume = FindByName(*table, path)) {
      directory_path = volume->mount_points.front();
    } else {
      directory_path = PathBytesFromWide(path);
    }
    if (!directory_path || directory_path->empty()) {
      return FailWith(kErrorInvalidName);
    }
    struct statvfs status;
    if (::statvfs(directory_path->c_str(), &status) != 0) {
      return FailWith(Win32ErrorFromErrno(errno, /*is_directory=*/true));
    }
    const ULONGLONG unit = status.f_frsize != 0 ? status.f_frsize : status.f_bsize;
    if (free_to_caller != nullptr) *free_to_caller = unit * status.f_bavail;
    if (total != nullptr) *total = unit * status.f_blocks;
    if (total_free != nullptr) *total_free = unit * status.f_bfree;
    return TRUE;
  }

 private:
  std::shared_ptr<const MountTable> CurrentTable() {
    std::lock_guard<std::mutex> lock(table_mutex_);
    if (!table_ || mountinfo_.MayHaveChanged()) {
      std::string text = mountinfo_.Read();
      if (!table_ || table_->mountinfo != text) {
        table_ = linux_mounts::ParseMountTable(std::move(text));
      }
    }
    return table_;
  }

  // Why a root path names no volume: kErrorDirNotRoot for a directory
  // that is not a mount point, as kernel32 says of C:\Windows\.
  static DWORD NotARootError(WideStringView root) {
    const std::optional<std::string> path =
        PathBytesFromWide(WithoutTrailingBackslash(root));
    struct stat status;
    if (path && !path->empty() && ::stat(path->c_str(), &status) == 0) {
      return kErrorDirNotRoot;
    }
    return kErrorPathNotFound;
  }

  std::mutex table_mutex_;
  linux_mounts::MountinfoFile mountinfo_;
  std::shared_ptr<const MountTable> table_;
  EnumerationTable<MountTable> enumerations_;
};

}  // namespace

Backend& NativeBackend() {
  static LinuxMachine machine;
  return machine;
}

}  // namespace platform
