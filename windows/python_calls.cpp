#include "windows/python_calls.h"

namespace volumes {

OwnedRef LookupBuiltin(PyObject* name) {
  PyObject* value = PyDict_GetItem(PyEval_GetBuiltins(), name);
  if (value == nullptr) {
    Raise(PyExc_NameError, "name '%.200s' is not defined",
          PyString_AS_STRING(name));
  }
  return OwnedRef::NewReference(BorrowedRef(value));
}

OwnedRef LookupGlobal(PyObject* name) {
  PyObject* value = PyDict_GetItem(State().globals.get(), name);
  if (value == nullptr) return LookupBuiltin(name);
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

OwnedRef GetAttr(BorrowedRef object, PyObject* name) {
  return OwnedRef::StealChecked(PyObject_GetAttr(object.get(), name));
}

void SetAttr(BorrowedRef object, PyObject* name, BorrowedRef value) {
  Check(PyObject_SetAttr(object.get(), name, value.get()));
}

OwnedRef Tuple(std::initializer_list<BorrowedRef> items) {
  OwnedRef tuple = OwnedRef::StealChecked(PyTuple_New(items.size()));
  Py_ssize_t index = 0;
  for (BorrowedRef item : items) {
    PyTuple_SET_ITEM(tuple.get(), index++,
                     OwnedRef::NewReference(item).release());
  }
  return tuple;
}

OwnedRef Call(BorrowedRef callable, std::initializer_list<BorrowedRef> args,
              BorrowedRef kwargs) {
  OwnedRef arguments = Tuple(args);
  return OwnedRef::StealChecked(
      PyObject_Call(callable.get(), arguments.get(), kwargs.get()));
}

OwnedRef CallMethod(BorrowedRef object, PyObject* name,
                    std::initializer_list<BorrowedRef> args) {
  return Call(GetAttr(object, name), args);
}

bool IsTrue(BorrowedRef object) {
  return Check(PyObject_IsTrue(object.get())) != 0;
}

OwnedRef NewString(const char* text) {
  return OwnedRef::StealChecked(PyString_FromString(text));
}

OwnedRef InternedString(const char* text) {
  return OwnedRef::StealChecked(PyString_InternFromString(text));
}

BorrowedRef DictGet(BorrowedRef mapping, BorrowedRef key) {
  PyObject* const object = key.get();
  // A string's hash is kept in the string once computed.
  long hash = PyString_CheckExact(object)
                  ? reinterpret_cast<PyStringObject*>(object)->ob_shash
                  : -1;
  if (hash == -1) {
    hash = PyObject_Hash(object);
    if (hash == -1) throw PyError();
  }
  auto* dict = reinterpret_cast<PyDictObject*>(mapping.get());
  // The dict's own lookup, as dict.get uses it: unlike PyDict_GetItem it
  // reports an exception raised while comparing keys.
  PyDictEntry* entry = dict->ma_lookup(dict, object, hash);
  if (entry == nullptr) throw PyError();
  return BorrowedRef(entry->me_value);
}

void Log(PyObject* level, const char* format,
         std::initializer_list<BorrowedRef> args) {
  OwnedRef method = GetAttr(LookupGlobal(names().LOGGER), level);
  OwnedRef arguments = OwnedRef::StealChecked(PyTuple_New(args.size() + 1));
  PyTuple_SET_ITEM(arguments.get(), 0, NewString(format).release());
  Py_ssize_t index = 1;
  for (BorrowedRef arg : args) {
    PyTuple_SET_ITEM(arguments.get(), index++,
                     OwnedRef::NewReference(arg).release());
  }
  OwnedRef::StealChecked(PyObject_Call(method.get(), arguments.get(), nullptr));
}

void RaiseWindowsError(platform::DWORD error_code) {
  const WinwrapCApi* winwrap = State().winwrap;
  if (winwrap == nullptr) {
    Raise(PyExc_ImportError,
          "windows.volumes did not start: no RaiseWindowsError for error %lu",
          static_cast<unsigned long>(error_code));
  }
  OwnedRef result =
      OwnedRef::StealNullable(winwrap->RaiseWindowsError(1, error_code));
  if (!result || PyErr_Occurred()) throw PyError();
}

namespace detail {

OwnedRef LookupSpecial(BorrowedRef object, const char* name,
                       PyObject* interned) {
  PyObject* cache = interned;
  PyObject* method =
      _PyObject_LookupSpecial(object.get(), const_cast<char*>(name), &cache);
  if (method == nullptr && !PyErr_Occurred()) {
    PyErr_SetObject(PyExc_AttributeError, interned);
  }
  return OwnedRef::StealChecked(method);
}

}  // namespace detail
}  // namespace volumes
