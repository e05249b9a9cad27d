#include "windows/name_lookup.h"

#include "windows/module_state.h"

namespace volumes {

OwnedRef LookupGlobal(const Name& name) {
  PyObject* value = PyDict_GetItem(State().globals.get(), name.get());
  if (value == nullptr) return LookupBuiltin(name);
  return OwnedRef::NewReference(BorrowedRef(value));
}

OwnedRef LookupBuiltin(const Name& name) {
  PyObject* value = PyDict_GetItem(PyEval_GetBuiltins(), name.get());
  if (value == nullptr) {
    Raise(PyExc_NameError, "name '%.200s' is not defined", name.text());
  }
  return OwnedRef::NewReference(BorrowedRef(value));
}

BorrowedRef NamespaceSlot::Find(const Name& name) {
  auto* globals = reinterpret_cast<PyDictObject*>(State().globals.get());
  PyDictEntry* const table = globals->ma_table;
  // A dict has one slot per key: a slot of the current table that holds the
  // name holds its binding.
  if (last_ >= table && last_ <= table + globals->ma_mask &&
      last_->me_key == name.get() && last_->me_value != nullptr) {
    return BorrowedRef(last_->me_value);
  }
  PyDictEntry* const slot = globals->ma_lookup(
      globals, name.get(),
      reinterpret_cast<PyStringObject*>(name.get())->ob_shash);
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
