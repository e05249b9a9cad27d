// windows.volumes: start-up, registration and the calling convention.
//
// "Volume information cache service."  The interpreter calls initvolumes once,
// on the first import.  Start-up imports the modules the rest of the module
// uses, builds its constants and private tables, registers the module
// functions and creates the VolumeInfo class, passed through the host's
// service.Singleton.  It logs nothing and queries no volume.
#include "windows/volumes.h"

#include <structmember.h>

#include <cstring>
#include <string>

#include "windows/volume_identity.h"
#include "windows/volume_info.h"
#include "windows/volume_queries.h"
#include "windows/winwrap_capi.h"

static_assert(PYTHON_API_VERSION == 1013, "built for the Python 2.7 interface");

namespace volumes {
namespace {

// What start-up establishes.  It lives as long as the process: the
// interpreter never unloads an extension module, and a start-up that runs
// again after a failed one replaces it.
struct ModuleState {
  ProcessRef globals;      // the module's namespace
  ProcessRef module_name;  // "windows.volumes"
  ProcessRef winwrap_capsule;
  const WinwrapCApi* winwrap = nullptr;
  Names names = {};
};

ModuleState state;

}  // namespace

const Names& names() { return state.names; }

// ---------------------------------------------------------------------------
// Module-level names and calls

OwnedRef LookupBuiltin(PyObject* name) {
  PyObject* value = PyDict_GetItem(PyEval_GetBuiltins(), name);
  if (value == nullptr) {
    Raise(PyExc_NameError, "name '%.200s' is not defined",
          PyString_AS_STRING(name));
  }
  return OwnedRef::NewReference(value);
}

OwnedRef LookupGlobal(PyObject* name) {
  PyObject* value = PyDict_GetItem(state.globals.get(), name);
  if (value == nullptr) return LookupBuiltin(name);
  return OwnedRef::NewReference(value);
}

OwnedRef GetAttr(BorrowedRef object, PyObject* name) {
  return OwnedRef::Take(PyObject_GetAttr(object.get(), name));
}

void SetAttr(BorrowedRef object, PyObject* name, BorrowedRef value) {
  Check(PyObject_SetAttr(object.get(), name, value.get()));
}

OwnedRef Tuple(std::initializer_list<BorrowedRef> items) {
  OwnedRef tuple = OwnedRef::Take(PyTuple_New(items.size()));
  Py_ssize_t index = 0;
  for (BorrowedRef item : items) {
    PyTuple_SET_ITEM(tuple.get(), index++,
                     OwnedRef::NewReference(item).release());
  }
  return tuple;
}

OwnedRef Call(BorrowedRef callable, std::initializer_list<BorrowedRef> args,
              BorrowedRef kwargs) {
  OwnedRef arguments = Tuple(args);
  return OwnedRef::Take(
      PyObject_Call(callable.get(), arguments.get(), kwargs.get()));
}

OwnedRef CallMethod(BorrowedRef object, PyObject* name,
                    std::initializer_list<BorrowedRef> args) {
  return Call(GetAttr(object, name), args);
}

bool IsTrue(BorrowedRef object) {
  return Check(PyObject_IsTrue(object.get())) != 0;
}

void Log(PyObject* level, const char* format,
         std::initializer_list<BorrowedRef> args) {
  OwnedRef logger = LookupGlobal(names().LOGGER);
  OwnedRef method = GetAttr(logger, level);
  OwnedRef arguments = OwnedRef::Take(PyTuple_New(args.size() + 1));
  PyTuple_SET_ITEM(arguments.get(), 0,
                   OwnedRef::Take(PyString_FromString(format)).release());
  Py_ssize_t index = 1;
  for (BorrowedRef arg : args) {
    PyTuple_SET_ITEM(arguments.get(), index++,
                     OwnedRef::NewReference(arg).release());
  }
  OwnedRef::Take(PyObject_Call(method.get(), arguments.get(), nullptr));
}

void RaiseWindowsError(platform::DWORD error_code) {
  // The functions of the method table outlive a start-up that failed before
  // it found windows.winwrap.
  if (state.winwrap == nullptr) {
    Raise(PyExc_ImportError,
          "windows.volumes did not start: no RaiseWindowsError for error %lu",
          static_cast<unsigned long>(error_code));
  }
  OwnedRef result =
      OwnedRef::Steal(state.winwrap->RaiseWindowsError(1, error_code));
  if (!result || PyErr_Occurred()) throw PyError();
}

// ---------------------------------------------------------------------------
// The calling convention

namespace {

[[noreturn]] void RaiseCountError(const Signature& signature, bool too_many,
                                  Py_ssize_t given) {
  const int count = signature.parameter_count();
  const char* quantity = signature.required == count ? "exactly"
                         : too_many                  ? "at most"
                                                     : "at least";
  const Py_ssize_t expected = too_many ? count : signature.required;
  Raise(PyExc_TypeError,
        "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
        signature.name, quantity, expected, expected == 1 ? "" : "s", given);
}

// The parameter that a keyword names (compared by value, str or unicode),
// or -1.
int ParameterIndex(const Signature& signature, PyObject* keyword) {
  for (int index = 0; index < signature.parameter_count(); ++index) {
    const char* name = signature.parameters[index];
    if (PyString_Check(keyword)) {
      if (std::strcmp(PyString_AS_STRING(keyword), name) == 0 &&
          static_cast<std::size_t>(PyString_GET_SIZE(keyword)) ==
              std::strlen(name)) {
        return index;
      }
      continue;
    }
    const Py_UNICODE* chars = PyUnicode_AS_UNICODE(keyword);
    const auto size = static_cast<std::size_t>(PyUnicode_GET_SIZE(keyword));
    if (size != std::strlen(name)) continue;
    std::size_t i = 0;
    while (i < size && chars[i] == static_cast<Py_UNICODE>(name[i])) ++i;
    if (i == size) return index;
  }
  return -1;
}

// Reports the first keyword that no parameter takes, in the keyword dict's
// order.
void CheckSurplusKeywords(const Signature& signature, PyObject* kwargs,
                          Py_ssize_t given) {
  Py_ssize_t position = 0;
  PyObject* keyword;
  PyObject* value;
  while (PyDict_Next(kwargs, &position, &keyword, &value)) {
    if (!PyString_Check(keyword) && !PyUnicode_Check(keyword)) {
      Raise(PyExc_TypeError, "%.200s() keywords must be strings",
            signature.name);
    }
    const int index = ParameterIndex(signature, keyword);
    if (index >= 0 && index < given) {
      Raise(PyExc_TypeError,
            "%s() got multiple values for keyword argument '%s'",
            signature.name, signature.parameters[index]);
    }
    if (index < 0) {
      OwnedRef text = PyString_Check(keyword)
                          ? OwnedRef::NewReference(keyword)
                          : OwnedRef::Take(PyUnicode_AsUTF8String(keyword));
      Raise(PyExc_TypeError,
            "%.200s() got an unexpected keyword argument '%.200s'",
            signature.name, PyString_AS_STRING(text.get()));
    }
  }
}

}  // namespace

void MatchArguments(const Signature& signature, PyObject* args,
                    PyObject* kwargs, BorrowedRef* values) {
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  const Py_ssize_t keyword_count = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
  switch (signature.style) {
    case CallingStyle::kNoArguments:
      if (keyword_count != 0) {
        Raise(PyExc_TypeError, "%.200s() takes no keyword arguments",
              signature.name);
      }
      if (given != 0) {
        Raise(PyExc_TypeError, "%.200s() takes no arguments (%zd given)",
              signature.name, given);
      }
      return;
    case CallingStyle::kOneArgument:
      if (keyword_count != 0) {
        Raise(PyExc_TypeError, "%.200s() takes no keyword arguments",
              signature.name);
      }
      if (given != 1) {
        Raise(PyExc_TypeError,
              "%.200s() takes exactly one argument (%zd given)",
              signature.name, given);
      }
      values[0] = PyTuple_GET_ITEM(args, 0);
      return;
    case CallingStyle::kNamedParameters:
      break;
  }

  const int count = signature.parameter_count();
  if (given > count) RaiseCountError(signature, true, given);
  for (Py_ssize_t index = 0; index < count; ++index) {
    values[index] = index < given ? PyTuple_GET_ITEM(args, index) : nullptr;
  }
  Py_ssize_t consumed = 0;
  for (Py_ssize_t index = given; index < count && keyword_count != 0; ++index) {
    values[index] = PyDict_GetItemString(kwargs, signature.parameters[index]);
    if (values[index]) ++consumed;
  }
  for (Py_ssize_t index = given; index < signature.required; ++index) {
    if (!values[index]) RaiseCountError(signature, false, index);
  }
  if (consumed < keyword_count) CheckSurplusKeywords(signature, kwargs, given);
  for (Py_ssize_t index = signature.required; index < count; ++index) {
    if (!values[index]) values[index] = Py_False;
  }
}

void CheckArgumentType(BorrowedRef value, const char* parameter,
                       const char* type_name,
                       std::initializer_list<PyTypeObject*> types) {
  if (value.get() == Py_None) return;
  for (PyTypeObject* type : types) {
    if (Py_TYPE(value.get()) == type) return;
  }
  Raise(PyExc_TypeError,
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
        parameter, type_name, Py_TYPE(value.get())->tp_name);
}

void CheckExpectedType(BorrowedRef value, const char* type_name,
                       std::initializer_list<PyTypeObject*> types) {
  if (value.get() == Py_None) return;
  for (PyTypeObject* type : types) {
    if (Py_TYPE(value.get()) == type) return;
  }
  Raise(PyExc_TypeError, "Expected %.16s, got %.200s", type_name,
        Py_TYPE(value.get())->tp_name);
}

namespace {

std::int64_t IntegerValue(PyObject* integer) {
  if (PyInt_Check(integer)) return PyInt_AS_LONG(integer);
  const PY_LONG_LONG value = PyLong_AsLongLong(integer);
  if (value == -1 && PyErr_Occurred()) throw PyError();
  return value;
}

}  // namespace

std::int64_t NativeInteger(BorrowedRef value) {
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
  OwnedRef result = OwnedRef::Take(convert(object));
  if (!PyInt_Check(result.get()) && !PyLong_Check(result.get())) {
    Raise(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", kind,
          kind, Py_TYPE(result.get())->tp_name);
  }
  return IntegerValue(result.get());
}

// ---------------------------------------------------------------------------
// The function type of VolumeInfo's methods

namespace {

struct FunctionObject {
  PyObject_HEAD
  const FunctionSpec* spec;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* module;
  PyObject* defaults;
  PyObject* code;
};

PyObject* FunctionCall(PyObject* self, PyObject* args, PyObject* kwargs) {
  const FunctionSpec& spec = *reinterpret_cast<FunctionObject*>(self)->spec;
  return EntryPoint([&] {
    BorrowedRef values[2];
    MatchArguments(spec.signature, args, kwargs, values);
    return spec.body(values);
  });
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

OwnedRef NewCode(const Signature& signature) {
  const int count = signature.parameter_count();
  OwnedRef varnames = OwnedRef::Take(PyTuple_New(count));
  for (int index = 0; index < count; ++index) {
    PyTuple_SET_ITEM(varnames.get(), index,
                     OwnedRef::Take(PyString_InternFromString(
                                        signature.parameters[index]))
                         .release());
  }
  OwnedRef empty_code = OwnedRef::Take(PyString_FromString(""));
  OwnedRef empty = OwnedRef::Take(PyTuple_New(0));
  OwnedRef name = OwnedRef::Take(PyString_FromString(signature.name));
  return OwnedRef::Take(reinterpret_cast<PyObject*>(PyCode_New(
      count, count, 0, CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE,
      empty_code.get(), empty.get(), empty.get(), varnames.get(), empty.get(),
      empty.get(), state.module_name.get(), name.get(), 0, empty_code.get())));
}

}  // namespace

OwnedRef NewFunction(const FunctionSpec& spec, const char* class_name) {
  const Signature& signature = spec.signature;
  OwnedRef name = OwnedRef::Take(PyString_FromString(signature.name));
  OwnedRef qualname = OwnedRef::Take(
      PyString_FromFormat("%s.%s", class_name, signature.name));
  OwnedRef doc = spec.doc ? OwnedRef::Take(PyString_FromString(spec.doc))
                          : OwnedRef::NewReference(Py_None);
  OwnedRef defaults = OwnedRef::NewReference(Py_None);
  const int optional = signature.parameter_count() - signature.required;
  if (optional > 0) {
    defaults = OwnedRef::Take(PyTuple_New(optional));
    for (int index = 0; index < optional; ++index) {
      PyTuple_SET_ITEM(defaults.get(), index,
                       OwnedRef::NewReference(Py_False).release());
    }
  }
  OwnedRef code = NewCode(signature);

  auto* function = PyObject_GC_New(FunctionObject, &function_type);
  if (function == nullptr) throw PyError();
  function->spec = &spec;
  function->name = name.release();
  function->qualname = qualname.release();
  function->doc = doc.release();
  function->module = OwnedRef::NewReference(state.module_name).release();
  function->defaults = defaults.release();
  function->code = code.release();
  PyObject_GC_Track(function);
  return OwnedRef::Steal(reinterpret_cast<PyObject*>(function));
}

// ---------------------------------------------------------------------------
// Start-up

namespace {

const char kModuleDoc[] = "Volume information cache service.";

PyMethodDef module_methods[] = {
    kGetVolumeInformationByHandleMethod,
    kGetVolumeInformationMethod,
    kGetVolumePathNamesForVolumeNameMethod,
    {nullptr, nullptr, 0, nullptr},
};

OwnedRef InternedString(const char* text) {
  return OwnedRef::Take(PyString_InternFromString(text));
}

// Interned strings are immortal for the interpreter, so they are kept raw.
void InternNames(Names& names) {
#define VOLUMES_INTERN_NAME(name) names.name = InternedString(#name).release();
  VOLUMES_NAMES(VOLUMES_INTERN_NAME)
#undef VOLUMES_INTERN_NAME
}

void Bind(const char* name, BorrowedRef value) {
  Check(PyDict_SetItemString(state.globals.get(), name, value.get()));
}

// `import <module>` or `from <module> import <name>`, as the interpreter
// performs them at module level: the built-in __import__ with the module's
// namespace as globals and the implicit relative import (level -1).
OwnedRef HostImport(const char* module, BorrowedRef fromlist) {
  OwnedRef import_function = OwnedRef::NewReference(
      PyDict_GetItemString(PyEval_GetBuiltins(), "__import__"));
  if (!import_function) Raise(PyExc_ImportError, "__import__ not found");
  OwnedRef module_name = OwnedRef::Take(PyString_FromString(module));
  OwnedRef level = OwnedRef::Take(PyInt_FromLong(-1));
  return Call(import_function, {module_name, state.globals, state.globals,
                                fromlist, level});
}

void ImportModule(const char* module) {
  Bind(module, HostImport(module, Py_None));
}

void ImportFrom(const char* module, const char* name) {
  OwnedRef name_string = OwnedRef::Take(PyString_FromString(name));
  OwnedRef fromlist = Tuple({name_string});
  OwnedRef package = HostImport(module, fromlist);
  PyObject* value = PyObject_GetAttr(package.get(), name_string.get());
  if (value == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      Raise(PyExc_ImportError, "cannot import name %.230s", name);
    }
    throw PyError();
  }
  Bind(name, OwnedRef::Steal(value));
}

OwnedRef GlobalNamed(const char* name) {
  return LookupGlobal(InternedString(name).get());
}

void LocateRaiseWindowsError() {
  OwnedRef winwrap = OwnedRef::Take(PyImport_ImportModule("windows.winwrap"));
  PyObject* capsule = PyObject_GetAttrString(winwrap.get(), "_C_API");
  if (capsule == nullptr) PyErr_Clear();
  state.winwrap_capsule.Reset(OwnedRef::Steal(capsule));
  state.winwrap = capsule ? static_cast<const WinwrapCApi*>(
                                 PyCapsule_GetPointer(capsule, WINWRAP_CAPSULE_NAME))
                           : nullptr;
  if (state.winwrap == nullptr || state.winwrap->RaiseWindowsError == nullptr) {
    PyErr_Clear();
    Raise(PyExc_ImportError,
          "windows.winwrap does not provide RaiseWindowsError (capsule %s)",
          WINWRAP_CAPSULE_NAME);
  }
}

void BuildDriveTypeMap() {
  // The GetDriveTypeW codes, 0 to 6, in order.
  static const char* const kDeviceTypes[] = {
      "UNKNOWN",   // kDriveUnknown: the type cannot be determined
      "UNKNOWN",   // kDriveNoRootDir: nothing mounted there
      "REMOVABLE", // kDriveRemovable
      "INTERNAL",  // kDriveFixed
      "NETWORK",   // kDriveRemote
      "REMOVABLE", // kDriveCdrom
      "RAM",       // kDriveRamdisk
  };
  OwnedRef drive_type_map = OwnedRef::Take(PyDict_New());
  long code = 0;
  for (const char* member : kDeviceTypes) {
    OwnedRef key = OwnedRef::Take(PyLong_FromLong(code++));
    OwnedRef device_type =
        GetAttr(LookupGlobal(names().volume_entry), names().DeviceType);
    OwnedRef value = OwnedRef::Take(PyObject_GetAttrString(device_type.get(), member));
    Check(PyDict_SetItem(drive_type_map.get(), key.get(), value.get()));
  }
  Bind("DRIVE_TYPE_MAP", drive_type_map);
}

void CreateVolumeInfoClass() {
  OwnedRef namespace_dict = OwnedRef::Take(PyDict_New());
  Check(PyDict_SetItemString(namespace_dict.get(), "__module__",
                             state.module_name.get()));
  OwnedRef class_name = OwnedRef::Take(PyString_FromString("VolumeInfo"));
  Check(PyDict_SetItemString(namespace_dict.get(), "__qualname__",
                             class_name.get()));
  OwnedRef doc = OwnedRef::Take(PyString_FromString(kVolumeInfoDoc));
  Check(PyDict_SetItemString(namespace_dict.get(), "__doc__", doc.get()));
  for (const FunctionSpec& method : kVolumeInfoMethods) {
    OwnedRef function = NewFunction(method, "VolumeInfo");
    Check(PyDict_SetItemString(namespace_dict.get(), method.signature.name,
                               function.get()));
  }
  OwnedRef singleton =
      GetAttr(GlobalNamed("service"), InternedString("Singleton").get());
  // The metaclass is that of the one base, object: type.
  OwnedRef bases = Tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
  OwnedRef metaclass = OwnedRef::NewReference(
      reinterpret_cast<PyObject*>(Py_TYPE(&PyBaseObject_Type)));
  OwnedRef volume_info_class =
      Call(metaclass, {class_name, bases, namespace_dict});
  Bind("VolumeInfo", Call(singleton, {volume_info_class}));
}

void StartUp() {
  Check(PyType_Ready(&function_type));
  InternNames(state.names);

  PyObject* module = Py_InitModule4("volumes", module_methods, kModuleDoc,
                                    nullptr, PYTHON_API_VERSION);
  if (module == nullptr) throw PyError();
  state.globals.Reset(OwnedRef::NewReference(PyModule_GetDict(module)));
  state.module_name.Reset(OwnedRef::NewReference(
      PyDict_GetItemString(state.globals.get(), "__name__")));

  LocateRaiseWindowsError();

  ImportModule("logging");
  ImportModule("re");
  ImportFrom("common", "utils");
  ImportFrom("common", "volume_entry");
  ImportFrom("common.service", "service");
  ImportFrom("platforms", "platform_utils");

  Bind("LOGGER", Call(GetAttr(GlobalNamed("logging"),
                              InternedString("getLogger").get()),
                      {GlobalNamed("__name__")}));

  BuildDriveTypeMap();

  // Every backslash here is one character of the pattern.
  OwnedRef pattern = OwnedRef::Take(
      PyString_FromString("\\\\\\\\\\?\\\\Volume\\{([\\w-]+)\\}\\\\"));
  Bind("VOLUME_NAME_GUID_MATCHER",
       Call(GetAttr(GlobalNamed("re"), InternedString("compile").get()),
            {pattern}));

  CreateFatTables();

  for (PyMethodDef* method : {&kListVolumeNamesMethod, &kFindVolumeIDMethod,
                              &kVolumeIDFromSerialNumberMethod, &kIsFATMethod}) {
    Bind(method->ml_name,
         OwnedRef::Take(
             PyCFunction_NewEx(method, nullptr, state.module_name.get())));
  }

  CreateVolumeInfoClass();
}

}  // namespace
}  // namespace volumes

extern "C" __attribute__((visibility("default"))) void initvolumes() {
  try {
    volumes::StartUp();
    return;
  } catch (const volumes::PyError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init windows.volumes");
}
