// The simulated machine's file format: a machine description, read from the
// file's JSON text.
//
// The format is a public interface, documented in
// docs/simulated-machine.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/volume_listing.h"
#include "platform/wide_string.h"
#include "platform/win32_types.h"

namespace platform::simulation {

struct PathsFailure {
  DWORD code;
  DWORD returned_length;
};

// How long each call about a volume takes once it has found the volume, in
// milliseconds: a volume that stops answering.
struct Stalls {
  std::uint32_t paths = 0;
  std::uint32_t info = 0;
  std::uint32_t drive_type = 0;
  std::uint32_t capacity = 0;
};

struct Volume {
  WideString name;
  std::vector<WideString> paths;
  WideString label;
  DWORD serial = 0;
  DWORD max_component_length = 255;
  DWORD flags = 0;
  WideString filesystem = WideFromUtf8("NTFS");
  UINT drive_type = kDriveFixed;
  ULONGLONG total_bytes = 0;
  std::vector<std::int64_t> handles;
  std::optional<PathsFailure> fail_paths;
  std::optional<DWORD> fail_info;
  std::optional<DWORD> fail_capacity;
  Stalls stall;
};

// What a machine file describes; an enumeration walks its volumes, in this
// order.
struct MachineDescription {
  std::vector<Volume> volumes;
  std::optional<DWORD> find_first_error;
  std::optional<FindNextFailure> find_next_error;

  // Lookups that keep a refresh linear in the number of volumes, made by
  // ParseMachineDescription: each name and path, without its trailing
  // backslash, to the first volume that has it; each handle value to the
  // first volume that lists it.
  std::unordered_map<WideString, std::size_t> volume_by_name_or_path;
  std::unordered_map<std::int64_t, std::size_t> volume_by_handle;
};

// Why a machine file cannot be used; what() names the key or position at
// fault, as in "volumes[2].serial: must be an integer from 0 to 4294967295".
class MachineFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The largest machine file read, in bytes; a larger one is refused unread.
inline constexpr std::size_t kMachineFileSizeLimit = 16 * 1024 * 1024;

// Reads a machine file's text, refusing anything the format does not allow.
MachineDescription ParseMachineDescription(std::string_view json_text);

// The first volume whose name, or one of whose paths, equals `name_or_path`
// once one trailing backslash is dropped from both sides; null when none.
const Volume* FindVolume(const MachineDescription& machine,
                         WideStringView name_or_path);

}  // namespace platform::simulation
