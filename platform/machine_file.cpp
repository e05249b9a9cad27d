#include "platform/machine_file.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/system_access.h"

namespace platform::simulation {
namespace {

// ---------------------------------------------------------------------------
// The JSON document
//
// nlohmann's reader checks the syntax and hands each token to a Document,
// which keeps the values in a tree of its own: nlohmann's own tree
// allocates while it is destroyed, so that a failed allocation there ends
// the process instead of failing the call.  The tree is at most kDeepest
// levels deep, so destroying it costs a few stack frames at most.

struct Value {
  enum class Kind { kNull, kBoolean, kSigned, kUnsigned, kFloat, kString,
                    kArray, kObject };
  Kind kind = Kind::kNull;
  std::uint64_t unsigned_number = 0;  // kUnsigned
  std::int64_t signed_number = 0;     // kSigned
  std::string text;                   // kString
  std::vector<Value> items;           // kArray
  std::vector<std::pair<std::string, Value>> members;  // kObject

  bool is_object() const { return kind == Kind::kObject; }
  bool is_array() const { return kind == Kind::kArray; }
  bool is_string() const { return kind == Kind::kString; }
  bool is_number_unsigned() const { return kind == Kind::kUnsigned; }
  bool is_number_signed() const { return kind == Kind::kSigned; }

  // The member named `key`, the last one where the key is repeated (as
  // JSON readers commonly take it); null when there is none.
  const Value* Find(const char* key) const {
    for (auto member = members.rbegin(); member != members.rend(); ++member) {
      if (member->first == key) return &member->second;
    }
    return nullptr;
  }
};

// Deeper than any value of the format: {"volumes": [{"fail": {"paths":
// {"code": 1}}}]} is four levels of containers.
constexpr std::size_t kDeepest = 8;

class Document {
 public:
  using json = nlohmann::json;

  // The handler interface of json::sax_parse.
  bool null() { return Add(Value{}); }
  bool boolean(bool) { return Add(Scalar(Value::Kind::kBoolean)); }
  bool number_integer(json::number_integer_t number) {
    Value value = Scalar(Value::Kind::kSigned);
    value.signed_number = number;
    return Add(std::move(value));
  }
  bool number_unsigned(json::number_unsigned_t number) {
    Value value = Scalar(Value::Kind::kUnsigned);
    value.unsigned_number = number;
    return Add(std::move(value));
  }
  bool number_float(json::number_float_t, const json::string_t&) {
    return Add(Scalar(Value::Kind::kFloat));
  }
  bool string(json::string_t& text) {
    Value value = Scalar(Value::Kind::kString);
    value.text = std::move(text);
    return Add(std::move(value));
  }
  bool binary(json::binary_t&) { return Add(Value{}); }  // not in JSON text
  bool start_object(std::size_t) { return Open(Value::Kind::kObject); }
  bool key(json::string_t& key) {
    key_ = std::move(key);
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t) { return Open(Value::Kind::kArray); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& error) {
    // A syntax error, or a number too large for any numeric type (1e400).
    std::string detail = error.what();
    // Drop nlohmann's "[json.exception.parse_error.101] " tag.
    const auto tag_end = detail.find("] ");
    if (tag_end != std::string::npos) detail.erase(0, tag_end + 2);
    // The reader quotes the token at fault, which may be the whole file.
    constexpr std::size_t kLongest = 200;
    if (detail.size() > kLongest) detail.replace(kLongest, std::string::npos, "...");
    problem_ = "not valid JSON: " + detail;
    return false;
  }

  // The document of `text`; throws MachineFileError when it is no JSON.
  static Value Read(std::string_view text) {
    Document document;
    if (!json::sax_parse(text, &document) || !document.problem_.empty()) {
      throw MachineFileError(document.problem_.empty() ? "not valid JSON"
                                                       : document.problem_);
    }
    return std::move(document.root_);
  }

 private:
  static Value Scalar(Value::Kind kind) {
    Value value;
    value.kind = kind;
    return value;
  }

  // Places a value in the container open now, or makes it the root; returns
  // the value in its place.
  Value* Place(Value value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Value& container = *open_.back();
    if (container.is_array()) {
      container.items.push_back(std::move(value));
      return &container.items.back();
    }
    container.members.emplace_back(std::move(key_), std::move(value));
    return &container.members.back().second;
  }
  bool Add(Value value) {
    Place(std::move(value));
    return true;
  }
  bool Open(Value::Kind kind) {
    if (open_.size() >= kDeepest) {
      problem_ = "values nested more than " + std::to_string(kDeepest) +
                 " deep (the format goes no deeper than 4)";
      return false;
    }
    open_.reserve(kDeepest);
    open_.push_back(Place(Scalar(kind)));
    return true;
  }
  bool Close() {
    open_.pop_back();
    return true;
  }

  Value root_;
  std::vector<Value*> open_;  // the containers open now, innermost last
  std::string key_;
  std::string problem_;
};

// ---------------------------------------------------------------------------
// Reading the file format

[[noreturn]] void Refuse(const std::string& where, const std::string& what) {
  throw MachineFileError(where + ": " + what);
}

void CheckKeys(const Value& object, const std::string& where,
               std::initializer_list<const char*> allowed) {
  for (const auto& member : object.members) {
    bool known = false;
    for (const char* key : allowed) known = known || member.first == key;
    if (!known) {
      Refuse(where.empty() ? member.first : where + "." + member.first,
             "unknown key");
    }
  }
}

const Value& Object(const Value& value, const std::string& where) {
  if (!value.is_object()) Refuse(where, "must be an object");
  return value;
}

const Value& Array(const Value& value, const std::string& where) {
  if (!value.is_array()) Refuse(where, "must be a list");
  return value;
}

WideString String(const Value& value, const std::string& where) {
  if (!value.is_string()) Refuse(where, "must be a string");
  return WideFromUtf8(value.text);
}

std::uint64_t Unsigned(const Value& value, const std::string& where,
                       std::uint64_t max) {
  if (!value.is_number_unsigned() || value.unsigned_number > max) {
    Refuse(where, "must be an integer from 0 to " + std::to_string(max));
  }
  return value.unsigned_number;
}

DWORD Dword(const Value& value, const std::string& where) {
  return static_cast<DWORD>(
      Unsigned(value, where, std::numeric_limits<DWORD>::max()));
}

std::int64_t Signed64(const Value& value, const std::string& where) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  if (value.is_number_unsigned() && value.unsigned_number <= kMax) {
    return static_cast<std::int64_t>(value.unsigned_number);
  }
  if (value.is_number_signed()) return value.signed_number;
  Refuse(where, "must be an integer from " +
                    std::to_string(std::numeric_limits<std::int64_t>::min()) +
                    " to " + std::to_string(kMax));
}

// Calls read(value, where) when `key` is present in `object`.
template <class Read>
void Optional(const Value& object, const char* key, const std::string& where,
              Read&& read) {
  const Value* found = object.Find(key);
  if (found != nullptr) read(*found, where.empty() ? key : where + "." + key);
}

const Value& Required(const Value& object, const char* key,
                     const std::string& where) {
  const Value* found = object.Find(key);
  if (found == nullptr) {
    Refuse(where, std::string("missing required key \"") + key + "\"");
  }
  return *found;
}

void ReadFailures(const Value& value, const std::string& where, Volume& volume) {
  CheckKeys(Object(value, where), where, {"paths", "info", "capacity"});
  Optional(value, "paths", where, [&](const Value& v, const std::string& at) {
    CheckKeys(Object(v, at), at, {"code", "returned_length"});
    volume.fail_paths = PathsFailure{
        Dword(Required(v, "code", at), at + ".code"),
        Dword(Required(v, "returned_length", at), at + ".returned_length")};
  });
  Optional(value, "info", where, [&](const Value& v, const std::string& at) {
    volume.fail_info = Dword(v, at);
  });
  Optional(value, "capacity", where, [&](const Value& v, const std::string& at) {
    volume.fail_capacity = Dword(v, at);
  });
}

Volume ReadVolume(const Value& value, const std::string& where) {
  CheckKeys(Object(value, where), where,
            {"name", "paths", "label", "serial", "max_component_length",
             "flags", "filesystem", "drive_type", "total_bytes", "handles",
             "fail"});
  Volume volume;
  volume.name = String(Required(value, "name", where), where + ".name");
  Optional(value, "paths", where, [&](const Value& v, const std::string& at) {
    for (std::size_t i = 0; i < Array(v, at).items.size(); ++i) {
      volume.paths.push_back(
          String(v.items[i], at + "[" + std::to_string(i) + "]"));
    }
  });
  Optional(value, "label", where, [&](const Value& v, const std::string& at) {
    volume.label = String(v, at);
  });
  Optional(value, "serial", where, [&](const Value& v, const std::string& at) {
    volume.serial = Dword(v, at);
  });
  Optional(value, "max_component_length", where,
           [&](const Value& v, const std::string& at) {
             volume.max_component_length = Dword(v, at);
           });
  Optional(value, "flags", where, [&](const Value& v, const std::string& at) {
    volume.flags = Dword(v, at);
  });
  Optional(value, "filesystem", where,
           [&](const Value& v, const std::string& at) {
             volume.filesystem = String(v, at);
           });
  Optional(value, "drive_type", where,
           [&](const Value& v, const std::string& at) {
             volume.drive_type = Dword(v, at);
           });
  Optional(value, "total_bytes", where,
           [&](const Value& v, const std::string& at) {
             volume.total_bytes = Unsigned(
                 v, at, std::numeric_limits<std::uint64_t>::max());
           });
  Optional(value, "handles", where, [&](const Value& v, const std::string& at) {
    for (std::size_t i = 0; i < Array(v, at).items.size(); ++i) {
      volume.handles.push_back(
          Signed64(v.items[i], at + "[" + std::to_string(i) + "]"));
    }
  });
  Optional(value, "fail", where, [&](const Value& v, const std::string& at) {
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

std::string TooLarge() {
  return "larger than " + std::to_string(kMachineFileSizeLimit) + " bytes";
}

// Why `status` is no machine file, or empty when it may be one.
std::string RefusedKind(const StatBuffer& status) {
#ifdef _WIN32
  if ((status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "not a regular file";
  }
  const std::uint64_t size =
      (static_cast<std::uint64_t>(status.nFileSizeHigh) << 32) |
      status.nFileSizeLow;
#else
  if ((status.st_mode & S_IFMT) != S_IFREG) return "not a regular file";
  if (status.st_size < 0) return TooLarge();
  const auto size = static_cast<std::uint64_t>(status.st_size);
#endif
  return size > kMachineFileSizeLimit ? TooLarge() : std::string();
}

#ifdef _WIN32
std::shared_ptr<const ParsedFile> ReadFile(const std::string& path) {
  auto result = std::make_shared<ParsedFile>();
  result->path = path;
  // Closed on every way out, a failed allocation of the text included.
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  const std::unique_ptr<std::FILE, FileCloser> file(OpenForReading(path));
  if (!file) {
    result->problem = std::string("cannot read the file: ") + std::strerror(errno);
    return result;
  }
  StatBuffer status;
  std::string text;
  if (StatOpenFile(file.get(), &status) != 0) {
    result->problem = "cannot read the file";
    return result;
  }
  result->identity = IdentityOf(status);
  result->problem = RefusedKind(status);
  char chunk[4096];
  std::size_t count;
  while (result->problem.empty() && text.size() <= kMachineFileSizeLimit &&
         (count = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    text.append(chunk, count);
  }
  const bool read_failed = std::ferror(file.get()) != 0;
  if (!result->problem.empty()) return result;
  if (text.size() > kMachineFileSizeLimit) {
    result->problem = TooLarge();
    return result;
  }
#else
// Opened without waiting (a FIFO would block the open until a writer comes)
// and read only once fstat shows a regular file of sane size, and then no
// further than the limit, should the file grow meanwhile.
std::shared_ptr<const ParsedFile> ReadFile(const std::string& path) {
  auto result = std::make_shared<ParsedFile>();
  result->path = path;
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    result->problem = std::string("cannot read the file: ") + std::strerror(errno);
    return result;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  StatBuffer status;
  if (::fstat(fd, &status) != 0) {
    result->problem = std::string("cannot read the file: ") + std::strerror(errno);
    return result;
  }
  result->identity = IdentityOf(status);
  result->problem = RefusedKind(status);
  if (!result->problem.empty()) return result;
  std::string text(static_cast<std::size_t>(status.st_size) + 1, '\0');
  std::size_t filled = 0;
  bool read_failed = false;
  for (;;) {
    if (filled == text.size()) {
      if (text.size() > kMachineFileSizeLimit) break;
      text.resize(std::min(text.size() * 2, kMachineFileSizeLimit + 1));
    }
    const ssize_t count = ::read(fd, &text[filled], text.size() - filled);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      read_failed = count < 0;
      break;
    }
    filled += static_cast<std::size_t>(count);
  }
  text.resize(filled);
  if (text.size() > kMachineFileSizeLimit) {
    result->problem = TooLarge();
    return result;
  }
#endif
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
  // The whole file is the document: the JSON reader would stop at a NUL
  // byte and take what comes before it for the file.
  const auto nul = json_text.find('\0');
  if (nul != std::string_view::npos) {
    throw MachineFileError("not valid JSON: a NUL byte at byte " +
                           std::to_string(nul + 1));
  }
  const Value document = Document::Read(json_text);
  if (!document.is_object()) Refuse("top level", "must be an object");
  CheckKeys(document, "", {"volumes", "find_first_error", "find_next_error"});
  Machine machine;
  Optional(document, "volumes", "", [&](const Value& v, const std::string& at) {
    for (std::size_t i = 0; i < Array(v, at).items.size(); ++i) {
      machine.volumes.push_back(
          ReadVolume(v.items[i], at + "[" + std::to_string(i) + "]"));
    }
  });
  Optional(document, "find_first_error", "",
           [&](const Value& v, const std::string& at) {
             machine.find_first_error = Dword(v, at);
           });
  Optional(document, "find_next_error", "",
           [&](const Value& v, const std::string& at) {
             CheckKeys(Object(v, at), at, {"after", "code"});
             machine.find_next_error = FindNextFailure{
                 Unsigned(Required(v, "after", at), at + ".after",
                          std::numeric_limits<std::uint64_t>::max()),
                 Dword(Required(v, "code", at), at + ".code")};
           });
  IndexVolumes(machine);
  return machine;
}

MachineFile LoadMachineFile(const std::string& path) {
  const auto file = CurrentFile(path);
  return {file->machine, file->problem};
}

}  // namespace platform::simulation
