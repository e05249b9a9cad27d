// A descriptor of a POSIX system that its owner closes (scoped.h).
#pragma once

#include <unistd.h>

#include <cerrno>

#include "platform/scoped.h"

namespace platform {

// Closes, keeping errno: a close on the way out of a failed call leaves
// the failure's own.
inline void CloseDescriptor(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

using ScopedDescriptor = Scoped<int, -1, CloseDescriptor>;

}  // namespace platform
