#include "platform/mount_table.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <libmount/libmount.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>

namespace platform::linux_mounts {
namespace {

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
  if (mnt_fs_is_netfs(fs)) return kDriveRemote;
  if (IsRamFilesystem(type)) return kDriveRamdisk;
  if (type == "iso9660" || type == "udf") return kDriveCdrom;
  const char* source = mnt_fs_get_srcpath(fs);
  struct stat status;
  if (source == nullptr || ::stat(source, &status) != 0 ||
      !S_ISBLK(status.st_mode)) {
    return kDriveUnknown;
  }
  const std::string block = "/sys/dev/block/" +
                            std::to_string(major(status.st_rdev)) + ":" +
                            std::to_string(minor(status.st_rdev));
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

}  // namespace

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


bool MountinfoFile::MayHaveChanged() {
  if (fd_ < 0 || owner_ != ::getpid()) return true;
  struct pollfd watch = {fd_, POLLPRI, 0};
  return ::poll(&watch, 1, 0) != 0;
}

std::string MountinfoFile::Read() {
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

void MountinfoFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace platform::linux_mounts
