#include "windows/module_state.h"

namespace volumes {

ModuleState module_state;

namespace global {
Name LOGGER("LOGGER");
Name DRIVE_TYPE_MAP("DRIVE_TYPE_MAP");
Name VOLUME_NAME_GUID_MATCHER("VOLUME_NAME_GUID_MATCHER");
Name volume_entry("volume_entry");
Name utils("utils");
Name platform_utils("platform_utils");
}  // namespace global

}  // namespace volumes
