#include "windows/object_protocol.h"

namespace volumes {

OwnedRef GetAttr(BorrowedRef object, const Name& name) {
  return OwnedRef::StealChecked(PyObject_GetAttr(object.get(), name.get()));
}

void SetAttr(BorrowedRef object, const Name& name, BorrowedRef value) {
  Check(PyObject_SetAttr(object.get(), name.get(), value.get()));
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

OwnedRef CallMethod(BorrowedRef object, const Name& name,
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

}  // namespace volumes
