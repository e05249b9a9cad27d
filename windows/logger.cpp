#include "windows/logger.h"

#include "windows/module_state.h"
#include "windows/name_lookup.h"
#include "windows/object_protocol.h"

namespace volumes {
namespace {

namespace names {
Name debug("debug");
Name info("info");
Name error("error");
Name exception("exception");
}  // namespace names

const Name& MethodOf(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return names::debug;
    case LogLevel::kInfo:
      return names::info;
    case LogLevel::kError:
      return names::error;
    case LogLevel::kException:
      break;
  }
  return names::exception;
}

}  // namespace

void Log(LogLevel level, const char* format,
         std::initializer_list<BorrowedRef> args) {
  OwnedRef method = GlobalAttr(global::LOGGER, MethodOf(level));
  OwnedRef arguments = OwnedRef::StealChecked(PyTuple_New(args.size() + 1));
  PyTuple_SET_ITEM(arguments.get(), 0, NewString(format).release());
  Py_ssize_t index = 1;
  for (BorrowedRef arg : args) {
    PyTuple_SET_ITEM(arguments.get(), index++,
                     OwnedRef::NewReference(arg).release());
  }
  OwnedRef::StealChecked(PyObject_Call(method.get(), arguments.get(), nullptr));
}

}  // namespace volumes
