#include "windows/idioms.h"

#include "windows/logger.h"

namespace volumes {
namespace {

namespace names {
Name get("get");
Name copy("copy");
}  // namespace names

}  // namespace

// --- An except clause that logs ----------------------------------------------

OwnedRef ExceptionClass::Evaluate() const {
  if (global_ != nullptr) return LookupGlobal(*global_);
  return OwnedRef::NewReference(builtin_);
}

namespace detail {

void ExceptAndLogHandler(const ExceptionClass& handled, const char* message,
                         std::initializer_list<BorrowedRef> args) {
  SetErrorFromCurrentException();
  CaughtException caught;
  OwnedRef exception_class = handled.Evaluate();
  if (!caught.Matches(exception_class)) caught.Reraise();
  HandledException as_handled(caught);
  Log(LogLevel::kException, message, args);
}

}  // namespace detail

// --- "Expected X, got Y" -----------------------------------------------------

void RaiseExpected(const char* expected, BorrowedRef value) {
  Raise(PyExc_TypeError, "Expected %.16s, got %.200s", expected,
        Py_TYPE(value.get())->tp_name);
}

// --- A mapping's get and copy ------------------------------------------------

OwnedRef CallGet(BorrowedRef mapping, BorrowedRef key) {
  if (!PyDict_CheckExact(mapping.get())) {
    return CallMethod(mapping, names::get, {key});
  }
  const BorrowedRef value = DictGet(mapping, key);
  return value ? OwnedRef::NewReference(value) : NewNone();
}

OwnedRef CallCopy(BorrowedRef mapping) {
  if (!PyDict_CheckExact(mapping.get())) {
    return CallMethod(mapping, names::copy);
  }
  return OwnedRef::StealChecked(PyDict_Copy(mapping.get()));
}

}  // namespace volumes
