#include "windows/logger.h"

#include "windows/error_boundary.h"
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
Name Logger("Logger");
Name isEnabledFor("isEnabledFor");
Name getEffectiveLevel("getEffectiveLevel");
Name manager("manager");
Name disable("disable");
Name level("level");
Name parent("parent");
Name DEBUG("DEBUG");
Name INFO("INFO");
Name NOTSET("NOTSET");
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

// --- A level that the logger drops --------------------------------------
//
// Python 2.7's Logger.debug and Logger.info do nothing but
// `if self.isEnabledFor(LEVEL): self._log(...)`.  Where LOGGER is a plain
// logging.Logger whose debug, info, isEnabledFor and getEffectiveLevel are
// the logging module's own, the module answers isEnabledFor itself, as
// those functions do (the same attributes and globals, compared and tested
// in the same order, their exceptions raised), and calls the method only
// when it is true.  Speed alone: a refresh logs a debug line for nearly
// every volume, which a host's logger mostly drops, and the three calls
// into the interpreter cost a tenth of the refresh (the benchmark's
// "refresh, real Linux" target).
struct StandardLogger {
  ProcessRef type;  // logging.Logger, as start-up found it
  ProcessRef logging_globals;
  ProcessRef functions[4];  // debug, info, isEnabledFor, getEffectiveLevel
};

StandardLogger standard;

const Name* const kStandardMethods[] = {&names::debug, &names::info,
                                        &names::isEnabledFor,
                                        &names::getEffectiveLevel};

// a >= b, as the interpreter compares and tests it; two exact ints (the
// levels, as logging keeps them) directly.
bool AtLeast(BorrowedRef a, BorrowedRef b) {
  if (PyInt_CheckExact(a.get()) && PyInt_CheckExact(b.get())) {
    return PyInt_AS_LONG(a.get()) >= PyInt_AS_LONG(b.get());
  }
  const int result = PyObject_RichCompareBool(a.get(), b.get(), Py_GE);
  if (result < 0) throw PyError();
  return result != 0;
}

// Whether logger.debug(...) (or .info) would do nothing.  False whenever
// the answer is not the standard functions' own.
bool Drops(BorrowedRef logger, LogLevel log_level) {
  PyTypeObject* const type = Py_TYPE(logger.get());
  if (reinterpret_cast<PyObject*>(type) != standard.type.get() ||
      type->tp_getattro != PyObject_GenericGetAttr) {
    return false;
  }
  PyObject** const own = _PyObject_GetDictPtr(logger.get());
  for (std::size_t i = 0; i < 4; ++i) {
    PyObject* const name = kStandardMethods[i]->get();
    if (_PyType_Lookup(type, name) != standard.functions[i].get() ||
        (own != nullptr && *own != nullptr && PyDict_GetItem(*own, name))) {
      return false;
    }
  }
  PyObject* const globals = standard.logging_globals.get();
  const Name& level_name = log_level == LogLevel::kDebug ? names::DEBUG : names::INFO;
  PyObject* const level = PyDict_GetItem(globals, level_name.get());
  PyObject* const notset = PyDict_GetItem(globals, names::NOTSET.get());
  if (level == nullptr || notset == nullptr) return false;
  // isEnabledFor: `if self.manager.disable >= level: return 0`
  OwnedRef manager = GetAttr(logger, names::manager);
  OwnedRef disable = GetAttr(manager, names::disable);
  if (AtLeast(disable, BorrowedRef(level))) return true;
  // getEffectiveLevel, then `return level >= self.getEffectiveLevel()`
  OwnedRef effective = OwnedRef::NewReference(BorrowedRef(notset));
  for (OwnedRef at = OwnedRef::NewReference(logger); IsTrue(at);
       at = GetAttr(at, names::parent)) {
    OwnedRef at_level = GetAttr(at, names::level);
    if (IsTrue(at_level)) {
      effective = std::move(at_level);
      break;
    }
  }
  return !AtLeast(BorrowedRef(level), effective);
}

}  // namespace

void NoteStandardLogger(BorrowedRef logging) {
  OwnedRef type = OwnedRef::StealNullable(
      PyObject_GetAttr(logging.get(), names::Logger.get()));
  PyObject* const globals = PyModule_Check(logging.get())
                                ? PyModule_GetDict(logging.get())
                                : nullptr;
  if (!type || !PyType_Check(type.get()) || globals == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* const methods =
      reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
  for (std::size_t i = 0; i < 4; ++i) {
    PyObject* function = PyDict_GetItem(methods, kStandardMethods[i]->get());
    // The logging module's own function, not one put there for it.
    if (function == nullptr || !PyFunction_Check(function) ||
        PyFunction_GET_GLOBALS(function) != globals) {
      return;
    }
    standard.functions[i].Reset(OwnedRef::NewReference(BorrowedRef(function)));
  }
  standard.logging_globals.Reset(OwnedRef::NewReference(BorrowedRef(globals)));
  standard.type.Reset(std::move(type));
}

LogCall::LogCall(LogLevel level)
    : level_(level), logger_(LookupGlobal(global::LOGGER)) {
  logs_ = !((level == LogLevel::kDebug || level == LogLevel::kInfo) &&
            standard.type.get() != nullptr && Drops(logger_, level));
}

void LogCall::operator()(const char* format,
                         std::initializer_list<BorrowedRef> args) {
  if (!logs_) return;
  OwnedRef method = GetAttr(logger_, MethodOf(level_));
  OwnedRef arguments = OwnedRef::StealChecked(PyTuple_New(args.size() + 1));
  PyTuple_SET_ITEM(arguments.get(), 0, NewString(format).release());
  Py_ssize_t index = 1;
  for (BorrowedRef arg : args) {
    PyTuple_SET_ITEM(arguments.get(), index++,
                     OwnedRef::NewReference(arg).release());
  }
  OwnedRef::StealChecked(PyObject_Call(method.get(), arguments.get(), nullptr));
}

void Log(LogLevel level, const char* format,
         std::initializer_list<BorrowedRef> args) {
  LogCall call(level);
  call(format, args);
}

}  // namespace volumes
