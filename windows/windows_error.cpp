#include "windows/windows_error.h"

#include "windows/error_boundary.h"
#include "windows/refs.h"
#include "windows/winwrap_capi.h"

namespace volumes {
namespace {

// windows.winwrap's entry points; null until start-up has found them, since
// the functions of the method table outlive a failed start-up.  The capsule
// keeps the table alive for the life of the process.
const WinwrapCApi* winwrap = nullptr;
ProcessRef winwrap_capsule;

}  // namespace

// A missing attribute or a capsule of another kind is "not provided"; any
// other error (MemoryError, KeyboardInterrupt) passes as it is.
void LocateRaiseWindowsError() {
  winwrap = nullptr;
  OwnedRef module =
      OwnedRef::StealChecked(PyImport_ImportModule("windows.winwrap"));
  OwnedRef capsule =
      OwnedRef::StealNullable(PyObject_GetAttrString(module.get(), "_C_API"));
  const WinwrapCApi* c_api = nullptr;
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
    PyErr_Clear();
  } else {
    c_api = static_cast<const WinwrapCApi*>(
        PyCapsule_GetPointer(capsule.get(), WINWRAP_CAPSULE_NAME));
    // A capsule of another name sets ValueError.
    if (c_api == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError();
      PyErr_Clear();
    }
  }
  if (c_api == nullptr || c_api->RaiseWindowsError == nullptr) {
    Raise(PyExc_ImportError,
          "windows.winwrap does not provide RaiseWindowsError (capsule %s)",
          WINWRAP_CAPSULE_NAME);
  }
  winwrap_capsule.Reset(std::move(capsule));
  winwrap = c_api;
}

void RaiseWindowsError(platform::DWORD error_code) {
  const unsigned long code = error_code;
  if (winwrap == nullptr) {
    Raise(PyExc_ImportError,
          "windows.volumes did not start: no RaiseWindowsError for error %lu",
          code);
  }
  // What it returns, if anything, is dropped.
  OwnedRef returned =
      OwnedRef::StealNullable(winwrap->RaiseWindowsError(1, code));
  if (PyErr_Occurred()) throw PyError();
  Raise(PyExc_SystemError,
        "RaiseWindowsError returned instead of raising error %lu", code);
}

}  // namespace volumes
