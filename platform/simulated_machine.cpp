#include "platform/simulated_machine.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/deadline.h"

namespace platform::simulation {
namespace {

std::string Text(const WCHAR* text) { return Utf8FromWide(WideView(text)); }

std::string Number(std::int64_t value) { return std::to_string(value); }

std::string HandleText(HANDLE handle) {
  return Number(reinterpret_cast<std::intptr_t>(handle));
}

}  // namespace

BOOL SimulatedMachine::At::WriteVolumeInformation(
    const Volume& volume, const VolumeInformationOutputs& outputs) const {
  if (!Stall(volume, volume.stall.info)) return kFalse;
  if (volume.fail_info) return FailWith(*volume.fail_info);
  return outputs.Write(volume.label, volume.serial,
                       volume.max_component_length, volume.flags,
                       volume.filesystem);
}

// ---------------------------------------------------------------------------
// The file and the journal

std::shared_ptr<const MachineDescription> SimulatedMachine::Load(
    const std::string& path) {
  const auto file = CurrentFile(path);
  if (!file->machine) {
    SayOnStandardError("volume simulation: %s: %s\n", path.c_str(),
                       file->problem.c_str());
  }
  return file->machine;
}

auto SimulatedMachine::CurrentFile(const std::string& path)
    -> std::shared_ptr<const ParsedFile> {
  const std::optional<FileIdentity> identity = IdentityOfFile(path);
  {
    std::lock_guard<std::mutex> lock(parsed_mutex_);
    if (identity && parsed_ && parsed_->path == path &&
        parsed_->identity == *identity) {
      return parsed_;
    }
  }
  auto fresh = std::make_shared<ParsedFile>();
  fresh->path = path;
  RegularFile file = ReadRegularFile(path, kMachineFileSizeLimit);
  fresh->identity = file.identity;
  fresh->problem = std::move(file.problem);
  if (fresh->problem.empty()) {
    try {
      fresh->machine = std::make_shared<const MachineDescription>(
          ParseMachineDescription(file.text));
    } catch (const MachineFileError& error) {
      fresh->problem = error.what();
    }
  }
  std::lock_guard<std::mutex> lock(parsed_mutex_);
  parsed_ = fresh;
  return fresh;
}

void SimulatedMachine::Journal(std::initializer_list<std::string> fields) {
  const std::string path = EnvironmentValue("VOLUMES_SIMULATION_JOURNAL");
  if (path.empty()) return;
  std::string line;
  for (const auto& field : fields) {
    if (!line.empty()) line += '\t';
    line += field;
  }
  line += '\n';
  if (!journal_.Append(path, line)) {
    SayOnStandardError("volume simulation: cannot write the journal %s: %s\n",
                       path.c_str(), std::strerror(errno));
  }
}

// ---------------------------------------------------------------------------
// Answers

bool SimulatedMachine::At::Stall(const Volume& volume,
                                 std::uint32_t milliseconds) const {
  if (milliseconds == 0) return true;
  // The volume of one file: the same name in another file is another
  // machine's volume.
  const VolumeKey key = path_ + '\n' + Utf8FromWide(volume.name);
  return AskWithin(key, QueryTimeoutMs(), [milliseconds] {
           std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
           return true;
         }).has_value();
}

std::optional<VolumeListing> SimulatedMachine::At::ListVolumes(DWORD length) {
  return Answered(
      {"FindFirstVolumeW", Number(length)}, std::optional<VolumeListing>(),
      [&](const MachineDescription& machine) -> std::optional<VolumeListing> {
        if (machine.find_first_error) {
          SetLastError(*machine.find_first_error);
          return std::nullopt;
        }
        VolumeListing listing;
        listing.names.reserve(machine.volumes.size());
        for (const Volume& volume : machine.volumes) {
          listing.names.push_back(volume.name);
        }
        listing.find_next_failure = machine.find_next_error;
        return listing;
      });
}

BOOL SimulatedMachine::At::AdmitFindNextVolume(HANDLE find, DWORD length) {
  return Answered({"FindNextVolumeW", HandleText(find), Number(length)},
                  kFalse, [](const MachineDescription&) { return kTrue; });
}

BOOL SimulatedMachine::At::AdmitFindVolumeClose(HANDLE find) {
  return Answered({"FindVolumeClose", HandleText(find)}, kFalse,
                  [](const MachineDescription&) { return kTrue; });
}

BOOL SimulatedMachine::At::GetVolumeInformationW(
    const WCHAR* root, const VolumeInformationOutputs& outputs) {
  return Answered({"GetVolumeInformationW", Text(root)}, kFalse,
                  [&](const MachineDescription& machine) {
                    const WideStringView root_path = WideView(root);
                    if (!IsRootPath(root_path)) {
                      return FailWith(kErrorInvalidName);
                    }
                    const Volume* volume = FindVolume(machine, root_path);
                    if (volume == nullptr) return FailWith(kErrorPathNotFound);
                    return WriteVolumeInformation(*volume, outputs);
                  });
}

BOOL SimulatedMachine::At::GetVolumeInformationByHandleW(
    HANDLE file, const VolumeInformationOutputs& outputs) {
  return Answered(
      {"GetVolumeInformationByHandleW", HandleText(file)}, kFalse,
      [&](const MachineDescription& machine) {
        const auto value =
            static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(file));
        const auto found = machine.volume_by_handle.find(value);
        if (found == machine.volume_by_handle.end()) {
          return FailWith(kErrorInvalidHandle);
        }
        return WriteVolumeInformation(machine.volumes[found->second], outputs);
      });
}

BOOL SimulatedMachine::At::GetVolumePathNamesForVolumeNameW(
    const WCHAR* volume_name, WCHAR* path_names, DWORD length,
    DWORD* returned_length) {
  return Answered(
      {"GetVolumePathNamesForVolumeNameW", Text(volume_name), Number(length)},
      kFalse, [&](const MachineDescription& machine) {
        const Volume* volume = FindVolume(machine, WideView(volume_name));
        if (volume == nullptr) return FailWith(kErrorFileNotFound);
        if (!Stall(*volume, volume->stall.paths)) {
          return PathNamesNotAnswered(length, returned_length);
        }
        if (volume->fail_paths) {
          if (returned_length != nullptr) {
            *returned_length = volume->fail_paths->returned_length;
          }
          return FailWith(volume->fail_paths->code);
        }
        return WritePathNames(volume->paths, path_names, length,
                              returned_length);
      });
}

UINT SimulatedMachine::At::GetDriveTypeW(const WCHAR* root) {
  return Answered({"GetDriveTypeW", Text(root)}, kDriveUnknown,
                  [&](const MachineDescription& machine) {
                    const Volume* volume = FindVolume(machine, WideView(root));
                    if (volume == nullptr) return kDriveNoRootDir;
                    // GetDriveTypeW has no failure: a volume that does not
                    // answer is of a type unknown.
                    if (!Stall(*volume, volume->stall.drive_type)) {
                      return kDriveUnknown;
                    }
                    return volume->drive_type;
                  });
}

BOOL SimulatedMachine::At::GetDiskFreeSpaceExW(const WCHAR* directory,
                                               ULONGLONG* free_to_caller,
                                               ULONGLONG* total,
                                               ULONGLONG* total_free) {
  return Answered(
      {"GetDiskFreeSpaceExW", Text(directory)}, kFalse,
      [&](const MachineDescription& machine) {
        const Volume* volume = FindVolume(machine, WideView(directory));
        if (volume == nullptr) return FailWith(kErrorPathNotFound);
        if (!Stall(*volume, volume->stall.capacity)) return kFalse;
        if (volume->fail_capacity) return FailWith(*volume->fail_capacity);
        // A simulated volume knows its size only; its free space reads as 0.
        if (free_to_caller != nullptr) *free_to_caller = 0;
        if (total != nullptr) *total = volume->total_bytes;
        if (total_free != nullptr) *total_free = 0;
        return kTrue;
      });
}

}  // namespace platform::simulation
