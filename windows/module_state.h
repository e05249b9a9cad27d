// What the subsystems share, established at start-up: the module's
// namespace, and the names of the globals that start-up binds there for
// them.  Everything else that a subsystem uses, its names included, lives
// with it.
#pragma once

#include <Python.h>

#include "windows/names.h"
#include "windows/refs.h"

namespace volumes {

// It lives as long as the process: the interpreter never unloads an
// extension module, and a start-up that runs again after a failed one
// replaces it.
struct ModuleState {
  ProcessRef globals;  // the module's namespace
};

// The one module state of the process (module_state.cpp).
extern ModuleState module_state;

inline ModuleState& State() { return module_state; }

// Binds `name` (an interned string) in the module's namespace, as a
// module-level assignment does: start-up's and the subsystems' constants.
void BindGlobal(PyObject* name, OwnedRef value);

// The module's globals that start-up binds and the module's code looks up
// at each use, so that a host's rebinding takes effect at the next one.
namespace global {
extern Name LOGGER;
// The host's sibling modules common.volume_entry, common.utils and
// platforms.platform_utils.
extern Name volume_entry;
extern Name utils;
extern Name platform_utils;
}  // namespace global

}  // namespace volumes
