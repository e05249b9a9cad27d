// What windows.volumes expects of its sibling module windows.winwrap: a
// capsule "windows.winwrap._C_API" holding this table.
#pragma once

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINWRAP_CAPSULE_NAME "windows.winwrap._C_API"

typedef struct {
  /* Raises WindowsError for a Windows error code, or, when has_error_code
     is 0, for the calling thread's last error.  Returns NULL with the
     exception set. */
  PyObject* (*RaiseWindowsError)(int has_error_code, unsigned long error_code);
} WinwrapCApi;

#ifdef __cplusplus
}
#endif
