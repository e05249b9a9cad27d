// Module-level names as the module's code sees them at this moment: the
// module's namespace first, then the interpreter's built-ins.
#pragma once

#include <Python.h>

#include "windows/names.h"
#include "windows/refs.h"

namespace volumes {

// What the name binds now; NameError when neither place has it.
OwnedRef LookupGlobal(const Name& name);

// A name among the interpreter's built-ins only; NameError when missing.
OwnedRef LookupBuiltin(const Name& name);

// What the module namespace binds to `name` now, or null when it binds
// nothing (the built-ins are not looked at).  For the hot paths: it
// remembers where the name was found, and while the namespace's table still
// holds the name there no lookup is made.
class NamespaceSlot {
 public:
  BorrowedRef Find(const Name& name);

 private:
  PyDictEntry* last_ = nullptr;
};

}  // namespace volumes
