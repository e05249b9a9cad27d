#include "windows/module_state.h"

namespace volumes {

ModuleState module_state;

void InternNames() {
  Names& interned = module_state.names;
#define VOLUMES_INTERN_NAME(name)                       \
  interned.name = PyString_InternFromString(#name);     \
  if (interned.name == nullptr) throw PyError();
  VOLUMES_NAMES(VOLUMES_INTERN_NAME)
#undef VOLUMES_INTERN_NAME
}

}  // namespace volumes
