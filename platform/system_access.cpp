#include "platform/system_access.h"

#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <vector>

#include "platform/kernel32.h"
#include "platform/wide_string.h"
#endif

namespace platform {

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

std::FILE* OpenShared(const std::string& path, DWORD access, DWORD creation,
                      int flags, const char* mode) {
  const HANDLE file = ::CreateFileW(
      WideFromUtf8(path).c_str(), access,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                ? ENOENT
            : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                ? EACCES
                : EIO;
    return nullptr;
  }
  const int descriptor =
      _open_osfhandle(reinterpret_cast<std::intptr_t>(file), flags);
  if (descriptor == -1) {
    ::CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(descriptor, mode);
  if (stream == nullptr) _close(descriptor);  // closes the handle too
  return stream;
}

}  // namespace

std::FILE* OpenForReading(const std::string& path) {
  return OpenShared(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY | _O_BINARY,
                    "rb");
}

std::FILE* OpenForAppending(const std::string& path) {
  return OpenShared(path, FILE_APPEND_DATA, OPEN_ALWAYS,
                    _O_WRONLY | _O_APPEND | _O_BINARY, "ab");
}

#else

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::FILE* OpenForReading(const std::string& path) {
  return std::fopen(path.c_str(), "rb");
}

std::FILE* OpenForAppending(const std::string& path) {
  return std::fopen(path.c_str(), "ab");
}

#endif

}  // namespace platform
