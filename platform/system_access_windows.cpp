// What the platform layer asks of Windows itself (system_access.h): the
// process's environment, its standard-error handle, and files opened by
// their UTF-16 names, none of them through the C runtime.
#include "platform/system_access.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/scoped_windows.h"
#include "platform/system_access_shared.h"
#include "platform/wide_string.h"
#include "platform/windows_api.h"

namespace platform {

using system_parts::CannotRead;
using system_parts::TooLarge;

std::string EnvironmentValue(const char* name) {
  const DWORD saved_error = ::GetLastError();
  const WideString wide_name = WideFromUtf8(name);
  std::vector<WCHAR> value(256);
  std::string result;
  for (;;) {
    const DWORD length = ::GetEnvironmentVariableW(
        wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length < value.size()) {  // 0 when unset; the NUL is not counted
      result = Utf8FromWide(WideStringView(value.data(), length));
      break;
    }
    // Too small: `length` is the size needed, NUL included.  Another thread
    // may lengthen the value meanwhile, so ask again.
    value.resize(length);
  }
  ::SetLastError(saved_error);
  return result;
}

// Windows has no fork.
void WhenForking(void (*)(), void (*)(), void (*)()) {}

// Straight to the handle: the host's C runtime, not the module's, follows
// where the host points standard error, and it changes this handle when it
// does.  A process without standard error (a GUI host) has no handle.
void system_parts::WriteStandardError(const char* line, std::size_t length) {
  const DWORD saved_error = ::GetLastError();
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    ::WriteFile(error, line, static_cast<DWORD>(length), &written, nullptr);
  }
  ::SetLastError(saved_error);
}

namespace {

// Opened to be shared with every other user, renames and deletions
// included; INVALID_HANDLE_VALUE with errno set on failure.
HANDLE OpenShared(const std::string& path, DWORD access, DWORD creation,
                  DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  const HANDLE file = ::CreateFileW(
      WideFromUtf8(path).c_str(), access,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      creation, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                ? ENOENT
            : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                ? EACCES
                : EIO;
  }
  return file;
}

std::uint64_t Wide64(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// _fstat64 gives no device or inode on Windows, and the modification time
// in seconds only: the volume serial number, the file index and the last
// write time to 100 ns stand for them.
FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& status) {
  constexpr std::uint64_t kTicksPerSecond = 10000000;  // of 100 ns
  const std::uint64_t written = Wide64(status.ftLastWriteTime.dwHighDateTime,
                                       status.ftLastWriteTime.dwLowDateTime);
  FileIdentity identity;
  identity.device = status.dwVolumeSerialNumber;
  identity.inode = Wide64(status.nFileIndexHigh, status.nFileIndexLow);
  identity.size = static_cast<std::int64_t>(
      Wide64(status.nFileSizeHigh, status.nFileSizeLow));
  identity.modified_seconds = static_cast<std::int64_t>(written / kTicksPerSecond);
  identity.modified_nanoseconds =
      static_cast<std::int64_t>(written % kTicksPerSecond * 100);
  return identity;
}

}  // namespace

std::optional<FileIdentity> IdentityOfFile(const std::string& path) {
  const HANDLE file = OpenShared(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  const ScopedHandle closer(file);
  BY_HANDLE_FILE_INFORMATION status;
  if (!::GetFileInformationByHandle(file, &status)) return std::nullopt;
  return IdentityOf(status);
}

// Opened with backup semantics, so that a directory opens and is refused
// for what it is; a pipe or a device (NUL, CON) is refused unread, as a
// read of a pipe would wait for its writer.
RegularFile ReadRegularFile(const std::string& path, std::size_t limit) {
  RegularFile result;
  const HANDLE file = OpenShared(path, GENERIC_READ, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS);
  if (file == INVALID_HANDLE_VALUE) {
    result.problem = CannotRead();
    return result;
  }
  const ScopedHandle closer(file);
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    result.problem = "not a regular file";
    return result;
  }
  BY_HANDLE_FILE_INFORMATION status;
  if (!::GetFileInformationByHandle(file, &status)) {
    result.problem = "cannot read the file";
    return result;
  }
  result.identity = IdentityOf(status);
  if ((status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    result.problem = "not a regular file";
    return result;
  }
  if (Wide64(status.nFileSizeHigh, status.nFileSizeLow) > limit) {
    result.problem = TooLarge(limit);
    return result;
  }
  char chunk[4096];
  DWORD count = 0;
  while (result.text.size() <= limit) {
    if (!::ReadFile(file, chunk, sizeof chunk, &count, nullptr)) {
      result.problem = "cannot read the file";
      return result;
    }
    if (count == 0) break;
    result.text.append(chunk, count);
  }
  if (result.text.size() > limit) result.problem = TooLarge(limit);
  return result;
}

// Nothing is kept between lines: the file is opened for each line, as a
// file kept open would hold its folder against removal.
struct AppendedFile::Kept {};

AppendedFile::AppendedFile() = default;
AppendedFile::~AppendedFile() = default;

bool AppendedFile::Append(const std::string& path, std::string_view line) {
  const HANDLE file = OpenShared(path, FILE_APPEND_DATA, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return false;
  const ScopedHandle closer(file);
  DWORD written = 0;
  if (!::WriteFile(file, line.data(), static_cast<DWORD>(line.size()),
                   &written, nullptr) ||
      written != line.size()) {
    errno = EIO;
    return false;
  }
  return true;
}

}  // namespace platform
