// What the platform layer asks of a POSIX system (system_access.h): the
// environment, standard error and files, through the C library and the
// system calls themselves.
#include "platform/system_access.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/scoped_posix.h"
#include "platform/system_access_shared.h"

namespace platform {

using system_parts::CannotRead;
using system_parts::TooLarge;

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

void WhenForking(void (*prepare)(), void (*parent)(), void (*child)()) {
  ::pthread_atfork(prepare, parent, child);
}

void system_parts::WriteStandardError(const char* line, std::size_t length) {
  while (length > 0) {
    const ssize_t count = ::write(STDERR_FILENO, line, length);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    line += count;
    length -= static_cast<std::size_t>(count);
  }
}

namespace {

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
  const ScopedDescriptor closer(fd);
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

// The file kept open between lines, and the path it was opened by.
struct AppendedFile::Kept {
  std::mutex mutex;
  std::string path;
  ScopedDescriptor descriptor;
};

AppendedFile::AppendedFile() : kept_(std::make_unique<Kept>()) {}
AppendedFile::~AppendedFile() = default;

bool AppendedFile::Append(const std::string& path, std::string_view line) {
  Kept& kept = *kept_;
  std::lock_guard<std::mutex> lock(kept.mutex);
  struct stat status;
  if (kept.descriptor.get() >= 0 &&
      (kept.path != path || ::fstat(kept.descriptor.get(), &status) != 0 ||
       status.st_nlink == 0)) {
    kept.descriptor.Reset();
  }
  if (kept.descriptor.get() < 0) {
    kept.descriptor.Reset(::open(path.c_str(),
                                 O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK |
                                     O_NOCTTY | O_CLOEXEC,
                                 0666));
    if (kept.descriptor.get() < 0) return false;
    kept.path = path;
  }
  return ::write(kept.descriptor.get(), line.data(), line.size()) ==
         static_cast<ssize_t>(line.size());
}

}  // namespace platform
