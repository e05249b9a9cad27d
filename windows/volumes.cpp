// windows.volumes: start-up and registration.
//
// "Volume information cache service."  The interpreter calls initvolumes once,
// on the first import.  Start-up makes the module with the subsystems'
// method table entries, imports the modules the rest of the module uses,
// builds its constants, then starts the subsystems and registers their
// functions and classes.  It logs nothing and queries no volume.  This is
// the one file that knows every subsystem.
#include <Python.h>

#include <utility>
#include <vector>

#include "windows/calling_convention.h"
#include "windows/error_boundary.h"
#include "windows/function_type.h"
#include "windows/logger.h"
#include "windows/module_state.h"
#include "windows/name_lookup.h"
#include "windows/names.h"
#include "windows/object_protocol.h"
#include "windows/refs.h"
#include "windows/registration.h"
#include "windows/volume_identity.h"
#include "windows/volume_info.h"
#include "windows/volume_queries.h"
#include "windows/windows_error.h"

static_assert(PYTHON_API_VERSION == 1013, "built for the Python 2.7 interface");

namespace volumes {
namespace {

const char kModuleDoc[] = "Volume information cache service.";

// The subsystems in their order: each uses only those before it.
const Subsystem* const kSubsystems[] = {
    &kVolumeQueries,
    &kVolumeIdentity,
    &kVolumeInfoService,
};

namespace names {
Name dunder_import("__import__");
Name dunder_name("__name__");
Name logging("logging");
Name re("re");
Name service("service");
Name getLogger("getLogger");
Name Singleton("Singleton");
}  // namespace names

// "windows.volumes", as the interpreter named the module.
ProcessRef module_name;


// Every subsystem's method table entries, in order.  Kept for the life of
// the process, as the functions made from it are.
PyMethodDef* ModuleMethodTable() {
  static std::vector<PyMethodDef>* const table = [] {
    auto* entries = new std::vector<PyMethodDef>;
    for (const Subsystem* subsystem : kSubsystems) {
      for (const PyMethodDef& entry : subsystem->module_table) {
        entries->push_back(entry);
      }
    }
    entries->push_back({nullptr, nullptr, 0, nullptr});
    return entries;
  }();
  return table->data();
}

// `import <module>` or `from <module> import <name>`, as the interpreter
// performs them at module level: the built-in __import__ with the module's
// namespace as globals and the implicit relative import (level -1).
OwnedRef HostImport(const char* module, BorrowedRef fromlist) {
  OwnedRef import_function = LookupBuiltin(names::dunder_import);
  OwnedRef name = NewString(module);
  OwnedRef level = OwnedRef::StealChecked(PyInt_FromLong(-1));
  const BorrowedRef globals = State().globals;
  return Call(import_function, {name, globals, globals, fromlist, level});
}

void ImportModule(const Name& module) {
  BindGlobal(module.get(), HostImport(module.text(), None()));
}

void ImportFrom(const char* module, const Name& name) {
  OwnedRef fromlist = Tuple({BorrowedRef(name.get())});
  OwnedRef package = HostImport(module, fromlist);
  OwnedRef value =
      OwnedRef::StealNullable(PyObject_GetAttr(package.get(), name.get()));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
    PyErr_Clear();
    Raise(PyExc_ImportError, "cannot import name %.230s", name.text());
  }
  BindGlobal(name.get(), std::move(value));
}

void CreateClass(const ClassDef& definition) {
  OwnedRef namespace_dict = OwnedRef::StealChecked(PyDict_New());
  Check(PyDict_SetItemString(namespace_dict.get(), "__module__",
                             module_name.get()));
  OwnedRef class_name = NewString(definition.name);
  Check(PyDict_SetItemString(namespace_dict.get(), "__qualname__",
                             class_name.get()));
  Check(PyDict_SetItemString(namespace_dict.get(), "__doc__",
                             NewString(definition.doc).get()));
  for (const Callable& method : definition.methods) {
    OwnedRef function = NewMethod(method, definition.name, module_name);
    Check(PyDict_SetItemString(namespace_dict.get(), method.name,
                               function.get()));
  }
  OwnedRef singleton = GlobalAttr(names::service, names::Singleton);
  // The metaclass is that of the one base, object: type.
  OwnedRef bases =
      Tuple({BorrowedRef(reinterpret_cast<PyObject*>(&PyBaseObject_Type))});
  const BorrowedRef metaclass(
      reinterpret_cast<PyObject*>(Py_TYPE(&PyBaseObject_Type)));
  OwnedRef new_class = Call(metaclass, {class_name, bases, namespace_dict});
  BindGlobal(InternedString(definition.name).get(), Call(singleton, {new_class}));
}

void ImportsAndConstants() {
  ImportModule(names::logging);
  ImportModule(names::re);
  ImportFrom("common", global::utils);
  ImportFrom("common", global::volume_entry);
  ImportFrom("common.service", names::service);
  ImportFrom("platforms", global::platform_utils);

  OwnedRef logging = LookupGlobal(names::logging);
  OwnedRef get_logger = GetAttr(logging, names::getLogger);
  OwnedRef logger_name = LookupGlobal(names::dunder_name);
  BindGlobal(global::LOGGER.get(), Call(get_logger, {logger_name}));
  NoteStandardLogger(logging);
}

void StartUp() {
  ReadyFunctionType();
  InternNames();

  PyObject* module = Py_InitModule4("volumes", ModuleMethodTable(),
                                    kModuleDoc, nullptr, PYTHON_API_VERSION);
  if (module == nullptr) throw PyError();
  State().globals.Reset(
      OwnedRef::NewReference(BorrowedRef(PyModule_GetDict(module))));
  module_name.Reset(OwnedRef::NewReference(BorrowedRef(
      PyDict_GetItem(State().globals.get(), names::dunder_name.get()))));

  LocateRaiseWindowsError();
  ImportsAndConstants();

  for (const Subsystem* subsystem : kSubsystems) {
    if (subsystem->start != nullptr) subsystem->start();
  }
  for (const Subsystem* subsystem : kSubsystems) {
    for (PyMethodDef& function : subsystem->functions) {
      BindGlobal(InternedString(function.ml_name).get(),
           OwnedRef::StealChecked(
               PyCFunction_NewEx(&function, nullptr, module_name.get())));
    }
  }
  for (const Subsystem* subsystem : kSubsystems) {
    for (const ClassDef& definition : subsystem->classes) {
      CreateClass(definition);
    }
  }
}

}  // namespace
}  // namespace volumes

// The one symbol the interpreter looks for.  PyMODINIT_FUNC exports it from
// a Windows DLL; elsewhere the build hides every symbol unless told.
#ifndef _WIN32
#pragma GCC visibility push(default)
#endif
PyMODINIT_FUNC initvolumes() {
  const volumes::OwnedRef started =
      volumes::OwnedRef::StealNullable(volumes::EntryPoint([] {
        volumes::StartUp();
        return volumes::NewNone();
      }));
  if (!started && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_ImportError, "init windows.volumes");
  }
}
#ifndef _WIN32
#pragma GCC visibility pop
#endif
