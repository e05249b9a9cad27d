// Runs a shell command for a test that sets up filesystems.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace platform {

// The command's standard output, without its trailing newlines.
inline std::string Shell(const std::string& command) {
  std::string output;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  char chunk[256];
  while (pipe && std::fgets(chunk, sizeof chunk, pipe.get()) != nullptr) output += chunk;
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

}  // namespace platform
