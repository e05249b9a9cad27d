// Logging through the module's LOGGER, as the module's code logs.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "windows/names.h"
#include "windows/refs.h"

namespace volumes {

// LOGGER.<level>(format, *args), LOGGER looked up at this call.  `level` is
// one of names::debug, info, error, exception.
void Log(const Name& level, const char* format,
         std::initializer_list<BorrowedRef> args);

}  // namespace volumes
