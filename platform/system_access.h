// What the platform layer asks of the operating system itself, behind one
// function each on every platform: the environment, files named in UTF-8,
// and standard error.  Each system has its file (system_access_posix.cpp,
// system_access_windows.cpp); what both share is system_access.cpp.  The
// thread's last error is the layer's bottom (last_error.h).
//
// On Windows the C runtime's view is not the process's: the host's
// interpreter changes the environment and points standard error elsewhere
// through a C runtime of its own, and the C runtime opens files by ANSI
// code-page names.  These read the process's environment, write to the
// process's standard-error handle and open files by their UTF-16 names
// there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The variable's value; empty when it is unset or empty.  Leaves the
// thread's last error as it was.
std::string EnvironmentValue(const char* name);

// Says one line on the process's standard error: printf's format and
// arguments, the newline included, in one write, so that the lines of
// concurrent callers never mix.  On Windows it goes to the standard-error
// handle that the process has at this call, wherever the host's own C
// runtime has pointed it.  It allocates nothing unless the line is longer
// than 1 KiB (and then cuts it, its newline kept, when that allocation
// fails), so that it can say why a call failed whatever failed; errno and
// the thread's last error stay as they were.
void SayOnStandardError(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Registers what is done around fork(): `prepare` in the parent before it,
// `parent` in the parent after it, `child` in the new child.  A system
// without fork (Windows) registers nothing.
void WhenForking(void (*prepare)(), void (*parent)(), void (*child)());

// What tells one file from another, and a file from itself rewritten:
// device and inode (on Windows the volume serial number and file index),
// size and modification time.
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

// The identity of the file at `path` now; nullopt when it has none to give
// (it is missing, say).
std::optional<FileIdentity> IdentityOfFile(const std::string& path);

// A regular file read whole, with the identity of what was read.
struct RegularFile {
  FileIdentity identity;
  std::string text;
  std::string problem;  // why it was not read; empty when it was
};

// Reads the file at `path` if it is a regular file of at most `limit`
// bytes, and no further than that should it grow meanwhile.  Anything else
// (a directory, a FIFO, a device) is refused without being read, and
// without waiting for a writer.  On Windows the file stays open to renames
// and deletions by others, so that a writer can replace it meanwhile.
RegularFile ReadRegularFile(const std::string& path, std::size_t limit);

// A file appended to a line at a time, one write per line so that lines of
// concurrent callers never mix, and never waited on: a file that cannot
// take the line at once (a FIFO without a reader, or one whose pipe is
// full) loses it.  Where the system allows, the file is kept open between
// lines and opened again when the path changes or its file is deleted or
// replaced, so that lines always reach the file that the path names.
class AppendedFile {
 public:
  AppendedFile();
  AppendedFile(const AppendedFile&) = delete;
  AppendedFile& operator=(const AppendedFile&) = delete;
  ~AppendedFile();

  // False, with errno set, when the line was not written whole.
  bool Append(const std::string& path, std::string_view line);

 private:
  // What the system keeps between lines: each system's file says what.
  struct Kept;
  std::unique_ptr<Kept> kept_;
};

}  // namespace platform
