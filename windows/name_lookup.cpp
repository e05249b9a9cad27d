#include "windows/name_lookup.h"

#include "windows/error_boundary.h"
#include "windows/module_state.h"
#include "windows/object_protocol.h"

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

OwnedRef GlobalAttr(const Name& global, const Name& attribute) {
  OwnedRef object = LookupGlobal(global);
  return GetAttr(object, attribute);
}

}  // namespace volumes
