// Ownership of Python objects, and how Python errors cross C++ code.
//
// Rules of use:
//  - Every PyObject* that module code keeps is held by an OwnedRef (a
//    reference this code must release) or by a ProcessRef (one kept for the
//    life of the process, as the interned names are: names.h), or passed as
//    a BorrowedRef (one that somebody else keeps alive for the duration of
//    the call).  A raw pointer never turns into a BorrowedRef by
//    itself: BorrowedRef(p) says, at the call, that p is borrowed, so a new
//    reference cannot slip into a borrowed parameter and leak.
//  - OwnedRef::StealChecked(p) takes over the new reference that an API call
//    returned, and throws PyError when the call failed (p is null).
//    OwnedRef::StealNullable(p) takes it over as it is, null included.
//    OwnedRef::NewReference(b) adds a reference to a borrowed object.
//    An OwnedRef lends a BorrowedRef only while it has a name: a temporary
//    one does not convert, so a borrow cannot outlive its owner.
//    Outside this file nobody writes Py_INCREF or Py_DECREF.
//  - release() hands the reference on, to return it to the interpreter.
//  - A failed call throws PyError with the interpreter's error indicator set.
//    Every entry point that the interpreter calls turns it back into "return
//    NULL with the error set" in one place: EntryPoint().
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace volumes {

// Thrown when the interpreter's error indicator is set.
class PyError {};

class BorrowedRef {
 public:
  constexpr BorrowedRef() noexcept = default;
  constexpr explicit BorrowedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// A call that returns a new reference cannot pass it where a borrowed one
// is taken.
static_assert(!std::is_convertible_v<PyObject*, BorrowedRef>);

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    OwnedRef old(std::move(*this));
    object_ = other.release();
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  static OwnedRef StealChecked(PyObject* new_reference) {
    if (new_reference == nullptr) throw PyError();
    return OwnedRef(new_reference);
  }
  static OwnedRef StealNullable(PyObject* new_reference) noexcept {
    return OwnedRef(new_reference);
  }
  static OwnedRef NewReference(BorrowedRef object) noexcept {
    Py_XINCREF(object.get());
    return OwnedRef(object.get());
  }

  PyObject* get() const noexcept { return object_; }
  // Of an owner that outlives the borrow only: a temporary's reference goes
  // with it at the end of the statement.
  BorrowedRef borrow() const& noexcept { return BorrowedRef(object_); }
  BorrowedRef borrow() const&& = delete;
  operator BorrowedRef() const& noexcept { return BorrowedRef(object_); }
  operator BorrowedRef() const&& = delete;
  explicit operator bool() const noexcept { return object_ != nullptr; }

  [[nodiscard]] PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

// A borrowed reference is taken of a named owner, never of a temporary one:
// `BorrowedRef b = MakeOwned();` would hold a reference already released.
static_assert(std::is_convertible_v<OwnedRef&, BorrowedRef>);
static_assert(!std::is_convertible_v<OwnedRef, BorrowedRef>);

inline BorrowedRef None() noexcept { return BorrowedRef(Py_None); }
inline OwnedRef NewNone() noexcept { return OwnedRef::NewReference(None()); }
inline OwnedRef NewBool(bool value) noexcept {
  return OwnedRef::NewReference(BorrowedRef(value ? Py_True : Py_False));
}

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

// A reference kept for the life of the process.  It is never released at
// exit, when the interpreter may already be gone; Reset() replaces it.
class ProcessRef {
 public:
  void Reset(OwnedRef object) noexcept {
    OwnedRef old = OwnedRef::StealNullable(object_);
    object_ = object.release();
  }
  PyObject* get() const noexcept { return object_; }
  operator BorrowedRef() const noexcept { return BorrowedRef(object_); }

 private:
  PyObject* object_ = nullptr;
};

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

// For the lifetime of this object, `caught` is the exception being handled
// on this thread, as inside an except clause: sys.exc_info() returns it, so
// that logging.exception can show its traceback.  The thread's previous
// handled exception comes back afterwards.
class HandledException {
 public:
  explicit HandledException(const CaughtException& caught) noexcept
      : thread_(PyThreadState_GET()) {
    saved_type_ = OwnedRef::StealNullable(thread_->exc_type);
    saved_value_ = OwnedRef::StealNullable(thread_->exc_value);
    saved_traceback_ = OwnedRef::StealNullable(thread_->exc_traceback);
    thread_->exc_type = OwnedRef::NewReference(caught.type()).release();
    thread_->exc_value = OwnedRef::NewReference(caught.value()).release();
    thread_->exc_traceback =
        OwnedRef::NewReference(caught.traceback()).release();
  }
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;
  ~HandledException() {
    OwnedRef type = OwnedRef::StealNullable(thread_->exc_type);
    OwnedRef value = OwnedRef::StealNullable(thread_->exc_value);
    OwnedRef traceback = OwnedRef::StealNullable(thread_->exc_traceback);
    thread_->exc_type = saved_type_.release();
    thread_->exc_value = saved_value_.release();
    thread_->exc_traceback = saved_traceback_.release();
  }

 private:
  PyThreadState* thread_;
  OwnedRef saved_type_;
  OwnedRef saved_value_;
  OwnedRef saved_traceback_;
};

}  // namespace volumes
