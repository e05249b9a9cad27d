// The interpreter's object operations as the module performs them:
// attributes, calls, truth, strings and a dict's lookup, each raising
// PyError when the interpreter reports a failure.
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

// mapping.get(key) as dict.get performs it, without making a bound method:
// a borrowed value or null for a missing key, and the errors of hashing and
// comparing the key raised.  `mapping` must be exactly a dict.
BorrowedRef DictGet(BorrowedRef mapping, BorrowedRef key);

}  // namespace volumes
