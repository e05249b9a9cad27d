// Temporary directories, environment variables and file replacement for the
// platform suites, the same on Linux and on Windows.
//
// On Windows the environment is the process's own (SetEnvironmentVariableW),
// which the platform layer reads, as a host's interpreter with a C runtime
// of its own changes it; paths are UTF-8, as the platform layer takes them.
#pragma once

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "platform/wide_string.h"
#else
#include <stdlib.h>
#include <unistd.h>
#endif

namespace platform::test_environment {

#ifdef _WIN32

inline std::string MakeTemporaryDirectory(const char* prefix) {
  WCHAR temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  const std::string base = Utf8FromWide(WideStringView(temp, length));
  for (unsigned attempt = ::GetTickCount();; ++attempt) {
    const std::string path = base + prefix + "-" + std::to_string(attempt);
    if (::CreateDirectoryW(WideFromUtf8(path).c_str(), nullptr)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return std::string();
  }
}

inline void RemoveEmptyDirectory(const std::string& path) {
  ::RemoveDirectoryW(WideFromUtf8(path).c_str());
}

inline void RemoveFile(const std::string& path) {
  ::DeleteFileW(WideFromUtf8(path).c_str());
}

inline void SetEnvironment(const char* name, const std::string& value) {
  ::SetEnvironmentVariableW(WideFromUtf8(name).c_str(),
                            WideFromUtf8(value).c_str());
}

inline void UnsetEnvironment(const char* name) {
  ::SetEnvironmentVariableW(WideFromUtf8(name).c_str(), nullptr);
}

// Renaming onto an existing file fails on Windows unless asked to replace.
inline bool RenameOver(const std::string& from, const std::string& to) {
  return ::MoveFileExW(WideFromUtf8(from).c_str(), WideFromUtf8(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}

#else

inline std::string MakeTemporaryDirectory(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

inline void RemoveEmptyDirectory(const std::string& path) { rmdir(path.c_str()); }

inline void RemoveFile(const std::string& path) { std::remove(path.c_str()); }

inline void SetEnvironment(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}

inline void UnsetEnvironment(const char* name) { unsetenv(name); }

inline bool RenameOver(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

#endif

}  // namespace platform::test_environment
