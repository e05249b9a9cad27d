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

// `global.attribute`: the global looked up now, then its attribute.
OwnedRef GlobalAttr(const Name& global, const Name& attribute);

}  // namespace volumes
