#include "windows/object_protocol.h"

#include "windows/error_boundary.h"

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
  OwnedRef method = GetAttr(object, name);
  return Call(method, args);
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

}  // namespace volumes
