// Temporary directories, files, environment variables and file replacement
// for the platform suites, the same on Linux and on Windows, and the one
// fixture of a test that needs a directory of its own.
//
// On Windows the environment is the process's own (SetEnvironmentVariableW),
// which the platform layer reads, as a host's interpreter with a C runtime
// of its own changes it; paths are UTF-8, as the platform layer takes them,
// and files are opened by their UTF-16 names.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include "platform/wide_string.h"
#include "platform/windows_api.h"
#else
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
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

inline std::filesystem::path FilesystemPath(const std::string& path) {
  return std::filesystem::path(WideFromUtf8(path));
}

inline void SetEnvironment(const char* name, const std::string& value) {
  ::SetEnvironmentVariableW(WideFromUtf8(name).c_str(),
                            WideFromUtf8(value).c_str());
}

inline void UnsetEnvironment(const char* name) {
  ::SetEnvironmentVariableW(WideFromUtf8(name).c_str(), nullptr);
}

inline bool WriteFile(const std::string& path, const std::string& text) {
  const HANDLE file =
      ::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, 0, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()),
                              &written, nullptr) &&
                  written == text.size();
  return ::CloseHandle(file) && ok;
}

// The file's bytes; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  const HANDLE file = ::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  std::string text;
  if (file == INVALID_HANDLE_VALUE) return text;
  char chunk[4096];
  DWORD count = 0;
  while (::ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count > 0) {
    text.append(chunk, count);
  }
  ::CloseHandle(file);
  return text;
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

inline std::filesystem::path FilesystemPath(const std::string& path) {
  return std::filesystem::path(path);
}

inline void SetEnvironment(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}

inline void UnsetEnvironment(const char* name) { unsetenv(name); }

inline bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  return !out.fail();
}

// The file's bytes; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool RenameOver(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

#endif

// A new file at `path`, written beside it and renamed over any old one, as
// a machine file is replaced.
inline bool ReplaceFile(const std::string& path, const std::string& text) {
  return WriteFile(path + ".new", text) && RenameOver(path + ".new", path);
}

// The directory and everything in it.
inline void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(FilesystemPath(path), ignored);
}

// A test with a new temporary directory of its own, removed with all it
// holds when the test ends.
class TemporaryDirectoryTest : public ::testing::Test {
 protected:
  explicit TemporaryDirectoryTest(const char* prefix) : prefix_(prefix) {}

  void SetUp() override {
    directory_ = MakeTemporaryDirectory(prefix_);
    ASSERT_FALSE(directory_.empty()) << "no temporary directory";
  }
  void TearDown() override {
    if (!directory_.empty()) RemoveTree(directory_);
  }

  // The path of `name` in the directory.
  std::string Path(const std::string& name) const {
    return directory_ + "/" + name;
  }

  const char* const prefix_;
  std::string directory_;
};

}  // namespace platform::test_environment
