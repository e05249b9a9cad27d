#include "platform/machine_file.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/system_access.h"

namespace platform::simulation {
namespace {

using nlohmann::json;

// ---------------------------------------------------------------------------
// Reading the file format

[[noreturn]] void Refuse(const std::string& where, const std::string& what) {
  throw MachineFileError(where + ": " + what);
}

void CheckKeys(const json& object, const std::string& where,
               std::initializer_list<const char*> allowed) {
  for (const auto& item : object.items()) {
    bool known = false;
    for (const char* key : allowed) known = known || item.key() == key;
    if (!known) {
      Refuse(where.empty() ? item.key() : where + "." + item.key(),
             "unknown key");
    }
  }
}

const json& Object(const json& value, const std::string& where) {
  if (!value.is_object()) Refuse(where, "must be an object");
  return value;
}

const json& Array(const json& value, const std::string& where) {
  if (!value.is_array()) Refuse(where, "must be a list");
  return value;
}

WideString String(const json& value, const std::string& where) {
  if (!value.is_string()) Refuse(where, "must be a string");
  return WideFromUtf8(value.get_ref<const std::string&>());
}

std::uint64_t Unsigned(const json& value, const std::string& where,
                       std::uint64_t max) {
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() > max) {
    Refuse(where, "must be an integer from 0 to " + std::to_string(max));
  }
  return value.get<std::uint64_t>();
}

DWORD Dword(const json& value, const std::string& where) {
  return static_cast<DWORD>(
      Unsigned(value, where, std::numeric_limits<DWORD>::max()));
}

std::int64_t Signed64(const json& value, const std::string& where) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  if (value.is_number_unsigned() && value.get<std::uint64_t>() <= kMax) {
    return value.get<std::int64_t>();
  }
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    return value.get<std::int64_t>();
  }
  Refuse(where, "must be an integer from " +
                    std::to_string(std::numeric_limits<std::int64_t>::min()) +
                    " to " + std::to_string(kMax));
}

// Calls read(value, where) when `key` is present in `object`.
template <class Read>
void Optional(const json& object, const char* key, const std::string& where,
              Read&& read) {
  const auto found = object.find(key);
  if (found != object.end()) read(*found, where + "." + key);
}

const json& Required(const json& object, const char* key,
                     const std::string& where) {
  const auto found = object.find(key);
  if (found == object.end()) {
    Refuse(where, std::string("missing required key \"") + key + "\"");
  }
  return *found;
}

void ReadFailures(const json& value, const std::string& where, Volume& volume) {
  CheckKeys(Object(value, where), where, {"paths", "info", "capacity"});
  Optional(value, "paths", where, [&](const json& v, const std::string& at) {
    CheckKeys(Object(v, at), at, {"code", "returned_length"});
    volume.fail_paths = PathsFailure{
        Dword(Required(v, "code", at), at + ".code"),
        Dword(Required(v, "returned_length", at), at + ".returned_length")};
  });
  Optional(value, "info", where, [&](const json& v, const std::string& at) {
    volume.fail_info = Dword(v, at);
  });
  Optional(value, "capacity", where, [&](const json& v, const std::string& at) {
    volume.fail_capacity = Dword(v, at);
  });
}

Volume ReadVolume(const json& value, const std::string& where) {
  CheckKeys(Object(value, where), where,
            {"name", "paths", "label", "serial", "max_component_length",
             "flags", "filesystem", "drive_type", "total_bytes", "handles",
             "fail"});
  Volume volume;
  volume.name = String(Required(value, "name", where), where + ".name");
  Optional(value, "paths", where, [&](const json& v, const std::string& at) {
    for (std::size_t i = 0; i < Array(v, at).size(); ++i) {
      volume.paths.push_back(String(v[i], at + "[" + std::to_string(i) + "]"));
    }
  });
  Optional(value, "label", where, [&](const json& v, const std::string& at) {
    volume.label = String(v, at);
  });
  Optional(value, "serial", where, [&](const json& v, const std::string& at) {
    volume.serial = Dword(v, at);
  });
  Optional(value, "max_component_length", where,
           [&](const json& v, const std::string& at) {
             volume.max_component_length = Dword(v, at);
           });
  Optional(value, "flags", where, [&](const json& v, const std::string& at) {
    volume.flags = Dword(v, at);
  });
  Optional(value, "filesystem", where,
           [&](const json& v, const std::string& at) {
             volume.filesystem = String(v, at);
           });
  Optional(value, "drive_type", where,
           [&](const json& v, const std::string& at) {
             volume.drive_type = Dword(v, at);
           });
  Optional(value, "total_bytes", where,
           [&](const json& v, const std::string& at) {
             volume.total_bytes = Unsigned(
                 v, at, std::numeric_limits<std::uint64_t>::max());
           });
  Optional(value, "handles", where, [&](const json& v, const std::string& at) {
    for (std::size_t i = 0; i < Array(v, at).size(); ++i) {
      volume.handles.push_back(
          Signed64(v[i], at + "[" + std::to_string(i) + "]"));
    }
  });
  Optional(value, "fail", where, [&](const json& v, const std::string& at) {
    ReadFailures(v, at, volume);
  });
  return volume;
}

// Volumes in file order, so that the first volume to claim a key keeps it.
void IndexVolumes(Machine& machine) {
  for (std::size_t index = 0; index < machine.volumes.size(); ++index) {
    const Volume& volume = machine.volumes[index];
    machine.volume_by_name_or_path.emplace(
        WithoutTrailingBackslash(volume.name), index);
    for (const WideString& path : volume.paths) {
      machine.volume_by_name_or_path.emplace(WithoutTrailingBackslash(path),
                                             index);
    }
    for (const std::int64_t handle : volume.handles) {
      machine.volume_by_handle.emplace(handle, index);
    }
  }
}

// ---------------------------------------------------------------------------
// The file as it is now

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;

  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode &&
           size == other.size && modified_seconds == other.modified_seconds &&
           modified_nanoseconds == other.modified_nanoseconds;
  }
};

#ifdef _WIN32
// _fstat64 gives no device or inode on Windows, and the modification time
// in seconds only: the file's identity is the volume serial number, the
// file index and the last write time to 100 ns.
using StatBuffer = BY_HANDLE_FILE_INFORMATION;
int StatPath(const char* path, StatBuffer* buffer) {
  const HANDLE file = ::CreateFileW(
      WideFromUtf8(path).c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  const BOOL found = ::GetFileInformationByHandle(file, buffer);
  ::CloseHandle(file);
  return found ? 0 : -1;
}
int StatOpenFile(std::FILE* file, StatBuffer* buffer) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE &&
                 ::GetFileInformationByHandle(handle, buffer)
             ? 0
             : -1;
}
FileIdentity IdentityOf(const StatBuffer& status) {
  const auto wide = [](DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
  };
  constexpr std::uint64_t kTicksPerSecond = 10000000;  // of 100 ns
  const std::uint64_t written = wide(status.ftLastWriteTime.dwHighDateTime,
                                     status.ftLastWriteTime.dwLowDateTime);
  FileIdentity identity;
  identity.device = status.dwVolumeSerialNumber;
  identity.inode = wide(status.nFileIndexHigh, status.nFileIndexLow);
  identity.size =
      static_cast<std::int64_t>(wide(status.nFileSizeHigh, status.nFileSizeLow));
  identity.modified_seconds = static_cast<std::int64_t>(written / kTicksPerSecond);
  identity.modified_nanoseconds =
      static_cast<std::int64_t>(written % kTicksPerSecond * 100);
  return identity;
}
#else
using StatBuffer = struct stat;
int StatPath(const char* path, StatBuffer* buffer) {
  return ::stat(path, buffer);
}
int StatOpenFile(std::FILE* file, StatBuffer* buffer) {
  return ::fstat(fileno(file), buffer);
}
FileIdentity IdentityOf(const StatBuffer& status) {
  FileIdentity identity;
  identity.device = static_cast<std::uint64_t>(status.st_dev);
  identity.inode = static_cast<std::uint64_t>(status.st_ino);
  identity.size = static_cast<std::int64_t>(status.st_size);
  identity.modified_seconds = static_cast<std::int64_t>(status.st_mtime);
#ifdef __linux__
  identity.modified_nanoseconds = status.st_mtim.tv_nsec;
#endif
  return identity;
}
#endif

// The last file read, kept while its path and identity stay the same.
struct ParsedFile {
  std::string path;
  FileIdentity identity;
  std::shared_ptr<const Machine> machine;  // null when the file is unusable
  std::string problem;
};

std::mutex parsed_file_mutex;
std::shared_ptr<const ParsedFile> parsed_file;

std::shared_ptr<const ParsedFile> ReadFile(const std::string& path) {
  auto result = std::make_shared<ParsedFile>();
  result->path = path;
  std::FILE* file = OpenForReading(path);
  if (file == nullptr) {
    result->problem = std::string("cannot read the file: ") + std::strerror(errno);
    return result;
  }
  StatBuffer status;
  std::string text;
  if (StatOpenFile(file, &status) == 0) {
    result->identity = IdentityOf(status);
    char chunk[4096];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
      text.append(chunk, count);
    }
  }
  const bool read_failed = std::ferror(file) != 0;
  std::fclose(file);
  if (read_failed) {
    result->problem = "cannot read the file";
    return result;
  }
  try {
    result->machine = std::make_shared<const Machine>(ParseMachine(text));
  } catch (const MachineFileError& error) {
    result->problem = error.what();
  }
  return result;
}

std::shared_ptr<const ParsedFile> CurrentFile(const std::string& path) {
  StatBuffer status;
  const bool exists = StatPath(path.c_str(), &status) == 0;
  {
    std::lock_guard<std::mutex> lock(parsed_file_mutex);
    if (exists && parsed_file && parsed_file->path == path &&
        parsed_file->identity == IdentityOf(status)) {
      return parsed_file;
    }
  }
  auto fresh = ReadFile(path);
  std::lock_guard<std::mutex> lock(parsed_file_mutex);
  parsed_file = fresh;
  return fresh;
}

}  // namespace

Machine ParseMachine(std::string_view json_text) {
  json document;
  try {
    document = json::parse(json_text);
  } catch (const json::parse_error& error) {
    std::string detail = error.what();
    // Drop nlohmann's "[json.exception.parse_error.101] " tag.
    const auto tag_end = detail.find("] ");
    if (tag_end != std::string::npos) detail.erase(0, tag_end + 2);
    throw MachineFileError("not valid JSON: " + detail);
  }
  if (!document.is_object()) Refuse("top level", "must be an object");
  CheckKeys(document, "", {"volumes", "find_first_error", "find_next_error"});
  Machine machine;
  Optional(document, "volumes", "", [&](const json& v, const std::string&) {
    for (std::size_t i = 0; i < Array(v, "volumes").size(); ++i) {
      machine.volumes.push_back(
          ReadVolume(v[i], "volumes[" + std::to_string(i) + "]"));
    }
  });
  if (document.contains("find_first_error")) {
    machine.find_first_error =
        Dword(document["find_first_error"], "find_first_error");
  }
  if (document.contains("find_next_error")) {
    const std::string at = "find_next_error";
    const json& v = Object(document[at], at);
    CheckKeys(v, at, {"after", "code"});
    machine.find_next_error = FindNextFailure{
        Unsigned(Required(v, "after", at), at + ".after",
                 std::numeric_limits<std::uint64_t>::max()),
        Dword(Required(v, "code", at), at + ".code")};
  }
  IndexVolumes(machine);
  return machine;
}

MachineFile LoadMachineFile(const std::string& path) {
  const auto file = CurrentFile(path);
  return {file->machine, file->problem};
}

}  // namespace platform::simulation
