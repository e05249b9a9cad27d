// The interpreter's object operations as the module performs them:
// attributes, calls, truth and strings, each raising PyError when the
// interpreter reports a failure.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "windows/names.h"
#include "windows/refs.h"

namespace volumes {

OwnedRef GetAttr(BorrowedRef object, const Name& name);
void SetAttr(BorrowedRef object, const Name& name, BorrowedRef value);
OwnedRef Tuple(std::initializer_list<BorrowedRef> items);
OwnedRef Call(BorrowedRef callable, std::initializer_list<BorrowedRef> args,
              BorrowedRef kwargs = BorrowedRef());
OwnedRef CallMethod(BorrowedRef object, const Name& name,
                    std::initializer_list<BorrowedRef> args = {});
bool IsTrue(BorrowedRef object);
OwnedRef NewString(const char* text);
OwnedRef InternedString(const char* text);

}  // namespace volumes
