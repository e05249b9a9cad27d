// What system_access.cpp and each system's own file (system_access_posix.cpp,
// system_access_windows.cpp) hand each other; for those files only.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace platform::system_parts {

// Writes `length` bytes to the process's standard error; each system's file
// says how.  The thread's last error stays as it was.
void WriteStandardError(const char* line, std::size_t length);

// Why ReadRegularFile read nothing, in the same words on every system.
inline std::string TooLarge(std::size_t limit) {
  return "larger than " + std::to_string(limit) + " bytes";
}

inline std::string CannotRead() {
  return std::string("cannot read the file: ") + std::strerror(errno);
}

}  // namespace platform::system_parts
