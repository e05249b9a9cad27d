// What the module does in Python terms, written once: module-level names
// looked up as the module's code sees them, attribute access, calls,
// logging through LOGGER, the with statement, and windows.winwrap's
// RaiseWindowsError.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "platform/kernel32.h"
#include "windows/module_state.h"
#include "windows/refs.h"

namespace volumes {

// A module-level name as the module's code sees it at this moment: the module
// namespace first, then the built-ins; NameError when neither has it.
OwnedRef LookupGlobal(PyObject* name);

// What the module namespace binds to `name` now, or null when it binds
// nothing (the built-ins are not looked at).  For the hot paths: `slot`
// remembers where the name was found, and while the namespace's table still
// holds the name there no lookup is made.
class NamespaceSlot {
 public:
  BorrowedRef Find(PyObject* name);

 private:
  PyDictEntry* last_ = nullptr;
};

// A name among the interpreter's built-ins only; NameError when missing.
OwnedRef LookupBuiltin(PyObject* name);

OwnedRef GetAttr(BorrowedRef object, PyObject* name);
void SetAttr(BorrowedRef object, PyObject* name, BorrowedRef value);
OwnedRef Tuple(std::initializer_list<BorrowedRef> items);
OwnedRef Call(BorrowedRef callable, std::initializer_list<BorrowedRef> args,
              BorrowedRef kwargs = BorrowedRef());
OwnedRef CallMethod(BorrowedRef object, PyObject* name,
                    std::initializer_list<BorrowedRef> args = {});
bool IsTrue(BorrowedRef object);
OwnedRef NewString(const char* text);
OwnedRef InternedString(const char* text);

// mapping.get(key) as dict.get performs it, without making a bound method:
// a borrowed value or null for a missing key, and the errors of hashing and
// comparing the key raised.  `mapping` must be exactly a dict.
BorrowedRef DictGet(BorrowedRef mapping, BorrowedRef key);

// LOGGER.<level>(format, *args), LOGGER looked up at this call.  `level` is
// one of names().debug, info, error, exception.
void Log(PyObject* level, const char* format,
         std::initializer_list<BorrowedRef> args);

// Calls windows.winwrap's RaiseWindowsError with the code that GetLastError
// gave right after the failed call, and throws the WindowsError it raises.
// Should it return instead, its result is dropped and the caller carries on.
void RaiseWindowsError(platform::DWORD error_code);

// `with manager: return body()`, as the interpreter performs it: __exit__,
// then __enter__, looked up on the manager's type, __enter__ called, and on
// every way out of body() __exit__ called exactly once: with None three
// times when body() returned, with the exception otherwise.  An exception
// raised by __exit__ replaces the one in flight; a true result of __exit__
// swallows it, and then the statement gives None.
template <class Body>
OwnedRef With(BorrowedRef manager, Body&& body);

// --- Implementation of the template ------------------------------------------

namespace detail {
OwnedRef LookupSpecial(BorrowedRef object, const char* name, PyObject* interned);
}  // namespace detail

template <class Body>
OwnedRef With(BorrowedRef manager, Body&& body) {
  OwnedRef exit = detail::LookupSpecial(manager, "__exit__", names().__exit__);
  OwnedRef enter =
      detail::LookupSpecial(manager, "__enter__", names().__enter__);
  Call(enter, {});
  OwnedRef result;
  try {
    result = body();
  } catch (...) {
    SetErrorFromCurrentException();
    CaughtException caught;
    if (IsTrue(Call(exit, {caught.type(), caught.value(), caught.traceback()}))) {
      return NewNone();
    }
    caught.Reraise();
  }
  Call(exit, {None(), None(), None()});
  return result;
}

}  // namespace volumes
