#include "windows/module_state.h"

namespace volumes {

ModuleState module_state;

}  // namespace volumes
