// The real Linux machine, in kernel32's terms.
//
// A volume is one mounted filesystem, keyed by the device number that stat()
// reports for the files on it, that a user would call storage: filesystems
// on block devices, network and FUSE filesystems, RAM filesystems (tmpfs,
// ramfs) and the root filesystem whatever its type.  Kernel pseudo
// filesystems (proc, sysfs, cgroup, devpts, ...) are not volumes.
//
//   volume GUID path  \\?\Volume{<filesystem UUID>}\, or a GUID made from the
//                     device number where the filesystem has no UUID
//   mount points      every visible mount of that device, with a trailing
//                     '/', in mount-table order (bind mounts included)
//   serial number     the device number, when it fits 32 bits; a volume
//                     whose device number does not fit has no serial number
//                     to give, and its volume information fails with
//                     ERROR_ARITHMETIC_OVERFLOW rather than report a number
//                     that stat() would never show
//   root paths        a GUID path or a mount point, ending in a backslash;
//                     handles are file descriptors
//
// The mount table comes from libmount, labels, UUIDs and FAT versions from
// libblkid, removable flags from sysfs.  A table is kept until the kernel
// reports a change of /proc/self/mountinfo.
#include <blkid/blkid.h>
#include <fcntl.h>
#include <poll.h>
#include <libmount/libmount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/backend.h"
#include "platform/enumeration_table.h"
#include "platform/linux_errors.h"
#include "platform/wide_string.h"

namespace platform {
namespace {

struct LinuxVolume {
  dev_t device = 0;                       // st_dev of its files
  WideString name;                        // its volume GUID path
  std::vector<std::string> mount_points;  // each ending in '/'
  WideString filesystem;                  // as Windows names it, if it can
  WideString label;
  UINT drive_type = DRIVE_UNKNOWN;
};

struct MountTable {
  std::string mountinfo;  // the text it was read from
  std::vector<LinuxVolume> volumes;
};

// --- Reading the mount table --------------------------------------------------

struct TableDeleter {
  void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
struct IterDeleter {
  void operator()(libmnt_iter* iter) const { mnt_free_iter(iter); }
};
struct ProbeDeleter {
  void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// /proc/self/mountinfo, kept open: the kernel flags an open mountinfo file
// with POLLPRI after every change to the mount table, until it is read
// again, so an unchanged table costs one poll() instead of a read.
class MountinfoFile {
 public:
  MountinfoFile(const MountinfoFile&) = delete;
  MountinfoFile& operator=(const MountinfoFile&) = delete;
  MountinfoFile() = default;
  ~MountinfoFile() { Close(); }

  // False when the table cannot have changed since the last Read().
  bool MayHaveChanged() {
    if (fd_ < 0 || owner_ != ::getpid()) return true;
    struct pollfd watch = {fd_, POLLPRI, 0};
    return ::poll(&watch, 1, 0) != 0;
  }

  std::string Read() {
    if (owner_ != ::getpid()) Close();  // a forked child sees its own table
    if (fd_ < 0) {
      fd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
      owner_ = ::getpid();
    }
    std::string text;
    if (fd_ < 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return text;
    char chunk[8192];
    ssize_t count;
    while ((count = ::read(fd_, chunk, sizeof chunk)) > 0) text.append(chunk, count);
    if (count < 0) Close();  // read again from scratch next time
    return text;
  }

 private:
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
  pid_t owner_ = 0;
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

// Whether a mount holds what a user would call storage.
bool IsStorage(libmnt_fs* fs, std::string_view type, dev_t mount_device) {
  const char* target = mnt_fs_get_target(fs);
  if (target != nullptr && std::strcmp(target, "/") == 0) return true;
  if (IsRamFilesystem(type) || IsFuse(type) || mnt_fs_is_netfs(fs)) return true;
  if (mnt_fs_is_pseudofs(fs)) return false;
  const char* source = mnt_fs_get_srcpath(fs);
  struct stat source_status;
  return major(mount_device) != 0 ||
         (source != nullptr && ::stat(source, &source_status) == 0 &&
          S_ISBLK(source_status.st_mode));
}

// The device number of the files at a mount's root, when that mount is the
// one seen at its target (not hidden by a later mount over it) and is a
// directory.  statx() names the mount a path resolves to; where the kernel
// cannot, the device numbers of mount table and stat() must agree.
std::optional<dev_t> VisibleRootDevice(libmnt_fs* fs) {
  const char* target = mnt_fs_get_target(fs);
  if (target == nullptr) return std::nullopt;
  struct statx status;
  if (::statx(AT_FDCWD, target, 0, STATX_TYPE | STATX_MNT_ID, &status) != 0 ||
      !S_ISDIR(status.stx_mode)) {
    return std::nullopt;
  }
  const dev_t device = makedev(status.stx_dev_major, status.stx_dev_minor);
  const bool visible =
      (status.stx_mask & STATX_MNT_ID) != 0
          ? status.stx_mnt_id == static_cast<std::uint64_t>(mnt_fs_get_id(fs))
          : device == mnt_fs_get_devno(fs);
  if (!visible) return std::nullopt;
  return device;
}

// What libblkid finds on a device or filesystem image.
struct Probe {
  std::string type;
  std::string version;  // "FAT32", "FAT16", ...
  std::string uuid;
  std::string label;
};

Probe ProbeSource(const char* source) {
  Probe probe;
  struct stat status;
  if (source == nullptr || ::stat(source, &status) != 0 ||
      !(S_ISBLK(status.st_mode) || S_ISREG(status.st_mode))) {
    return probe;
  }
  std::unique_ptr<blkid_struct_probe, ProbeDeleter> blkid(
      blkid_new_probe_from_filename(source));
  if (!blkid) return probe;
  blkid_probe_enable_superblocks(blkid.get(), 1);
  blkid_probe_set_superblocks_flags(
      blkid.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID |
                       BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
  if (blkid_do_safeprobe(blkid.get()) != 0) return probe;
  auto value = [&](const char* name) {
    const char* data = nullptr;
    return blkid_probe_lookup_value(blkid.get(), name, &data, nullptr) == 0 &&
                   data != nullptr
               ? std::string(data)
               : std::string();
  };
  probe.type = value("TYPE");
  probe.version = value("VERSION");
  probe.uuid = value("UUID");
  probe.label = value("LABEL");
  return probe;
}

// The filesystem's format: a FUSE mount's type names its driver, and the
// format is what blkid finds in its source.
std::string FilesystemType(std::string_view mount_type, const Probe& probe) {
  return std::string(IsFuse(mount_type) && !probe.type.empty() ? probe.type
                                                                : mount_type);
}

// Windows' name where it has one (NTFS, FAT32, FAT, exFAT), else Linux's.
std::string WindowsFilesystemName(std::string_view type, const Probe& probe) {
  if (type == "vfat" || type == "msdos") {
    return probe.version == "FAT32" ? "FAT32" : "FAT";
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

UINT DriveType(libmnt_fs* fs, std::string_view type) {
  if (mnt_fs_is_netfs(fs)) return DRIVE_REMOTE;
  if (IsRamFilesystem(type)) return DRIVE_RAMDISK;
  if (type == "iso9660" || type == "udf") return DRIVE_CDROM;
  const char* source = mnt_fs_get_srcpath(fs);
  struct stat status;
  if (source == nullptr || ::stat(source, &status) != 0 ||
      !S_ISBLK(status.st_mode)) {
    return DRIVE_UNKNOWN;
  }
  const std::string block = "/sys/dev/block/" +
                            std::to_string(major(status.st_rdev)) + ":" +
                            std::to_string(minor(status.st_rdev));
  // SCSI peripheral type 5 is a CD-ROM drive.
  if (ReadSysfs(block + "/device/type") == "5") return DRIVE_CDROM;
  // A partition's removable flag is its disk's.
  const bool partition = !ReadSysfs(block + "/partition").empty();
  const std::string removable =
      ReadSysfs(block + (partition ? "/../removable" : "/removable"));
  return removable == "1" ? DRIVE_REMOVABLE : DRIVE_FIXED;
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

// The filesystem's UUID where it has one that no earlier volume took (a
// cloned disk, a second btrfs subvolume), otherwise one from the device.
WideString VolumeName(const std::string& uuid, dev_t device,
                      const std::vector<LinuxVolume>& earlier) {
  std::string guid = uuid;
  for (const LinuxVolume& volume : earlier) {
    if (IsGuidText(guid) && volume.name == WideFromUtf8("\\\\?\\Volume{" + guid + "}\\")) {
      guid.clear();
    }
  }
  if (!IsGuidText(guid)) {
    char text[40];
    std::snprintf(text, sizeof text, "%08x-0000-0000-0000-%012llx",
                  static_cast<unsigned>(major(device)),
                  static_cast<unsigned long long>(minor(device)));
    guid = text;
  }
  return WideFromUtf8("\\\\?\\Volume{" + guid + "}\\");
}

std::shared_ptr<const MountTable> ParseMountTable(std::string mountinfo) {
  auto result = std::make_shared<MountTable>();
  result->mountinfo = std::move(mountinfo);
  std::unique_ptr<std::FILE, FileCloser> stream(fmemopen(
      result->mountinfo.data(), result->mountinfo.size(), "r"));
  std::unique_ptr<libmnt_table, TableDeleter> table(mnt_new_table());
  if (!stream || !table ||
      mnt_table_parse_stream(table.get(), stream.get(), "/proc/self/mountinfo") != 0) {
    return result;
  }
  std::unique_ptr<libmnt_iter, IterDeleter> iter(mnt_new_iter(MNT_ITER_FORWARD));
  libmnt_fs* fs = nullptr;
  while (iter && mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
    const char* fstype = mnt_fs_get_fstype(fs);
    const std::string_view type = fstype != nullptr ? fstype : "";
    const std::optional<dev_t> device = VisibleRootDevice(fs);
    if (!device || !IsStorage(fs, type, mnt_fs_get_devno(fs))) continue;

    std::string mount_point = mnt_fs_get_target(fs);
    if (mount_point.back() != '/') mount_point += '/';
    LinuxVolume* volume = nullptr;
    for (LinuxVolume& known : result->volumes) {
      if (known.device == *device) volume = &known;
    }
    if (volume == nullptr) {
      const Probe probe = ProbeSource(mnt_fs_get_srcpath(fs));
      const std::string filesystem_type = FilesystemType(type, probe);
      LinuxVolume fresh;
      fresh.device = *device;
      fresh.name = VolumeName(probe.uuid, *device, result->volumes);
      fresh.filesystem =
          WideFromUtf8(WindowsFilesystemName(filesystem_type, probe));
      fresh.label = WideFromPathBytes(probe.label);
      fresh.drive_type = DriveType(fs, filesystem_type);
      result->volumes.push_back(std::move(fresh));
      volume = &result->volumes.back();
    }
    bool listed = false;
    for (const std::string& known : volume->mount_points) {
      listed = listed || known == mount_point;
    }
    if (!listed) volume->mount_points.push_back(std::move(mount_point));
  }
  return result;
}

// --- Answers --------------------------------------------------------------

WideStringView WithoutTrailingBackslash(WideStringView text) {
  if (!text.empty() && text.back() == u'\\') text.remove_suffix(1);
  return text;
}

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
  DWORD flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  const WideString& name = volume.filesystem;
  const bool case_insensitive = name == WideFromUtf8("FAT32") ||
                                name == WideFromUtf8("FAT") ||
                                name == WideFromUtf8("exFAT");
  if (!case_insensitive) flags |= FILE_CASE_SENSITIVE_SEARCH;
  if ((status.f_flag & ST_RDONLY) != 0) flags |= FILE_READ_ONLY_VOLUME;
  return flags;
}

BOOL WriteVolumeInformation(const LinuxVolume& volume,
                            const struct statvfs& status,
                            const VolumeInformationOutputs& outputs) {
  if (static_cast<std::uint64_t>(volume.device) > 0xFFFFFFFFu) {
    return FailWith(ERROR_ARITHMETIC_OVERFLOW);
  }
  return outputs.Write(volume.label, static_cast<DWORD>(volume.device),
                       static_cast<DWORD>(status.f_namemax),
                       FileSystemFlags(volume, status), volume.filesystem);
}

class LinuxMachine final : public Backend {
 public:
  HANDLE FindFirstVolumeW(WCHAR* name, DWORD length) override {
    auto table = CurrentTable();
    if (table->volumes.empty()) {
      SetLastError(ERROR_NO_MORE_FILES);
      return InvalidHandleValue();
    }
    if (!CopyWithNul(table->volumes.front().name, name, length)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return InvalidHandleValue();
    }
    return enumerations_.Open(std::move(table));
  }

  BOOL FindNextVolumeW(HANDLE find, WCHAR* name, DWORD length) override {
    DWORD error = ERROR_SUCCESS;
    const bool open = enumerations_.With(find, [&](auto& enumeration) {
      const auto& volumes = enumeration.snapshot->volumes;
      if (enumeration.next >= volumes.size()) {
        error = ERROR_NO_MORE_FILES;
      } else if (!CopyWithNul(volumes[enumeration.next].name, name, length)) {
        error = ERROR_FILENAME_EXCED_RANGE;
      } else {
        ++enumeration.next;
      }
    });
    if (!open) return FailWith(ERROR_INVALID_HANDLE);
    return error == ERROR_SUCCESS ? TRUE : FailWith(error);
  }

  BOOL FindVolumeClose(HANDLE find) override {
    return enumerations_.Close(find) ? TRUE : FailWith(ERROR_INVALID_HANDLE);
  }

  BOOL GetVolumeInformationW(const WCHAR* root, WCHAR* label,
                             DWORD label_size, DWORD* serial,
                             DWORD* max_component_length, DWORD* flags,
                             WCHAR* filesystem,
                             DWORD filesystem_size) override {
    const WideStringView root_path = WideView(root);
    if (root_path.empty() || root_path.back() != u'\\') {
      return FailWith(ERROR_INVALID_NAME);
    }
    const auto table = CurrentTable();
    const LinuxVolume* volume = FindByRoot(*table, root_path);
    if (volume == nullptr) return FailWith(NotARootError(root_path));
    struct statvfs status;
    if (::statvfs(volume->mount_points.front().c_str(), &status) != 0) {
      return FailWith(Win32ErrorFromErrno(errno));
    }
    return WriteVolumeInformation(
        *volume, status,
        {label, label_size, serial, max_component_length, flags, filesystem,
         filesystem_size});
  }

  BOOL GetVolumeInformationByHandleW(HANDLE file, WCHAR* label,
                                     DWORD label_size, DWORD* serial,
                                     DWORD* max_component_length,
                                     DWORD* flags, WCHAR* filesystem,
                                     DWORD filesystem_size) override {
    const auto value = reinterpret_cast<std::intptr_t>(file);
    struct stat file_status;
    struct statvfs status;
    if (value < 0 || value > INT32_MAX ||
        ::fstat(static_cast<int>(value), &file_status) != 0 ||
        ::fstatvfs(static_cast<int>(value), &status) != 0) {
      return FailWith(ERROR_INVALID_HANDLE);
    }
    const auto table = CurrentTable();
    for (const LinuxVolume& volume : table->volumes) {
      if (volume.device == file_status.st_dev) {
        return WriteVolumeInformation(
            volume, status,
            {label, label_size, serial, max_component_length, flags,
             filesystem, filesystem_size});
      }
    }
    // An open pipe, socket or file of a pseudo filesystem: no volume.
    return FailWith(ERROR_INVALID_FUNCTION);
  }

  BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* volume_name,
                                        WCHAR* path_names, DWORD length,
                                        DWORD* returned_length) override {
    const auto table = CurrentTable();
    const LinuxVolume* volume = FindByName(*table, WideView(volume_name));
    if (volume == nullptr) return FailWith(ERROR_FILE_NOT_FOUND);
    WideString list;
    for (const std::string& mount_point : volume->mount_points) {
      list += WideFromPathBytes(mount_point);
      list += WCHAR(0);
    }
    list += WCHAR(0);
    const auto needed = static_cast<DWORD>(list.size());
    if (returned_length != nullptr) *returned_length = needed;
    if (path_names == nullptr || needed > length) return FailWith(ERROR_MORE_DATA);
    list.copy(path_names, list.size());
    return TRUE;
  }

  UINT GetDriveTypeW(const WCHAR* root) override {
    const auto table = CurrentTable();
    const LinuxVolume* volume = FindByRoot(*table, WideView(root));
    return volume == nullptr ? DRIVE_NO_ROOT_DIR : volume->drive_type;
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
      return FailWith(ERROR_INVALID_NAME);
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
        table_ = ParseMountTable(std::move(text));
      }
    }
    return table_;
  }

  // Why a root path names no volume: ERROR_DIR_NOT_ROOT for a directory
  // that is not a mount point, as kernel32 says of C:\Windows\.
  static DWORD NotARootError(WideStringView root) {
    const std::optional<std::string> path =
        PathBytesFromWide(WithoutTrailingBackslash(root));
    struct stat status;
    if (path && !path->empty() && ::stat(path->c_str(), &status) == 0) {
      return ERROR_DIR_NOT_ROOT;
    }
    return ERROR_PATH_NOT_FOUND;
  }

  std::mutex table_mutex_;
  MountinfoFile mountinfo_;
  std::shared_ptr<const MountTable> table_;
  EnumerationTable<MountTable> enumerations_;
};

}  // namespace

Backend& NativeBackend() {
  static LinuxMachine machine;
  return machine;
}

}  // namespace platform
