#include "platform/system_access.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <vector>

#include "platform/wide_string.h"
#include "platform/windows_api.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {
namespace {

std::string TooLarge(std::size_t limit) {
  return "larger than " + std::to_string(limit) + " bytes";
}

std::string CannotRead() {
  return std::string("cannot read the file: ") + std::strerror(errno);
}

void WriteStandardError(const char* line, std::size_t length);

}  // namespace

void SayOnStandardError(const char* format, ...) {
  const int saved_errno = errno;
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list again;
  va_copy(again, arguments);
  char line[1024];
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof line) {
    WriteStandardError(line, static_cast<std::size_t>(length));
  } else if (length >= 0) {
    const std::size_t size = static_cast<std::size_t>(length) + 1;
    if (char* whole = static_cast<char*>(std::malloc(size))) {
      std::vsnprintf(whole, size, format, again);
      WriteStandardError(whole, size - 1);
      std::free(whole);
    } else {
      line[sizeof line - 2] = '\n';
      WriteStandardError(line, sizeof line - 1);
    }
  }
  va_end(again);
  errno = saved_errno;
}

#ifdef _WIN32

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

namespace {

// Straight to the handle: the host's C runtime, not the module's, follows
// where the host points standard error, and it changes this handle when it
// does.  A process without standard error (a GUI host) has no handle.
void WriteStandardError(const char* line, std::size_t length) {
  const DWORD saved_error = ::GetLastError();
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    ::WriteFile(error, line, static_cast<DWORD>(length), &written, nullptr);
  }
  ::SetLastError(saved_error);
}

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

struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() { ::CloseHandle(handle); }
};

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
  const HandleCloser closer{file};
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
  const HandleCloser closer{file};
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

AppendedFile::~AppendedFile() = default;

void AppendedFile::Close() {}

// Opened for each line: a file kept open would hold its folder against
// removal.
bool AppendedFile::Append(const std::string& path, std::string_view line) {
  const HANDLE file = OpenShared(path, FILE_APPEND_DATA, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return false;
  const HandleCloser closer{file};
  DWORD written = 0;
  if (!::WriteFile(file, line.data(), static_cast<DWORD>(line.size()),
                   &written, nullptr) ||
      written != line.size()) {
    errno = EIO;
    return false;
  }
  return true;
}

#else

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

namespace {

void WriteStandardError(const char* line, std::size_t length) {
  while (length > 0) {
    const ssize_t count = ::write(STDERR_FILENO, line, length);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    line += count;
    length -= static_cast<std::size_t>(count);
  }
}

FileIdentity IdentityOf(const struct stat& status) {
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

struct DescriptorCloser {
  int fd;
  ~DescriptorCloser() { ::close(fd); }
};

// Reads at most limit + 1 bytes, so that a file grown past the limit shows.
bool ReadUpTo(int fd, std::size_t expected, std::size_t limit,
              std::string& text) {
  text.assign(std::min(expected, limit) + 1, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == text.size()) {
      if (text.size() > limit) break;
      text.resize(std::min(text.size() * 2, limit + 1));
    }
    const ssize_t count = ::read(fd, &text[filled], text.size() - filled);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) break;
    filled += static_cast<std::size_t>(count);
  }
  text.resize(filled);
  return true;
}

}  // namespace

std::optional<FileIdentity> IdentityOfFile(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return IdentityOf(status);
}

// Opened without waiting (a FIFO would block the open until a writer comes)
// and read only once fstat shows a regular file of sane size.
RegularFile ReadRegularFile(const std::string& path, std::size_t limit) {
  RegularFile result;
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    result.problem = CannotRead();
    return result;
  }
  const DescriptorCloser closer{fd};
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    result.problem = CannotRead();
    return result;
  }
  result.identity = IdentityOf(status);
  if ((status.st_mode & S_IFMT) != S_IFREG) {
    result.problem = "not a regular file";
  } else if (status.st_size < 0 ||
             static_cast<std::uint64_t>(status.st_size) > limit) {
    result.problem = TooLarge(limit);
  } else if (!ReadUpTo(fd, static_cast<std::size_t>(status.st_size), limit,
                       result.text)) {
    result.problem = "cannot read the file";
  } else if (result.text.size() > limit) {
    result.problem = TooLarge(limit);
  }
  return result;
}

AppendedFile::~AppendedFile() { Close(); }

void AppendedFile::Close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

bool AppendedFile::Append(const std::string& path, std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  struct stat status;
  if (descriptor_ >= 0 &&
      (path_ != path || ::fstat(descriptor_, &status) != 0 ||
       status.st_nlink == 0)) {
    Close();
  }
  if (descriptor_ < 0) {
    descriptor_ = ::open(path.c_str(),
                         O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK |
                             O_NOCTTY | O_CLOEXEC,
                         0666);
    if (descriptor_ < 0) return false;
    path_ = path;
  }
  return ::write(descriptor_, line.data(), line.size()) ==
         static_cast<ssize_t>(line.size());
}

#endif

}  // namespace platform
