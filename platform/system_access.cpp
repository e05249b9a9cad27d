// What the platform layer asks of the system that both systems share: the
// line said on standard error, formatted once, then written by the system's
// own file (system_access_posix.cpp, system_access_windows.cpp).
#include "platform/system_access.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/system_access_shared.h"

namespace platform {

using system_parts::WriteStandardError;

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

}  // namespace platform
