// What a block device's filesystem says of itself (its format, FAT
// version, UUID and label), as libblkid finds it on the device or, where
// this process may not open the device, as the system publishes it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

struct blkid_struct_cache;

namespace platform::linux_mounts {

struct DeviceIdentity {
  std::string type;
  std::string version;  // "FAT32", "FAT16", ...
  std::string uuid;
  std::string label;
};

// Identities that need no access to the devices: libblkid's cache (as
// BLKID_FILE or libblkid's configuration names it) and udev's
// /dev/disk/by-uuid and /dev/disk/by-label links.  The cache is read at
// most once per object: one per table.
class PublishedIdentities {
 public:
  PublishedIdentities();
  ~PublishedIdentities();
  PublishedIdentities(const PublishedIdentities&) = delete;
  PublishedIdentities& operator=(const PublishedIdentities&) = delete;

  DeviceIdentity Find(const std::string& device_path, dev_t device);

 private:
  struct CacheDeleter {
    void operator()(blkid_struct_cache* cache) const;
  };

  void FromCache(const std::string& device_path, dev_t device,
                 DeviceIdentity& identity);

  bool cache_tried_ = false;
  std::unique_ptr<blkid_struct_cache, CacheDeleter> cache_;
};

// Probes the device at `source`; where this process may not open it (an
// ordinary user and a disk), takes what the system publishes instead, so
// that every user sees the same label and UUID.
DeviceIdentity IdentifyDevice(const char* source, dev_t device,
                              PublishedIdentities& published);

}  // namespace platform::linux_mounts
