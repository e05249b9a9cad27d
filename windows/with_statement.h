// The with statement, as the interpreter performs it.
#pragma once

#include <Python.h>

#include "windows/error_boundary.h"
#include "windows/object_protocol.h"
#include "windows/refs.h"

namespace volumes {

// `with manager: return body()`: __exit__, then __enter__, looked up on the
// manager's type, __enter__ called, and on every way out of body() __exit__
// called exactly once: with None three times when body() returned, with the
// exception otherwise.  An exception raised by __exit__ replaces the one in
// flight; a true result of __exit__ swallows it, and then the statement
// gives None.
template <class Body>
OwnedRef With(BorrowedRef manager, Body&& body);

// --- Implementation of the template ------------------------------------------

namespace detail {
// Looks __exit__ and __enter__ up, calls __enter__, and gives __exit__.
OwnedRef Enter(BorrowedRef manager);
// Calls __exit__ with the exception; whether its result swallows it.
bool ExitSwallows(BorrowedRef exit, const CaughtException& caught);
}  // namespace detail

template <class Body>
OwnedRef With(BorrowedRef manager, Body&& body) {
  OwnedRef exit = detail::Enter(manager);
  OwnedRef result;
  try {
    result = body();
  } catch (...) {
    SetErrorFromCurrentException();
    CaughtException caught;
    if (detail::ExitSwallows(exit, caught)) return NewNone();
    caught.Reraise();
  }
  Call(exit, {None(), None(), None()});
  return result;
}

}  // namespace volumes
