// A machine described in a JSON file, answering the kernel32 volume calls.
//
// The file format and the answer to every call are a public interface,
// documented in the README ("Simulated machines").  Every call reads the file
// as it is at that call (a parse is kept while the file's identity stays the
// same), appends one line to the journal named by VOLUMES_SIMULATION_JOURNAL,
// and an enumeration walks the volume list that its FindFirstVolumeW read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/backend.h"
#include "platform/wide_string.h"

namespace platform::simulation {

struct PathsFailure {
  DWORD code;
  DWORD returned_length;
};

struct FindNextFailure {
  std::uint64_t after;
  DWORD code;
};

struct Volume {
  WideString name;
  std::vector<WideString> paths;
  WideString label;
  DWORD serial = 0;
  DWORD max_component_length = 255;
  DWORD flags = 0;
  WideString filesystem = WideFromUtf8("NTFS");
  UINT drive_type = DRIVE_FIXED;
  ULONGLONG total_bytes = 0;
  std::vector<std::int64_t> handles;
  std::optional<PathsFailure> fail_paths;
  std::optional<DWORD> fail_info;
  std::optional<DWORD> fail_capacity;
};

struct Machine {
  std::vector<Volume> volumes;
  std::optional<DWORD> find_first_error;
  std::optional<FindNextFailure> find_next_error;
};

// Why a machine file cannot be used; what() names the key or position at
// fault, as in "volumes[2].serial: must be an integer from 0 to 4294967295".
class MachineFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses a machine file's text, refusing anything the format does not allow.
Machine ParseMachine(std::string_view json_text);

// The first volume whose name, or one of whose paths, equals `name_or_path`
// once one trailing backslash is dropped from both sides; null when none.
const Volume* FindVolume(const Machine& machine, WideStringView name_or_path);

// The simulated machine of one file.  Cheap to make: the parsed files and the
// open enumerations are shared by every instance in the process.
class SimulatedMachine final : public Backend {
 public:
  explicit SimulatedMachine(const char* file) : file_(file) {}

  HANDLE FindFirstVolumeW(WCHAR* name, DWORD length) override;
  BOOL FindNextVolumeW(HANDLE find, WCHAR* name, DWORD length) override;
  BOOL FindVolumeClose(HANDLE find) override;
  BOOL GetVolumeInformationW(const WCHAR* root, WCHAR* label,
                             DWORD label_size, DWORD* serial,
                             DWORD* max_component_length, DWORD* flags,
                             WCHAR* filesystem,
                             DWORD filesystem_size) override;
  BOOL GetVolumeInformationByHandleW(HANDLE file, WCHAR* label,
                                     DWORD label_size, DWORD* serial,
                                     DWORD* max_component_length,
                                     DWORD* flags, WCHAR* filesystem,
                                     DWORD filesystem_size) override;
  BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* volume_name,
                                        WCHAR* path_names, DWORD length,
                                        DWORD* returned_length) override;
  UINT GetDriveTypeW(const WCHAR* root) override;
  BOOL GetDiskFreeSpaceExW(const WCHAR* directory, ULONGLONG* free_to_caller,
                           ULONGLONG* total, ULONGLONG* total_free) override;

 private:
  // The machine as the file describes it now; null, after writing the
  // reason to standard error, when the file cannot be used.
  std::shared_ptr<const Machine> Load() const;

  std::string file_;
};

}  // namespace platform::simulation
