// The interpreter's idioms as the module's code uses them, each written
// once: an except clause that logs, the "Expected X, got Y" test, a call
// of one of the module's own functions through its global, a mapping's get
// and copy, and a method's docstring.  The with statement is beside them
// (with_statement.h).
//
// What fidelity to the host requires, and what is only speed.  The host
// application observes, and relies on, everything that the same Python code
// would do: which names are looked up, and when (a module global that the
// host rebinds takes effect at the next call; an except clause evaluates its
// class when an exception reaches it; a function's name is looked up before
// its argument is evaluated), which methods are called on objects that the
// host may have replaced, the order of all of it, the exceptions, every
// message and log format word for word, and the docstrings.  How fast it
// goes is accidental: a function still the module's own runs without a call
// through the interpreter, an exact dict is read from inside, the slot of a
// global in the namespace is remembered.  Each such path gives exactly what
// the slow one would, is taken only where that holds (an exact dict, the
// module's own built-in), and the interpreter's internals that it reads are
// interpreter_internals.h's.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

#include "windows/calling_convention.h"
#include "windows/error_boundary.h"
#include "windows/interpreter_internals.h"
#include "windows/module_state.h"
#include "windows/name_lookup.h"
#include "windows/names.h"
#include "windows/object_protocol.h"
#include "windows/refs.h"

namespace volumes {

// --- An except clause that logs ----------------------------------------------

// The class that an except clause names, evaluated as the clause evaluates
// it: when an exception reaches it.
class ExceptionClass {
 public:
  // One of the interpreter's own, such as PyExc_Exception.
  explicit ExceptionClass(BorrowedRef builtin) noexcept : builtin_(builtin) {}
  // A module-level name, looked up then: `except WindowsError:`.
  explicit ExceptionClass(const Name& global) noexcept : global_(&global) {}

  OwnedRef Evaluate() const;

 private:
  BorrowedRef builtin_;
  const Name* global_ = nullptr;
};

// try:
//   step()
// except <handled>:
//   LOGGER.exception(message, *args)
// True when step() returned; false when it raised an exception of the
// class, which is logged with its traceback and dropped.  Any other
// exception passes on.
template <class Step>
bool ExceptAndLog(Step&& step, const ExceptionClass& handled,
                  const char* message,
                  std::initializer_list<BorrowedRef> args = {});

// --- "Expected X, got Y" -----------------------------------------------------

// TypeError "Expected <expected>, got <the value's type's name>": the test
// that a value is of the type that the code goes on to assume.
[[noreturn]] void RaiseExpected(const char* expected, BorrowedRef value);

// --- One of the module's own functions, called through its global -----------

// `function(argument)` in the module's code, where start-up binds `function`
// to the built-in made from `callable` (one parameter, taken as it is).
// Made where the call begins, it looks the name up at once, before the
// argument is evaluated, as the interpreter does.  Called, it runs the body
// directly while the namespace still binds the module's own function, and
// otherwise calls whatever the host bound there.
template <const Callable& callable>
class ModuleFunction {
 public:
  ModuleFunction();
  OwnedRef operator()(BorrowedRef argument) const;

 private:
  OwnedRef rebound_;  // null: the module's own
};

// --- A mapping's get and copy ------------------------------------------------

// mapping.get(key) and mapping.copy(): the dict's own operations for an
// exact dict, without a bound method; for any other mapping, its methods,
// looked up and called.
OwnedRef CallGet(BorrowedRef mapping, BorrowedRef key);
OwnedRef CallCopy(BorrowedRef mapping);

// --- A method's docstring ----------------------------------------------------

// A def's docstring, as the interpreter keeps it word for word, carries the
// indentation of the def's body on every line after the first.  A function
// and a method that share a docstring differ by that alone:
// MethodDocstring<text>() is `text`, written for a module-level function,
// as a method of a class carries it, two spaces further in.
template <const char* text>
constexpr const char* MethodDocstring();

// --- Implementation of the templates -----------------------------------------

namespace detail {

// The except clause itself, while the exception is being handled.
void ExceptAndLogHandler(const ExceptionClass& handled, const char* message,
                         std::initializer_list<BorrowedRef> args);

template <const Callable& callable>
struct ModuleFunctionBinding {
  static inline Name name{callable.name};
  static inline DictSlot slot;
};

inline constexpr std::size_t kMethodIndent = 2;

constexpr bool StartsIndentedLine(const char* text, std::size_t index) {
  return text[index] == '\n' && text[index + 1] != '\n' &&
         text[index + 1] != '\0';
}

constexpr std::size_t MethodDocstringSize(const char* text) {
  std::size_t size = 1;  // the closing NUL
  for (std::size_t index = 0; text[index] != '\0'; ++index) {
    size += StartsIndentedLine(text, index) ? 1 + kMethodIndent : 1;
  }
  return size;
}

template <const char* text>
constexpr std::array<char, MethodDocstringSize(text)> IndentForMethod() {
  std::array<char, MethodDocstringSize(text)> indented{};
  std::size_t out = 0;
  for (std::size_t index = 0; text[index] != '\0'; ++index) {
    indented[out++] = text[index];
    if (!StartsIndentedLine(text, index)) continue;
    for (std::size_t space = 0; space < kMethodIndent; ++space) {
      indented[out++] = ' ';
    }
  }
  return indented;
}

template <const char* text>
inline constexpr auto kMethodDocstring = IndentForMethod<text>();

}  // namespace detail

template <class Step>
bool ExceptAndLog(Step&& step, const ExceptionClass& handled,
                  const char* message,
                  std::initializer_list<BorrowedRef> args) {
  try {
    step();
    return true;
  } catch (...) {
    detail::ExceptAndLogHandler(handled, message, args);
  }
  return false;
}

template <const Callable& callable>
inline ModuleFunction<callable>::ModuleFunction() {
  using Binding = detail::ModuleFunctionBinding<callable>;
  const BorrowedRef bound =
      Binding::slot.Find(State().globals.get(), Binding::name);
  if (!bound || !IsBuiltinOf<callable>(bound.get())) {
    rebound_ = LookupGlobal(Binding::name);
  }
}

template <const Callable& callable>
inline OwnedRef ModuleFunction<callable>::operator()(
    BorrowedRef argument) const {
  if (rebound_) return Call(rebound_, {argument});
  Arguments arguments;
  arguments.objects[0] = argument;
  return callable.body(arguments);
}

template <const char* text>
constexpr const char* MethodDocstring() {
  return detail::kMethodDocstring<text>.data();
}

}  // namespace volumes
