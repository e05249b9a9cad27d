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

// What a probe of a device found.
struct Probe {
  DeviceIdentity identity;
  // This process may not open the device (an ordinary user and a disk):
  // what the system publishes stands in, so that every user sees the same
  // label and UUID.
  bool refused = false;
};

// Probes the device at `source`.  It reads the device, which may wait (a
// dying disk, a loop device over a network file): it touches nothing but
// its own, so that it can be asked on a waiter (deadline.h).
Probe ProbeDevice(const std::string& source);

}  // namespace platform::linux_mounts
