// The simulated machine: machines described in JSON files, answering the
// kernel32 volume calls.
//
// The answer to every call is a public interface, documented in
// docs/simulated-machine.md.  Every call reads the file as it is at that call
// and appends one line to the journal named by VOLUMES_SIMULATION_JOURNAL.
#pragma once

#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/machine.h"
#include "platform/machine_description.h"
#include "platform/system_access.h"

namespace platform::simulation {

// One object for the process (for_the_process.h), which owns the last
// description parsed and the journal.  Each call names its machine file: At
// is the Machine that answers one call from the file at one path.
class SimulatedMachine {
 public:
  class At;

 private:
  // The last file read, kept while its path and identity stay the same.
  struct ParsedFile {
    std::string path;
    FileIdentity identity;
    std::shared_ptr<const MachineDescription> machine;  // null: unusable
    std::string problem;
  };

  // The machine that the file at `path` describes now; null, after writing
  // the reason to standard error, when the file cannot be used.
  std::shared_ptr<const MachineDescription> Load(const std::string& path);
  std::shared_ptr<const ParsedFile> CurrentFile(const std::string& path);
  // Appends the call's line to the journal, where there is one.
  void Journal(std::initializer_list<std::string> fields);

  std::mutex parsed_mutex_;
  std::shared_ptr<const ParsedFile> parsed_;
  AppendedFile journal_;
};

class SimulatedMachine::At final : public Machine {
 public:
  At(SimulatedMachine& simulated, const std::string& path)
      : simulated_(simulated), path_(path) {}

  std::optional<VolumeListing> ListVolumes(DWORD length) override;
  BOOL AdmitFindNextVolume(HANDLE find, DWORD length) override;
  BOOL AdmitFindVolumeClose(HANDLE find) override;
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
  // What every call does first: its line in the journal, then the file
  // read.  answer(machine) answers from a usable file; an unusable one
  // makes the call return `refused` with kErrorBadConfiguration.
  template <class Result, class Answer>
  Result Answered(std::initializer_list<std::string> journal_line,
                  Result refused, Answer&& answer) {
    simulated_.Journal(journal_line);
    const std::shared_ptr<const MachineDescription> machine =
        simulated_.Load(path_);
    if (!machine) {
      SetLastError(kErrorBadConfiguration);
      return refused;
    }
    return answer(*machine);
  }

  // The `milliseconds` that a call about `volume` takes, within the
  // deadline (deadline.h): false, with kErrorTimeout, when it passes first
  // or the volume is stuck.
  bool Stall(const Volume& volume, std::uint32_t milliseconds) const;
  // The volume's outputs of GetVolumeInformationW and its by-handle form.
  BOOL WriteVolumeInformation(const Volume& volume,
                              const VolumeInformationOutputs& outputs) const;

  SimulatedMachine& simulated_;
  const std::string& path_;
};

}  // namespace platform::simulation
