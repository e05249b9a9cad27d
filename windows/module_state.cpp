#include "windows/module_state.h"

#include "windows/error_boundary.h"

namespace volumes {

ModuleState module_state;

void BindGlobal(PyObject* name, OwnedRef value) {
  Check(PyDict_SetItem(State().globals.get(), name, value.get()));
}

namespace global {
Name LOGGER("LOGGER");
Name volume_entry("volume_entry");
Name utils("utils");
Name platform_utils("platform_utils");
}  // namespace global

}  // namespace volumes
