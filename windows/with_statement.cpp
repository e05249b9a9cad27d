#include "windows/with_statement.h"

namespace volumes {
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
