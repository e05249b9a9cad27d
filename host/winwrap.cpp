// Stand-in for the native part of the host application's windows.winwrap:
// RaiseWindowsError, callable from Python and, through the capsule _C_API,
// from native modules.
#include <Python.h>

#include <cerrno>
#include <string>

#include "windows/winwrap_capi.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
unsigned long LastError() { return ::GetLastError(); }

std::string SystemMessage(unsigned long code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length ? std::string(text, length) : std::string();
  LocalFree(text);
  return message;
}
#else
// Outside Windows the last error of the system is errno.
unsigned long LastError() {
  switch (errno) {
    case 0: return 0;
    case ENOENT: return 2;           // ERROR_FILE_NOT_FOUND
    case EACCES: case EPERM: return 5;  // ERROR_ACCESS_DENIED
    case EBADF: return 6;            // ERROR_INVALID_HANDLE
    case ENOMEM: return 8;           // ERROR_NOT_ENOUGH_MEMORY
    case EINVAL: return 87;          // ERROR_INVALID_PARAMETER
    default: return 31;              // ERROR_GEN_FAILURE
  }
}

// Windows' own texts for the codes this application meets.
std::string SystemMessage(unsigned long code) {
  switch (code) {
    case 0: return "The operation completed successfully.";
    case 1: return "Incorrect function.";
    case 2: return "The system cannot find the file specified.";
    case 3: return "The system cannot find the path specified.";
    case 5: return "Access is denied.";
    case 6: return "The handle is invalid.";
    case 8: return "Not enough memory resources are available to process this command.";
    case 18: return "There are no more files.";
    case 21: return "The device is not ready.";
    case 24: return "The program issued a command but the command length is incorrect.";
    case 31: return "A device attached to the system is not functioning.";
    case 50: return "The request is not supported.";
    case 87: return "The parameter is incorrect.";
    case 121: return "The semaphore timeout period has expired.";
    case 123: return "The filename, directory name, or volume label syntax is incorrect.";
    case 144: return "The directory is not a subdirectory of the root directory.";
    case 206: return "The filename or extension is too long.";
    case 234: return "More data is available.";
    case 534: return "Arithmetic result exceeded 32 bits.";
    case 1117: return "The request could not be performed because of an I/O device error.";
    case 1460: return "This operation returned because the timeout period expired.";
    case 1610: return "The configuration data for this product is corrupt.  Contact your support personnel.";
    default: return std::string();
  }
}
#endif

// As the interpreter words it: without trailing dots or line ends, and
// "Windows Error 0x%X" for a code the system has no text for.
std::string Message(unsigned long code) {
  std::string message = SystemMessage(code);
  while (!message.empty() &&
         (message.back() == '.' || static_cast<unsigned char>(message.back()) <= ' ')) {
    message.pop_back();
  }
  if (message.empty()) {
    char text[32];
    PyOS_snprintf(text, sizeof text, "Windows Error 0x%lX", code);
    message = text;
  }
  return message;
}

PyObject* RaiseWindowsError(int has_error_code, unsigned long error_code) {
  if (!has_error_code) error_code = LastError();
  PyObject* windows_error =
      PyDict_GetItemString(PyEval_GetBuiltins(), "WindowsError");
  if (windows_error == nullptr) {
    PyErr_SetString(PyExc_SystemError, "WindowsError is not a built-in");
    return nullptr;
  }
  PyObject* error = PyObject_CallFunction(windows_error, const_cast<char*>("ks"),
                                          error_code, Message(error_code).c_str());
  if (error != nullptr) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
  }
  return nullptr;
}

PyObject* RaiseWindowsErrorFunction(PyObject*, PyObject* args) {
  PyObject* code = Py_None;
  if (!PyArg_ParseTuple(args, "|O:RaiseWindowsError", &code)) return nullptr;
  if (code == Py_None) return RaiseWindowsError(0, 0);
  const unsigned long value = PyInt_Check(code) ? PyInt_AsUnsignedLongMask(code)
                                                : PyLong_AsUnsignedLongMask(code);
  if (PyErr_Occurred()) return nullptr;
  return RaiseWindowsError(1, value);
}

PyMethodDef methods[] = {
    {"RaiseWindowsError", RaiseWindowsErrorFunction, METH_VARARGS,
     "RaiseWindowsError(error_code=None)\n\n"
     "Raises WindowsError for error_code, or for the last error."},
    {nullptr, nullptr, 0, nullptr},
};

const WinwrapCApi c_api = {RaiseWindowsError};

}  // namespace

// PyMODINIT_FUNC exports the init function from a Windows DLL; elsewhere
// the build hides every symbol unless told.
#ifndef _WIN32
#pragma GCC visibility push(default)
#endif
PyMODINIT_FUNC init_winwrap() {
  PyObject* module = Py_InitModule3("_winwrap", methods,
                                    "Native part of windows.winwrap.");
  if (module == nullptr) return;
  PyObject* capsule = PyCapsule_New(const_cast<WinwrapCApi*>(&c_api),
                                    WINWRAP_CAPSULE_NAME, nullptr);
  if (capsule != nullptr) PyModule_AddObject(module, "_C_API", capsule);
}
#ifndef _WIN32
#pragma GCC visibility pop
#endif
