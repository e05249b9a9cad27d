#include "windows/idioms.h"

#include "windows/logger.h"

namespace volumes {
namespace {

namespace names {
Name get("get");
Name copy("copy");
}  // namespace names

// A key's hash as the dict computes it; a string keeps its own once
// computed.
long HashOf(PyObject* key) {
  long hash = PyString_CheckExact(key)
                  ? reinterpret_cast<PyStringObject*>(key)->ob_shash
                  : -1;
  if (hash == -1) {
    hash = PyObject_Hash(key);
    if (hash == -1) throw PyError();
  }
  return hash;
}

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

// --- CPython 2.7's dict, read from inside ------------------------------------

BorrowedRef DictGet(BorrowedRef dict, BorrowedRef key) {
  auto* const table = reinterpret_cast<PyDictObject*>(dict.get());
  // The dict's own lookup, as dict.get uses it: unlike PyDict_GetItem it
  // reports an exception raised while comparing keys.
  PyDictEntry* const entry =
      table->ma_lookup(table, key.get(), HashOf(key.get()));
  if (entry == nullptr) throw PyError();
  return BorrowedRef(entry->me_value);
}

namespace detail {

BorrowedRef NamespaceSlot::Look(PyDictObject* globals, const Name& name) {
  PyDictEntry* const slot =
      globals->ma_lookup(globals, name.get(), HashOf(name.get()));
  if (slot == nullptr) {
    // A key's comparison raised; LookupGlobal will look again as the
    // interpreter does.
    PyErr_Clear();
    last_ = nullptr;
    return BorrowedRef();
  }
  last_ = slot->me_value != nullptr ? slot : nullptr;
  return BorrowedRef(slot->me_value);
}

}  // namespace detail
}  // namespace volumes
