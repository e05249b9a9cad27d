#include "windows/name_lookup.h"

#include "windows/module_state.h"

namespace volumes {

OwnedRef LookupGlobal(PyObject* name) {
  PyObject* value = PyDict_GetItem(State().globals.get(), name);
  if (value == nullptr) return LookupBuiltin(name);
  return OwnedRef::NewReference(BorrowedRef(value));
}

OwnedRef LookupBuiltin(PyObject* name) {
  PyObject* value = PyDict_GetItem(PyEval_GetBuiltins(), name);
  if (value == nullptr) {
    Raise(PyExc_NameError, "name '%.200s' is not defined",
          PyString_AS_STRING(name));
  }
  return OwnedRef::NewReference(BorrowedRef(value));
}

BorrowedRef NamespaceSlot::Find(PyObject* name) {
  auto* globals = reinterpret_cast<PyDictObject*>(State().globals.get());
  PyDictEntry* const table = globals->ma_table;
  // A dict has one slot per key: a slot of the current table that holds the
  // name holds its binding.
  if (last_ >= table && last_ <= table + globals->ma_mask &&
      last_->me_key == name && last_->me_value != nullptr) {
    return BorrowedRef(last_->me_value);
  }
  PyDictEntry* const slot = globals->ma_lookup(
      globals, name, reinterpret_cast<PyStringObject*>(name)->ob_shash);
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

}  // namespace volumes
