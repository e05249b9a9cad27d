#include "windows/calling_convention.h"

#include <cstring>

#include "windows/error_boundary.h"

namespace volumes {

int Callable::parameter_count() const {
  int count = 0;
  while (count < kMaxParameters && parameters[count].name != nullptr) ++count;
  return count;
}

int Callable::required_count() const {
  int count = 0;
  while (count < parameter_count() && !parameters[count].optional) ++count;
  return count;
}

namespace {

// The parameter's name as text, for messages and comparisons.
const char* NameOf(const Parameter& parameter) {
  return parameter.name->text();
}

[[noreturn]] void RaiseCountError(const Callable& callable, bool too_many,
                                  Py_ssize_t given) {
  const int count = callable.parameter_count();
  const int required = callable.required_count();
  const char* quantity = required == count ? "exactly"
                         : too_many        ? "at most"
                                           : "at least";
  const Py_ssize_t expected = too_many ? count : required;
  Raise(PyExc_TypeError,
        "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
        callable.name, quantity, expected, expected == 1 ? "" : "s", given);
}

bool SameName(PyObject* keyword, const char* name) {
  const std::size_t length = std::strlen(name);
  if (PyString_Check(keyword)) {
    return static_cast<std::size_t>(PyString_GET_SIZE(keyword)) == length &&
           std::memcmp(PyString_AS_STRING(keyword), name, length) == 0;
  }
  const Py_UNICODE* chars = PyUnicode_AS_UNICODE(keyword);
  if (static_cast<std::size_t>(PyUnicode_GET_SIZE(keyword)) != length) {
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (chars[i] != static_cast<Py_UNICODE>(name[i])) return false;
  }
  return true;
}

// The parameter that a keyword names (compared by value, str or unicode),
// or -1.
int ParameterIndex(const Callable& callable, PyObject* keyword) {
  for (int index = 0; index < callable.parameter_count(); ++index) {
    if (SameName(keyword, NameOf(callable.parameters[index]))) return index;
  }
  return -1;
}

// Reports the first keyword, in the keyword dict's order, that no parameter
// takes.
void RaiseSurplusKeyword(const Callable& callable, PyObject* kwargs,
                         Py_ssize_t given) {
  Py_ssize_t position = 0;
  PyObject* keyword;
  PyObject* value;
  while (PyDict_Next(kwargs, &position, &keyword, &value)) {
    if (!PyString_Check(keyword) && !PyUnicode_Check(keyword)) {
      Raise(PyExc_TypeError, "%.200s() keywords must be strings",
            callable.name);
    }
    const int index = ParameterIndex(callable, keyword);
    if (index >= 0 && index < given) {
      Raise(PyExc_TypeError,
            "%s() got multiple values for keyword argument '%s'",
            callable.name, NameOf(callable.parameters[index]));
    }
    if (index < 0) {
      OwnedRef text =
          PyString_Check(keyword)
              ? OwnedRef::NewReference(BorrowedRef(keyword))
              : OwnedRef::StealChecked(PyUnicode_AsUTF8String(keyword));
      Raise(PyExc_TypeError,
            "%.200s() got an unexpected keyword argument '%.200s'",
            callable.name, PyString_AS_STRING(text.get()));
    }
  }
}

// Fills one value per parameter, defaults included, or raises the
// convention's TypeError.
void MatchArguments(const Callable& callable, PyObject* args, PyObject* kwargs,
                    PyObject** values) {
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  const Py_ssize_t keyword_count = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
  if (callable.style != CallingStyle::kNamedParameters) {
    if (keyword_count != 0) {
      Raise(PyExc_TypeError, "%.200s() takes no keyword arguments",
            callable.name);
    }
    const Py_ssize_t expected =
        callable.style == CallingStyle::kOneArgument ? 1 : 0;
    if (given != expected) {
      Raise(PyExc_TypeError,
            expected == 0 ? "%.200s() takes no arguments (%zd given)"
                          : "%.200s() takes exactly one argument (%zd given)",
            callable.name, given);
    }
    if (expected == 1) values[0] = PyTuple_GET_ITEM(args, 0);
    return;
  }

  const int count = callable.parameter_count();
  if (given > count) RaiseCountError(callable, true, given);
  Py_ssize_t consumed = 0;
  for (Py_ssize_t index = 0; index < count; ++index) {
    if (index < given) {
      values[index] = PyTuple_GET_ITEM(args, index);
    } else if (keyword_count != 0) {
      values[index] =
          PyDict_GetItem(kwargs, callable.parameters[index].name->get());
      if (values[index] != nullptr) ++consumed;
    } else {
      values[index] = nullptr;
    }
  }
  // Missing required parameters are reported before any surplus keyword.
  for (Py_ssize_t index = given; index < count; ++index) {
    if (values[index] == nullptr && !callable.parameters[index].optional) {
      RaiseCountError(callable, false, index);
    }
  }
  if (consumed < keyword_count) RaiseSurplusKeyword(callable, kwargs, given);
  for (Py_ssize_t index = given; index < count; ++index) {
    if (values[index] == nullptr) values[index] = DefaultValue().get();
  }
}

std::int64_t IntegerValue(PyObject* integer) {
  if (PyInt_Check(integer)) return PyInt_AS_LONG(integer);
  const PY_LONG_LONG value = PyLong_AsLongLong(integer);
  if (value == -1 && PyErr_Occurred()) throw PyError();
  return value;
}

}  // namespace

bool HasType(BorrowedRef value, TypeTest type) {
  PyObject* object = value.get();
  if (object == Py_None || PyUnicode_CheckExact(object)) return true;
  return type == TypeTest::kBasestring && PyString_CheckExact(object);
}

const char* TypeName(TypeTest type) {
  return type == TypeTest::kBasestring ? "basestring" : "unicode";
}

std::int64_t ConvertNativeInteger(BorrowedRef value) {
  PyObject* object = value.get();
  if (PyInt_Check(object) || PyLong_Check(object)) return IntegerValue(object);
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  unaryfunc convert = nullptr;
  const char* kind = nullptr;
  if (number != nullptr && number->nb_int != nullptr) {
    convert = number->nb_int;
    kind = "int";
  } else if (number != nullptr && number->nb_long != nullptr) {
    convert = number->nb_long;
    kind = "long";
  }
  if (convert == nullptr) Raise(PyExc_TypeError, "an integer is required");
  OwnedRef result = OwnedRef::StealChecked(convert(object));
  if (!PyInt_Check(result.get()) && !PyLong_Check(result.get())) {
    Raise(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", kind,
          kind, Py_TYPE(result.get())->tp_name);
  }
  return IntegerValue(result.get());
}

void Convert(const Callable& callable, int index, PyObject* value,
             Arguments& arguments) {
  const Parameter& parameter = callable.parameters[index];
  arguments.objects[index] = BorrowedRef(value);
  switch (parameter.conversion) {
    case Conversion::kNone:
      return;
    case Conversion::kTypeTest:
      if (!HasType(BorrowedRef(value), parameter.type)) {
        Raise(PyExc_TypeError,
              "Argument '%.200s' has incorrect type (expected %.200s, got "
              "%.200s)",
              NameOf(parameter), TypeName(parameter.type),
              Py_TYPE(value)->tp_name);
      }
      return;
    case Conversion::kNativeInteger:
      arguments.integers[index] = ConvertNativeInteger(BorrowedRef(value));
      return;
  }
}

OwnedRef Invoke(const Callable& callable, PyObject* args, PyObject* kwargs) {
  const int count = callable.parameter_count();
  Arguments arguments;
  // Every parameter given by position, the common call: nothing to match.
  if (kwargs == nullptr && callable.style == CallingStyle::kNamedParameters &&
      PyTuple_GET_SIZE(args) == count) {
    for (int index = 0; index < count; ++index) {
      Convert(callable, index, PyTuple_GET_ITEM(args, index), arguments);
    }
    return callable.body(arguments);
  }
  PyObject* values[kMaxParameters] = {};
  MatchArguments(callable, args, kwargs, values);
  for (int index = 0; index < count; ++index) {
    Convert(callable, index, values[index], arguments);
  }
  return callable.body(arguments);
}

}  // namespace volumes
