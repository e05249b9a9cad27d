// How Python errors cross C++ code.  A failed call of the interpreter's
// throws PyError (refs.h) with the interpreter's error indicator set; every
// entry point that the interpreter calls turns it, and any other C++
// exception, back into "return NULL with the error set" in one place:
// EntryPoint().  An except clause takes the exception off the indicator as
// a CaughtException.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

#include "windows/refs.h"

namespace volumes {

// For the calls that report failure with -1.
inline int Check(int status) {
  if (status < 0) throw PyError();
  return status;
}

// Sets an exception with a fixed message, and throws.
[[noreturn]] inline void Raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyError();
}

// Sets an exception, as PyErr_Format does, and throws.
template <class... Args>
[[noreturn]] void Raise(PyObject* type, const char* format, Args... args) {
  PyErr_Format(type, format, args...);
  throw PyError();
}

// Turns the C++ exception being handled into the interpreter's error, for
// the code that must go on in Python terms (an except clause, an exit).
inline void SetErrorFromCurrentException() noexcept {
  try {
    throw;
  } catch (const PyError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

// The boundary where C++ errors become Python errors: runs body() and
// returns its reference, or NULL with the error indicator set.
template <class Body>
PyObject* EntryPoint(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    SetErrorFromCurrentException();
  }
  return nullptr;
}

// The exception being raised, taken off the error indicator and normalized,
// as an except clause receives it.  Dropped when this object dies unless
// Reraise() puts it back.
class CaughtException {
 public:
  CaughtException() noexcept {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = OwnedRef::StealNullable(type);
    value_ = OwnedRef::StealNullable(value);
    traceback_ = OwnedRef::StealNullable(traceback);
  }
  CaughtException(const CaughtException&) = delete;
  CaughtException& operator=(const CaughtException&) = delete;

  bool Matches(BorrowedRef exception_class) const noexcept {
    return PyErr_GivenExceptionMatches(type_.get(), exception_class.get()) != 0;
  }

  // None stands in for a missing part, as the with statement passes them.
  BorrowedRef type() const noexcept { return OrNone(type_); }
  BorrowedRef value() const noexcept { return OrNone(value_); }
  BorrowedRef traceback() const noexcept { return OrNone(traceback_); }

  // Makes it the exception being raised again, and throws it on.
  [[noreturn]] void Reraise() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    throw PyError();
  }

 private:
  static BorrowedRef OrNone(const OwnedRef& part) noexcept {
    return part ? part.borrow() : None();
  }

  OwnedRef type_;
  OwnedRef value_;
  OwnedRef traceback_;
};

}  // namespace volumes
