#include "windows/module_state.h"

namespace volumes {

ModuleState module_state;

namespace names {
#define VOLUMES_DEFINE_NAME(name) Name name(#name);
VOLUMES_NAMES(VOLUMES_DEFINE_NAME)
#undef VOLUMES_DEFINE_NAME
}  // namespace names

}  // namespace volumes
