// Everything that start-up establishes and the rest of the module reads: the
// module's namespace, windows.winwrap's entry point, the private tables and
// the interned names.
#pragma once

#include <Python.h>

#include <cstdint>

#include "windows/refs.h"
#include "windows/winwrap_capi.h"

namespace volumes {

// Strings the module uses as names, interned at start-up: names.LOGGER is
// the interned "LOGGER".
#define VOLUMES_NAMES(X) \
  X(DRIVE_TYPE_MAP) X(DeviceType) X(FindVolumeID) X(GetMonotonicTime) \
  X(GetVolumeEntryForVolumeID) X(LOGGER) X(Lock) X(Singleton) X(UNKNOWN) \
  X(VOLUME_NAME_GUID_MATCHER) X(VolumeEntry) X(WindowsError) \
  X(_FindVolumeIDForDeviceNumber) X(_ListVolumeNames) \
  X(_PopulateVolumeTable) X(_VolumeIDFromSerialNumber) X(__enter__) \
  X(__exit__) X(__import__) X(_lock) X(_volume_entries) X(_volume_ids) \
  X(compile) X(copy) X(debug) X(encode) X(error) X(exception) X(get) \
  X(getLogger) X(group) X(handle) X(info) X(key) X(len) X(lower) X(match) \
  X(platform_utils) X(service) X(sort) X(st_dev) X(utils) X(volume) \
  X(volume_entry) X(ascii) X(mountpoint) X(device_file) X(device_number) \
  X(uuid) X(model) X(device_type) X(label) X(filesystem) X(size)

struct Names {
#define VOLUMES_DECLARE_NAME(name) PyObject* name;
  VOLUMES_NAMES(VOLUMES_DECLARE_NAME)
#undef VOLUMES_DECLARE_NAME
};

// What start-up establishes.  It lives as long as the process: the
// interpreter never unloads an extension module, and a start-up that runs
// again after a failed one replaces it.
struct ModuleState {
  ProcessRef globals;      // the module's namespace
  ProcessRef module_name;  // "windows.volumes"

  // windows.winwrap's RaiseWindowsError; null until start-up has found it,
  // since the functions of the method table outlive a failed start-up.
  ProcessRef winwrap_capsule;
  const WinwrapCApi* winwrap = nullptr;

  // _FAT_FILESYSTEMS: "fat32" and "exfat", the FAT family by lower-case
  // filesystem name.
  ProcessRef fat_filesystems;
  // _IS_FAT_CACHE: volume ID to True or False, for every volume asked about
  // since the last rebuild of the volume table.  Failed queries are never
  // stored.
  ProcessRef is_fat_cache;
  // "serial:%s", the one format of volume IDs.
  ProcessRef volume_id_format;
  // The module's own _VolumeIDFromSerialNumber, as start-up bound it: while
  // the namespace still holds this object, the module calls it directly.
  ProcessRef own_volume_id_function;
  // The interned IDs of the exact int and long serial numbers asked about
  // lately, so that the common case neither formats nor interns: a table of
  // slots indexed by the serial number's hash, each holding the last ID
  // made there and a reference to it.
  struct VolumeIDSlot {
    long long serial_number = 0;
    PyObject* volume_id = nullptr;  // null: empty
  };
  static constexpr int kVolumeIDSlotBits = 10;
  VolumeIDSlot volume_ids_by_serial[1 << kVolumeIDSlotBits] = {};
  // posix.stat_result (nt.stat_result on Windows), whose st_dev is read by
  // position; null where the interpreter has none.
  ProcessRef stat_result_type;
  Py_ssize_t st_dev_index = 0;

  // Interned names.  Each is kept by a reference of this module for the
  // life of the process, so it stays interned and its pointer stays valid.
  Names names = {};
};

// The one module state of the process (module_state.cpp).
extern ModuleState module_state;

inline ModuleState& State() { return module_state; }
inline const Names& names() { return module_state.names; }

}  // namespace volumes
