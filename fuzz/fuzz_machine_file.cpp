// libFuzzer target: the machine-file reader takes any bytes, and either
// makes a machine or refuses the text with a MachineFileError; nothing else
// may leave it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/machine_description.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace platform;
  using namespace platform::simulation;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const MachineDescription machine = ParseMachineDescription(text);
    // Every name and path of the machine finds a volume.
    for (const Volume& volume : machine.volumes) {
      if (FindVolume(machine, volume.name) == nullptr) __builtin_trap();
      for (const WideString& path : volume.paths) {
        if (FindVolume(machine, path) == nullptr) __builtin_trap();
      }
    }
  } catch (const MachineFileError& error) {
    if (*error.what() == '\0') __builtin_trap();  // a problem says what
  }
  return 0;
}
