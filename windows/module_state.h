// What every subsystem shares, established at start-up: the module's
// namespace and the names it uses.  A subsystem's own state lives with it.
#pragma once

#include <Python.h>

#include "windows/names.h"
#include "windows/refs.h"

namespace volumes {

// Names the module uses: names::LOGGER is "LOGGER".  The calling convention
// names parameters by them.
#define VOLUMES_NAMES(X) \
  X(DRIVE_TYPE_MAP) X(DeviceType) X(FindVolumeID) X(GetMonotonicTime) \
  X(GetVolumeEntryForVolumeID) X(LOGGER) X(Lock) X(Singleton) X(UNKNOWN) \
  X(VOLUME_NAME_GUID_MATCHER) X(VolumeEntry) X(WindowsError) \
  X(_FindVolumeIDForDeviceNumber) X(_ListVolumeNames) \
  X(_PopulateVolumeTable) X(_VolumeIDFromSerialNumber) X(__enter__) \
  X(__exit__) X(__import__) X(__name__) X(_lock) X(_volume_entries) \
  X(_volume_ids) X(compile) X(copy) X(debug) X(encode) X(error) \
  X(exception) X(get) X(getLogger) X(group) X(handle) X(info) X(key) \
  X(len) X(logging) X(lower) X(match) X(platform_utils) X(re) X(service) \
  X(sort) X(st_dev) X(utils) X(volume) X(volume_entry) X(ascii) \
  X(mountpoint) X(device_file) X(device_number) X(uuid) X(model) \
  X(device_type) X(label) X(filesystem) X(size) X(self) X(path) \
  X(guid_path) X(stat_result) X(serial_number) X(force_update) \
  X(volume_id) X(current_volume_ids)

namespace names {
#define VOLUMES_DECLARE_NAME(name) extern Name name;
VOLUMES_NAMES(VOLUMES_DECLARE_NAME)
#undef VOLUMES_DECLARE_NAME
}  // namespace names

// It lives as long as the process: the interpreter never unloads an
// extension module, and a start-up that runs again after a failed one
// replaces it.
struct ModuleState {
  ProcessRef globals;  // the module's namespace
};

// The one module state of the process (module_state.cpp).
extern ModuleState module_state;

inline ModuleState& State() { return module_state; }

}  // namespace volumes
