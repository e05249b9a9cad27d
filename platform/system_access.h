// The process's environment and files, named in UTF-8 on every platform.
//
// On Windows the C runtime's view is not the process's: the host's
// interpreter changes the environment through a C runtime of its own, and
// the C runtime opens files by ANSI code-page names.  These read the
// process's environment and open files by their UTF-16 names there.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

// The variable's value; empty when it is unset or empty.  Leaves the
// thread's last error as it was.
std::string EnvironmentValue(const char* name);

// fopen(path, "rb") and fopen(path, "ab"), with errno set on failure.  On
// Windows the file stays open to renames and deletions by others, so that
// a writer can replace it while it is being read.
std::FILE* OpenForReading(const std::string& path);
std::FILE* OpenForAppending(const std::string& path);

}  // namespace platform
