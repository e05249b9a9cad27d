#include "windows/with_statement.h"

namespace volumes {
namespace detail {

OwnedRef LookupSpecial(BorrowedRef object, const Name& name) {
  PyObject* cache = name.get();
  PyObject* method = _PyObject_LookupSpecial(
      object.get(), const_cast<char*>(name.text()), &cache);
  if (method == nullptr && !PyErr_Occurred()) {
    PyErr_SetObject(PyExc_AttributeError, name.get());
  }
  return OwnedRef::StealChecked(method);
}

}  // namespace detail
}  // namespace volumes
