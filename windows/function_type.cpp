#include "windows/function_type.h"

#include <structmember.h>

#include <cstddef>

#include "windows/python_calls.h"

namespace volumes {
namespace {

struct FunctionObject {
  PyObject_HEAD
  Callable* callable;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* module;
  PyObject* defaults;
  PyObject* code;
};

PyObject* FunctionCall(PyObject* self, PyObject* args, PyObject* kwargs) {
  Callable& callable = *reinterpret_cast<FunctionObject*>(self)->callable;
  return EntryPoint([&] { return Invoke(callable, args, kwargs); });
}

// Binds as a Python function does: through an instance a bound method,
// through the class an unbound one.
PyObject* FunctionGet(PyObject* self, PyObject* instance, PyObject* owner) {
  if (instance == Py_None) instance = nullptr;
  return PyMethod_New(self, instance, owner);
}

PyObject* FunctionRepr(PyObject* self) {
  auto* function = reinterpret_cast<FunctionObject*>(self);
  return PyString_FromFormat("<function %s at %p>",
                             PyString_AS_STRING(function->qualname), self);
}

int FunctionTraverse(PyObject* self, visitproc visit, void* arg) {
  auto* function = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(function->name);
  Py_VISIT(function->qualname);
  Py_VISIT(function->doc);
  Py_VISIT(function->module);
  Py_VISIT(function->defaults);
  Py_VISIT(function->code);
  return 0;
}

int FunctionClear(PyObject* self) {
  auto* function = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(function->name);
  Py_CLEAR(function->qualname);
  Py_CLEAR(function->doc);
  Py_CLEAR(function->module);
  Py_CLEAR(function->defaults);
  Py_CLEAR(function->code);
  return 0;
}

void FunctionDealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  FunctionClear(self);
  PyObject_GC_Del(self);
}

#define FUNCTION_MEMBER(name, field) \
  {const_cast<char*>(name), T_OBJECT, offsetof(FunctionObject, field), READONLY, nullptr}

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
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  type.tp_doc = "A method of a class of windows.volumes.";
  type.tp_traverse = FunctionTraverse;
  type.tp_clear = FunctionClear;
  type.tp_members = function_members;
  type.tp_descr_get = FunctionGet;
  return type;
}();

OwnedRef NewCode(const Callable& callable, BorrowedRef module_name) {
  const int count = callable.parameter_count();
  OwnedRef varnames = OwnedRef::StealChecked(PyTuple_New(count));
  for (int index = 0; index < count; ++index) {
    PyTuple_SET_ITEM(varnames.get(), index,
                     InternedString(callable.parameters[index].name).release());
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

OwnedRef NewMethod(Callable& callable, const char* class_name,
                   BorrowedRef module_name) {
  OwnedRef name = NewString(callable.name);
  OwnedRef qualname = OwnedRef::StealChecked(
      PyString_FromFormat("%s.%s", class_name, callable.name));
  OwnedRef doc = callable.doc ? NewString(callable.doc) : NewNone();
  OwnedRef defaults = NewNone();
  const int optional = callable.parameter_count() - callable.required_count();
  if (optional > 0) {
    defaults = OwnedRef::StealChecked(PyTuple_New(optional));
    for (int index = 0; index < optional; ++index) {
      PyTuple_SET_ITEM(defaults.get(), index, NewBool(false).release());
    }
  }
  OwnedRef code = NewCode(callable, module_name);

  auto* function = PyObject_GC_New(FunctionObject, &function_type);
  if (function == nullptr) throw PyError();
  function->callable = &callable;
  function->name = name.release();
  function->qualname = qualname.release();
  function->doc = doc.release();
  function->module = OwnedRef::NewReference(module_name).release();
  function->defaults = defaults.release();
  function->code = code.release();
  PyObject_GC_Track(function);
  return OwnedRef::StealNullable(reinterpret_cast<PyObject*>(function));
}

}  // namespace volumes
