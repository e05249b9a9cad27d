#include "platform/device_identity.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

namespace platform::linux_mounts {
namespace {

struct ProbeDeleter {
  void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};
struct DirCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
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

bool IsBlockDevice(const char* path, dev_t device) {
  struct stat status;
  return ::stat(path, &status) == 0 && S_ISBLK(status.st_mode) &&
         status.st_rdev == device;
}

// The name of the link in `directory` to the block device, decoded.
std::string FromLinks(const char* directory, dev_t device) {
  std::unique_ptr<DIR, DirCloser> links(::opendir(directory));
  while (links) {
    const dirent* entry = ::readdir(links.get());
    if (entry == nullptr) break;
    if (entry->d_name[0] == '.') continue;
    const std::string path = std::string(directory) + "/" + entry->d_name;
    if (IsBlockDevice(path.c_str(), device)) return DecodeUdevName(entry->d_name);
  }
  return std::string();
}

// The cache's entry for the device, which it may name otherwise
// (/dev/mapper/x, /dev/dm-0); null when it has none.
blkid_dev CachedDevice(blkid_cache cache, const std::string& device_path,
                       dev_t device) {
  blkid_dev found = blkid_get_dev(cache, device_path.c_str(), BLKID_DEV_FIND);
  if (found != nullptr) return found;
  blkid_dev_iterate devices = blkid_dev_iterate_begin(cache);
  blkid_dev candidate = nullptr;
  while (found == nullptr && devices != nullptr &&
         blkid_dev_next(devices, &candidate) == 0) {
    if (IsBlockDevice(blkid_dev_devname(candidate), device)) found = candidate;
  }
  blkid_dev_iterate_end(devices);
  return found;
}

}  // namespace

void PublishedIdentities::CacheDeleter::operator()(blkid_struct_cache* cache) const {
  blkid_put_cache(cache);
}

PublishedIdentities::PublishedIdentities() = default;
PublishedIdentities::~PublishedIdentities() = default;

DeviceIdentity PublishedIdentities::Find(const std::string& device_path,
                                         dev_t device) {
  DeviceIdentity identity;
  FromCache(device_path, device, identity);
  if (identity.uuid.empty()) identity.uuid = FromLinks("/dev/disk/by-uuid", device);
  if (identity.label.empty()) identity.label = FromLinks("/dev/disk/by-label", device);
  return identity;
}

void PublishedIdentities::FromCache(const std::string& device_path,
                                    dev_t device, DeviceIdentity& identity) {
  if (!cache_tried_) {
    cache_tried_ = true;
    blkid_cache cache = nullptr;
    if (blkid_get_cache(&cache, nullptr) == 0) cache_.reset(cache);
  }
  if (!cache_) return;
  const blkid_dev found = CachedDevice(cache_.get(), device_path, device);
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

Probe ProbeDevice(const std::string& source) {
  Probe probe;
  DeviceIdentity& identity = probe.identity;
  std::unique_ptr<blkid_struct_probe, ProbeDeleter> blkid(
      blkid_new_probe_from_filename(source.c_str()));
  if (!blkid) {
    probe.refused = errno == EACCES || errno == EPERM;
    return probe;
  }
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
  identity.type = value("TYPE");
  identity.version = value("VERSION");
  identity.uuid = value("UUID");
  identity.label = value("LABEL");
  return probe;
}

}  // namespace platform::linux_mounts
