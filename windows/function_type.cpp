#include "windows/function_type.h"

#include <structmember.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "windows/error_boundary.h"
#include "windows/object_protocol.h"

namespace volumes {
namespace {

struct FunctionFields {
  const Callable* callable;
  OwnedRef name;
  OwnedRef qualname;
  OwnedRef doc;
  OwnedRef module;
  OwnedRef defaults;
  OwnedRef code;
};

struct FunctionObject {
  PyObject_HEAD
  FunctionFields fields;
};

// The member descriptors read each OwnedRef as the PyObject* it holds.
static_assert(sizeof(OwnedRef) == sizeof(PyObject*) &&
              std::is_standard_layout_v<OwnedRef>);
static_assert(std::is_standard_layout_v<FunctionObject>);

PyObject* FunctionCall(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* FunctionGet(PyObject* self, PyObject* instance, PyObject* owner);
PyObject* FunctionRepr(PyObject* self);
void FunctionDealloc(PyObject* self);

#define FUNCTION_MEMBER(name, field)                                   \
  {const_cast<char*>(name), T_OBJECT,                                  \
   offsetof(FunctionObject, fields) + offsetof(FunctionFields, field), \
   READONLY, nullptr}

PyMemberDef function_members[] = {
    FUNCTION_MEMBER("__name__", name),
    FUNCTION_MEMBER("func_name", name),
    FUNCTION_MEMBER("__qualname__", qualname),
    FUNCTION_MEMBER("__doc__", doc),
    FUNCTION_MEMBER("func_doc", doc),
    FUNCTION_MEMBER("__module__", module),
    FUNCTION_MEMBER("__defaults__", defaults),
    FUNCTION_MEMBER("func_defaults", defaults),
    FUNCTION_MEMBER("__code__", code),
    FUNCTION_MEMBER("func_code", code),
    {nullptr, 0, 0, 0, nullptr},
};

#undef FUNCTION_MEMBER

PyTypeObject function_type = [] {
  PyTypeObject type{};
  Py_REFCNT(&type) = 1;
  type.tp_name = "windows.volumes.function";
  type.tp_basicsize = sizeof(FunctionObject);
  type.tp_dealloc = FunctionDealloc;
  type.tp_repr = FunctionRepr;
  type.tp_call = FunctionCall;
  // Not collected: its strings, None, False and code never lead back to it.
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = "A method of a class of windows.volumes.";
  type.tp_members = function_members;
  type.tp_descr_get = FunctionGet;
  return type;
}();

PyObject* FunctionCall(PyObject* self, PyObject* args, PyObject* kwargs) {
  const Callable& callable =
      *reinterpret_cast<FunctionObject*>(self)->fields.callable;
  return EntryPoint([&] { return Invoke(callable, args, kwargs); });
}

// Binds as a Python function does: through an instance a bound method,
// through the class an unbound one.
PyObject* FunctionGet(PyObject* self, PyObject* instance, PyObject* owner) {
  if (instance == Py_None) instance = nullptr;
  return PyMethod_New(self, instance, owner);
}

PyObject* FunctionRepr(PyObject* self) {
  const FunctionFields& fields = reinterpret_cast<FunctionObject*>(self)->fields;
  return PyString_FromFormat("<function %s at %p>",
                             PyString_AS_STRING(fields.qualname.get()), self);
}

void FunctionDealloc(PyObject* self) {
  reinterpret_cast<FunctionObject*>(self)->fields.~FunctionFields();
  PyObject_Del(self);
}

// (False,) per optional parameter; None without one.
OwnedRef NewDefaults(const Callable& callable) {
  const int optional = callable.parameter_count() - callable.required_count();
  if (optional == 0) return NewNone();
  OwnedRef defaults = OwnedRef::StealChecked(PyTuple_New(optional));
  for (int index = 0; index < optional; ++index) {
    PyTuple_SET_ITEM(defaults.get(), index,
                     OwnedRef::NewReference(DefaultValue()).release());
  }
  return defaults;
}

OwnedRef NewCode(const Callable& callable, BorrowedRef module_name) {
  const int count = callable.parameter_count();
  OwnedRef varnames = OwnedRef::StealChecked(PyTuple_New(count));
  for (int index = 0; index < count; ++index) {
    const BorrowedRef name(callable.parameters[index].name->get());
    PyTuple_SET_ITEM(varnames.get(), index,
                     OwnedRef::NewReference(name).release());
  }
  OwnedRef empty_code = NewString("");
  OwnedRef empty = OwnedRef::StealChecked(PyTuple_New(0));
  OwnedRef name = NewString(callable.name);
  return OwnedRef::StealChecked(reinterpret_cast<PyObject*>(PyCode_New(
      count, count, 0, CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE,
      empty_code.get(), empty.get(), empty.get(), varnames.get(), empty.get(),
      empty.get(), module_name.get(), name.get(), 0, empty_code.get())));
}

}  // namespace

void ReadyFunctionType() { Check(PyType_Ready(&function_type)); }

OwnedRef NewMethod(const Callable& callable, const char* class_name,
                   BorrowedRef module_name) {
  FunctionFields fields{
      &callable,
      NewString(callable.name),
      OwnedRef::StealChecked(
          PyString_FromFormat("%s.%s", class_name, callable.name)),
      callable.doc ? NewString(callable.doc) : NewNone(),
      OwnedRef::NewReference(module_name),
      NewDefaults(callable),
      NewCode(callable, module_name)};
  auto* function = PyObject_New(FunctionObject, &function_type);
  if (function == nullptr) throw PyError();
  new (&function->fields) FunctionFields(std::move(fields));
  return OwnedRef::StealNullable(reinterpret_cast<PyObject*>(function));
}

}  // namespace volumes
