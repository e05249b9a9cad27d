// Ownership of Python objects.  How Python errors cross C++ code is
// error_boundary.h.
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
//  - A failed call throws PyError with the interpreter's error indicator set
//    (error_boundary.h).
#pragma once

#include <Python.h>

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

}  // namespace volumes
