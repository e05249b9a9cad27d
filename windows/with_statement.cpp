#include "windows/with_statement.h"

#include "windows/error_boundary.h"
#include "windows/interpreter_internals.h"
#include "windows/names.h"

namespace volumes {
namespace {

namespace names {
Name dunder_enter("__enter__");
Name dunder_exit("__exit__");
}  // namespace names

// A special method, looked up on the object's type as the interpreter
// looks it up; AttributeError with the method's name where it has none.
OwnedRef LookupSpecial(BorrowedRef object, const Name& name) {
  PyObject* cache = name.get();
  PyObject* method = _PyObject_LookupSpecial(
      object.get(), const_cast<char*>(name.text()), &cache);
  if (method == nullptr && !PyErr_Occurred()) {
    PyErr_SetObject(PyExc_AttributeError, name.get());
  }
  return OwnedRef::StealChecked(method);
}

}  // namespace

namespace detail {

OwnedRef Enter(BorrowedRef manager) {
  OwnedRef exit = LookupSpecial(manager, names::dunder_exit);
  OwnedRef enter = LookupSpecial(manager, names::dunder_enter);
  Call(enter, {});
  return exit;
}

bool ExitSwallows(BorrowedRef exit, const CaughtException& caught) {
  // The with statement makes the exception the handled one while __exit__
  // runs: sys.exc_info() shows it there.
  HandledException handled(caught);
  OwnedRef result =
      Call(exit, {caught.type(), caught.value(), caught.traceback()});
  return IsTrue(result);
}

}  // namespace detail
}  // namespace volumes
