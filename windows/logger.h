// Logging through the module's LOGGER, as the module's code logs.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "windows/refs.h"

namespace volumes {

// The logger's methods that the module calls; kException logs at error
// level with the traceback of the exception being handled.
enum class LogLevel { kDebug, kInfo, kError, kException };

// LOGGER.<level>(format, *args), LOGGER looked up at this call.
void Log(LogLevel level, const char* format,
         std::initializer_list<BorrowedRef> args);

// The same call made in two steps, so that arguments made only for it are
// made only when it logs: LOGGER is looked up when it is made, and
// logs() is false where the call would do nothing (logger.cpp).
class LogCall {
 public:
  explicit LogCall(LogLevel level);
  bool logs() const { return logs_; }
  void operator()(const char* format, std::initializer_list<BorrowedRef> args);

 private:
  LogLevel level_;
  OwnedRef logger_;
  bool logs_;
};

// Start-up: the logging module that LOGGER came from, whose Logger's own
// methods Log may answer for where they would log nothing (logger.cpp).
void NoteStandardLogger(BorrowedRef logging);

}  // namespace volumes
