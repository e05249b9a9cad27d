// The type of the module's methods: a function object made from a Callable
// that binds as a Python function does (a bound method through an instance,
// an unbound one through the class) and shows the introspection of one:
// __name__, __qualname__, __doc__, __module__, __defaults__, __code__
// (co_argcount, co_varnames) and their func_ names.
#pragma once

#include <Python.h>

#include "windows/calling_convention.h"
#include "windows/refs.h"

namespace volumes {

// Readies the type; start-up calls it before making any method.
void ReadyFunctionType();

// A method of the class `class_name` of module `module_name`.
OwnedRef NewMethod(const Callable& callable, const char* class_name,
                   BorrowedRef module_name);

}  // namespace volumes
