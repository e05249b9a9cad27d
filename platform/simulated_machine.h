// A machine described in a JSON file, answering the kernel32 volume calls.
//
// The answer to every call is a public interface, documented in the README
// ("Simulated machines").  Every call reads the file as it is at that call,
// appends one line to the journal named by VOLUMES_SIMULATION_JOURNAL, and
// an enumeration walks the volume list that its FindFirstVolumeW read.
#pragma once

#include <memory>
#include <string>

#include "platform/backend.h"
#include "platform/machine_file.h"

namespace platform::simulation {

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
  BOOL GetVolumeInformationW(const WCHAR* root,
                             const VolumeInformationOutputs& outputs) override;
  BOOL GetVolumeInformationByHandleW(
      HANDLE file, const VolumeInformationOutputs& outputs) override;
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
