// The calling convention shared by every function and method of the module,
// driven by one const table entry per callable.
//
// A Callable says what a function or method is: its name, its calling style,
// its parameters with the test or conversion each gets, its body and its
// docstring.  From it the module makes either a built-in function's method
// table entry (MethodDef) or a method object (function_type.h); argument
// handling is never written per function.  Adding a callable is writing its
// body and its entry, in the subsystem's file, and listing it among what the
// subsystem registers (registration.h).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "windows/error_boundary.h"
#include "windows/names.h"
#include "windows/refs.h"

namespace volumes {

enum class CallingStyle {
  kNoArguments,      // f()
  kOneArgument,      // f(x): exactly one positional argument, never by name
  kNamedParameters,  // f(a, b=False): by position or by keyword
};

// What a parameter's value goes through before the body sees it.
enum class Conversion {
  kNone,           // taken as it is
  kTypeTest,       // tested against the parameter's TypeTest
  kNativeInteger,  // a signed 64-bit integer (ints, longs, __int__, __long__)
};

// What a typed parameter accepts: None, or a value of exactly this type
// (subclasses do not pass).
enum class TypeTest {
  kUnicode,     // unicode
  kBasestring,  // str or unicode
};

inline constexpr int kMaxParameters = 2;

struct Parameter {
  const Name* name = nullptr;  // null: no parameter in this place
  Conversion conversion = Conversion::kNone;
  TypeTest type = TypeTest::kUnicode;  // with Conversion::kTypeTest
  bool optional = false;               // see DefaultValue()
};

// The parameters as the tables write them.
constexpr Parameter Plain(const Name& name) { return {&name}; }
constexpr Parameter Typed(const Name& name, TypeTest type) {
  return {&name, Conversion::kTypeTest, type};
}
constexpr Parameter NativeInteger(const Name& name) {
  return {&name, Conversion::kNativeInteger};
}
constexpr Parameter DefaultsToFalse(const Name& name) {
  return {&name, Conversion::kNone, TypeTest::kUnicode, true};
}

// What an optional parameter that was not given takes: False, the only
// default value that the module has.
inline BorrowedRef DefaultValue() noexcept { return BorrowedRef(Py_False); }

// A call's arguments as the body receives them, one slot per parameter.
struct Arguments {
  BorrowedRef objects[kMaxParameters];
  std::int64_t integers[kMaxParameters] = {};  // NativeInteger parameters
};

using Body = OwnedRef (*)(const Arguments& arguments);

struct Callable {
  const char* name;
  CallingStyle style;
  std::array<Parameter, kMaxParameters> parameters;
  Body body;
  const char* doc;  // null: no docstring

  int parameter_count() const;
  int required_count() const;
};

// Matches a call's arguments to the callable's parameters, tests or
// converts each, and runs the body; or raises the convention's TypeError.
OwnedRef Invoke(const Callable& callable, PyObject* args, PyObject* kwargs);

// Tests or converts one argument for `callable.parameters[index]`.
void Convert(const Callable& callable, int index, PyObject* value,
             Arguments& arguments);

// A native integer as a signed 64-bit value (ints, longs, and whatever
// converts through __int__ or __long__).
std::int64_t ConvertNativeInteger(BorrowedRef value);

bool HasType(BorrowedRef value, TypeTest type);
const char* TypeName(TypeTest type);

// --- Built-in functions ------------------------------------------------------

namespace detail {

template <const Callable& callable>
PyObject* CallWithoutArguments(PyObject*, PyObject*) {
  return EntryPoint([] { return callable.body(Arguments{}); });
}

template <const Callable& callable>
PyObject* CallWithOneArgument(PyObject*, PyObject* argument) {
  return EntryPoint([argument] {
    Arguments arguments;
    Convert(callable, 0, argument, arguments);
    return callable.body(arguments);
  });
}

template <const Callable& callable>
PyObject* CallWithParameters(PyObject*, PyObject* args, PyObject* kwargs) {
  return EntryPoint([args, kwargs] { return Invoke(callable, args, kwargs); });
}

template <const Callable& callable>
PyCFunction ParametersEntry() {
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)()>(CallWithParameters<callable>));
}

}  // namespace detail

// The method table entry of a built-in function made from `callable`.  The
// interpreter's own METH_NOARGS and METH_O checks give the convention's
// messages for the first two styles.
template <const Callable& callable>
PyMethodDef MethodDef() {
  switch (callable.style) {
    case CallingStyle::kNoArguments:
      return {callable.name, detail::CallWithoutArguments<callable>,
              METH_NOARGS, callable.doc};
    case CallingStyle::kOneArgument:
      return {callable.name, detail::CallWithOneArgument<callable>, METH_O,
              callable.doc};
    case CallingStyle::kNamedParameters:
      break;
  }
  return {callable.name, detail::ParametersEntry<callable>(),
          METH_VARARGS | METH_KEYWORDS, callable.doc};
}

// Whether `function` is a built-in function made from `callable` by
// MethodDef, so that the module may run its body without a call through the
// interpreter.
template <const Callable& callable>
bool IsBuiltinOf(PyObject* function) {
  if (!PyCFunction_Check(function)) return false;
  const PyCFunction entry = PyCFunction_GET_FUNCTION(function);
  return entry == detail::CallWithOneArgument<callable> ||
         entry == detail::CallWithoutArguments<callable> ||
         entry == detail::ParametersEntry<callable>();
}

}  // namespace volumes
