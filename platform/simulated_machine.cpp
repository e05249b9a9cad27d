#include "platform/simulated_machine.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <string>

#include "platform/enumeration_table.h"
#include "platform/system_access.h"

namespace platform::simulation {
namespace {

// ---------------------------------------------------------------------------
// The journal

// One write per line, appended, so lines of concurrent callers never mix.
#ifdef _WIN32
bool AppendLine(const std::string& journal, const std::string& line) {
  std::FILE* file = OpenForAppending(journal);
  if (file == nullptr) return false;
  const bool written =
      std::fwrite(line.data(), 1, line.size(), file) == line.size();
  return std::fclose(file) == 0 && written;
}
#else
// The journal, kept open between lines: opening it costs more than the line.
// It is opened again when the path changes, or when the file was deleted or
// replaced (a test clears its journal that way), so that lines always reach
// the file that the path names.
class JournalFile {
 public:
  ~JournalFile() { Close(); }

  // Never waited on: a journal that cannot take the line at once (a FIFO
  // without a reader, or one whose pipe is full) loses it.
  bool Append(const std::string& journal, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    struct stat status;
    if (fd_ >= 0 && (path_ != journal || ::fstat(fd_, &status) != 0 ||
                     status.st_nlink == 0)) {
      Close();
    }
    if (fd_ < 0) {
      fd_ = ::open(journal.c_str(),
                   O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY |
                       O_CLOEXEC,
                   0666);
      if (fd_ < 0) return false;
      path_ = journal;
    }
    return ::write(fd_, line.data(), line.size()) ==
           static_cast<ssize_t>(line.size());
  }

 private:
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::mutex mutex_;
  std::string path_;
  int fd_ = -1;
};

JournalFile journal_file;

bool AppendLine(const std::string& journal, const std::string& line) {
  return journal_file.Append(journal, line);
}
#endif

void Journal(std::initializer_list<std::string> fields) {
  const std::string journal = EnvironmentValue("VOLUMES_SIMULATION_JOURNAL");
  if (journal.empty()) return;
  std::string line;
  for (const auto& field : fields) {
    if (!line.empty()) line += '\t';
    line += field;
  }
  line += '\n';
  if (!AppendLine(journal, line)) {
    std::fprintf(stderr, "volume simulation: cannot write the journal %s: %s\n",
                 journal.c_str(), std::strerror(errno));
  }
}

std::string Text(const WCHAR* text) { return Utf8FromWide(WideView(text)); }

std::string Number(std::int64_t value) { return std::to_string(value); }

std::string HandleText(HANDLE handle) {
  return Number(reinterpret_cast<std::intptr_t>(handle));
}

// ---------------------------------------------------------------------------
// Answers

EnumerationTable<Machine> enumerations;

BOOL WriteVolumeInformation(const Volume& volume,
                            const VolumeInformationOutputs& outputs) {
  if (volume.fail_info) return FailWith(*volume.fail_info);
  return outputs.Write(volume.label, volume.serial,
                       volume.max_component_length, volume.flags,
                       volume.filesystem);
}

}  // namespace

const Volume* FindVolume(const Machine& machine, WideStringView name_or_path) {
  const auto found = machine.volume_by_name_or_path.find(
      WideString(WithoutTrailingBackslash(name_or_path)));
  if (found == machine.volume_by_name_or_path.end()) return nullptr;
  return &machine.volumes[found->second];
}

std::shared_ptr<const Machine> SimulatedMachine::Load() const {
  const MachineFile file = LoadMachineFile(file_);
  if (!file.machine) {
    std::fprintf(stderr, "volume simulation: %s: %s\n", file_.c_str(),
                 file.problem.c_str());
  }
  return file.machine;
}

HANDLE SimulatedMachine::FindFirstVolumeW(WCHAR* name, DWORD length) {
  Journal({"FindFirstVolumeW", Number(length)});
  auto machine = Load();
  const std::optional<DWORD> error =
      !machine ? kErrorBadConfiguration : machine->find_first_error;
  if (error) {
    SetLastError(*error);
    return InvalidHandleValue();
  }
  return enumerations.FindFirstVolumeW(std::move(machine), name, length);
}

BOOL SimulatedMachine::FindNextVolumeW(HANDLE find, WCHAR* name,
                                       DWORD length) {
  Journal({"FindNextVolumeW", HandleText(find), Number(length)});
  if (!Load()) return FailWith(kErrorBadConfiguration);
  return enumerations.FindNextVolumeW(find, name, length);
}

BOOL SimulatedMachine::FindVolumeClose(HANDLE find) {
  Journal({"FindVolumeClose", HandleText(find)});
  // The handle is released even when the file has gone bad meanwhile, so
  // that no enumeration outlives its caller.
  const BOOL closed = enumerations.FindVolumeClose(find);
  if (!Load()) return FailWith(kErrorBadConfiguration);
  return closed ? TRUE : FailWith(kErrorInvalidHandle);
}

BOOL SimulatedMachine::GetVolumeInformationW(
    const WCHAR* root, const VolumeInformationOutputs& outputs) {
  Journal({"GetVolumeInformationW", Text(root)});
  const auto machine = Load();
  if (!machine) return FailWith(kErrorBadConfiguration);
  const WideStringView root_path = WideView(root);
  if (root_path.empty() || root_path.back() != u'\\') {
    return FailWith(kErrorInvalidName);
  }
  const Volume* volume = FindVolume(*machine, root_path);
  if (volume == nullptr) return FailWith(kErrorPathNotFound);
  return WriteVolumeInformation(*volume, outputs);
}

BOOL SimulatedMachine::GetVolumeInformationByHandleW(
    HANDLE file, const VolumeInformationOutputs& outputs) {
  Journal({"GetVolumeInformationByHandleW", HandleText(file)});
  const auto machine = Load();
  if (!machine) return FailWith(kErrorBadConfiguration);
  const auto value = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(file));
  const auto found = machine->volume_by_handle.find(value);
  if (found == machine->volume_by_handle.end()) {
    return FailWith(kErrorInvalidHandle);
  }
  return WriteVolumeInformation(machine->volumes[found->second], outputs);
}

BOOL SimulatedMachine::GetVolumePathNamesForVolumeNameW(
    const WCHAR* volume_name, WCHAR* path_names, DWORD length,
    DWORD* returned_length) {
  Journal({"GetVolumePathNamesForVolumeNameW", Text(volume_name),
           Number(length)});
  const auto machine = Load();
  if (!machine) return FailWith(kErrorBadConfiguration);
  const Volume* volume = FindVolume(*machine, WideView(volume_name));
  if (volume == nullptr) return FailWith(kErrorFileNotFound);
  if (volume->fail_paths) {
    if (returned_length != nullptr) {
      *returned_length = volume->fail_paths->returned_length;
    }
    return FailWith(volume->fail_paths->code);
  }
  std::uint64_t needed = 1;
  for (const WideString& path : volume->paths) needed += path.size() + 1;
  // A list longer than a DWORD can count is reported as the most it can.
  const auto needed_length = static_cast<DWORD>(
      std::min<std::uint64_t>(needed, std::numeric_limits<DWORD>::max()));
  if (returned_length != nullptr) *returned_length = needed_length;
  if (path_names == nullptr || needed > length) return FailWith(kErrorMoreData);
  WCHAR* out = path_names;
  for (const WideString& path : volume->paths) {
    out = std::copy(path.begin(), path.end(), out);
    *out++ = 0;
  }
  *out = 0;
  return TRUE;
}

UINT SimulatedMachine::GetDriveTypeW(const WCHAR* root) {
  Journal({"GetDriveTypeW", Text(root)});
  const auto machine = Load();
  if (!machine) {
    SetLastError(kErrorBadConfiguration);
    return kDriveUnknown;
  }
  const Volume* volume = FindVolume(*machine, WideView(root));
  return volume == nullptr ? kDriveNoRootDir : volume->drive_type;
}

BOOL SimulatedMachine::GetDiskFreeSpaceExW(const WCHAR* directory,
                                           ULONGLONG* free_to_caller,
                                           ULONGLONG* total,
                                           ULONGLONG* total_free) {
  Journal({"GetDiskFreeSpaceExW", Text(directory)});
  const auto machine = Load();
  if (!machine) return FailWith(kErrorBadConfiguration);
  const Volume* volume = FindVolume(*machine, WideView(directory));
  if (volume == nullptr) return FailWith(kErrorPathNotFound);
  if (volume->fail_capacity) return FailWith(*volume->fail_capacity);
  // A simulated volume knows its size only; its free space reads as 0.
  if (free_to_caller != nullptr) *free_to_caller = 0;
  if (total != nullptr) *total = volume->total_bytes;
  if (total_free != nullptr) *total_free = 0;
  return TRUE;
}

}  // namespace platform::simulation
