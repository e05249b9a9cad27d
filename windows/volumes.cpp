// windows.volumes: start-up and registration.
//
// "Volume information cache service."  The interpreter calls initvolumes once,
// on the first import.  Start-up imports the modules the rest of the module
// uses, builds its constants and private tables, registers the module
// functions and creates the VolumeInfo class, passed through the host's
// service.Singleton.  It logs nothing and queries no volume.  This is the one
// file that knows every subsystem.
#include <Python.h>

#include "windows/calling_convention.h"
#include "windows/function_type.h"
#include "windows/module_state.h"
#include "windows/python_calls.h"
#include "windows/refs.h"
#include "windows/volume_identity.h"
#include "windows/volume_info.h"
#include "windows/volume_queries.h"
#include "windows/winwrap_capi.h"

static_assert(PYTHON_API_VERSION == 1013, "built for the Python 2.7 interface");

namespace volumes {
namespace {

const char kModuleDoc[] = "Volume information cache service.";

// Created together with the module, in this order.
PyMethodDef module_methods[] = {
    MethodDef<kGetVolumeInformationByHandle>(),
    MethodDef<kGetVolumeInformation>(),
    MethodDef<kGetVolumePathNamesForVolumeName>(),
    {nullptr, nullptr, 0, nullptr},
};

// Created after the constants, in this order.
PyMethodDef later_functions[] = {
    MethodDef<kListVolumeNames>(),
    MethodDef<kFindVolumeID>(),
    MethodDef<kVolumeIDFromSerialNumber>(),
    MethodDef<kIsFAT>(),
};

void InternNames(Names& names) {
#define VOLUMES_INTERN_NAME(name) names.name = InternedString(#name).release();
  VOLUMES_NAMES(VOLUMES_INTERN_NAME)
#undef VOLUMES_INTERN_NAME
}

void Bind(PyObject* name, BorrowedRef value) {
  Check(PyDict_SetItem(State().globals.get(), name, value.get()));
}

// `import <module>` or `from <module> import <name>`, as the interpreter
// performs them at module level: the built-in __import__ with the module's
// namespace as globals and the implicit relative import (level -1).
OwnedRef HostImport(const char* module, BorrowedRef fromlist) {
  OwnedRef import_function = LookupBuiltin(names().__import__);
  OwnedRef module_name = NewString(module);
  OwnedRef level = OwnedRef::StealChecked(PyInt_FromLong(-1));
  const BorrowedRef globals = State().globals;
  return Call(import_function, {module_name, globals, globals, fromlist, level});
}

void ImportModule(const char* module) {
  Bind(InternedString(module).get(), HostImport(module, None()));
}

void ImportFrom(const char* module, const char* name) {
  OwnedRef name_string = InternedString(name);
  OwnedRef package = HostImport(module, Tuple({name_string}));
  OwnedRef value =
      OwnedRef::StealNullable(PyObject_GetAttr(package.get(), name_string.get()));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
    PyErr_Clear();
    Raise(PyExc_ImportError, "cannot import name %.230s", name);
  }
  Bind(name_string.get(), value);
}

// windows.winwrap's RaiseWindowsError, published in its capsule.  A missing
// attribute or a capsule of another kind is "not provided"; any other error
// (MemoryError, KeyboardInterrupt) passes as it is.
void LocateRaiseWindowsError() {
  ModuleState& state = State();
  state.winwrap = nullptr;
  OwnedRef winwrap =
      OwnedRef::StealChecked(PyImport_ImportModule("windows.winwrap"));
  OwnedRef capsule =
      OwnedRef::StealNullable(PyObject_GetAttrString(winwrap.get(), "_C_API"));
  const WinwrapCApi* c_api = nullptr;
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
    PyErr_Clear();
  } else {
    c_api = static_cast<const WinwrapCApi*>(
        PyCapsule_GetPointer(capsule.get(), WINWRAP_CAPSULE_NAME));
    // A capsule of another name sets ValueError.
    if (c_api == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError();
      PyErr_Clear();
    }
  }
  if (c_api == nullptr || c_api->RaiseWindowsError == nullptr) {
    Raise(PyExc_ImportError,
          "windows.winwrap does not provide RaiseWindowsError (capsule %s)",
          WINWRAP_CAPSULE_NAME);
  }
  state.winwrap_capsule.Reset(std::move(capsule));
  state.winwrap = c_api;
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
  OwnedRef drive_type_map = OwnedRef::StealChecked(PyDict_New());
  long code = 0;
  for (const char* member : kDeviceTypes) {
    OwnedRef key = OwnedRef::StealChecked(PyLong_FromLong(code++));
    OwnedRef device_type =
        GetAttr(LookupGlobal(names().volume_entry), names().DeviceType);
    OwnedRef value = OwnedRef::StealChecked(
        PyObject_GetAttrString(device_type.get(), member));
    Check(PyDict_SetItem(drive_type_map.get(), key.get(), value.get()));
  }
  Bind(names().DRIVE_TYPE_MAP, drive_type_map);
}

void CreateVolumeInfoClass() {
  const BorrowedRef module_name = State().module_name;
  OwnedRef namespace_dict = OwnedRef::StealChecked(PyDict_New());
  Check(PyDict_SetItemString(namespace_dict.get(), "__module__",
                             module_name.get()));
  OwnedRef class_name = NewString("VolumeInfo");
  Check(PyDict_SetItemString(namespace_dict.get(), "__qualname__",
                             class_name.get()));
  Check(PyDict_SetItemString(namespace_dict.get(), "__doc__",
                             NewString(kVolumeInfoDoc).get()));
  for (Callable& method : kVolumeInfoMethods) {
    Check(PyDict_SetItemString(namespace_dict.get(), method.name,
                               NewMethod(method, "VolumeInfo", module_name).get()));
  }
  OwnedRef singleton =
      GetAttr(LookupGlobal(names().service), names().Singleton);
  // The metaclass is that of the one base, object: type.
  OwnedRef bases =
      Tuple({BorrowedRef(reinterpret_cast<PyObject*>(&PyBaseObject_Type))});
  const BorrowedRef metaclass(
      reinterpret_cast<PyObject*>(Py_TYPE(&PyBaseObject_Type)));
  OwnedRef volume_info_class =
      Call(metaclass, {class_name, bases, namespace_dict});
  Bind(InternedString("VolumeInfo").get(), Call(singleton, {volume_info_class}));
}

void StartUp() {
  ModuleState& state = State();
  ReadyFunctionType();
  InternNames(state.names);

  PyObject* module = Py_InitModule4("volumes", module_methods, kModuleDoc,
                                    nullptr, PYTHON_API_VERSION);
  if (module == nullptr) throw PyError();
  state.globals.Reset(
      OwnedRef::NewReference(BorrowedRef(PyModule_GetDict(module))));
  state.module_name.Reset(OwnedRef::NewReference(BorrowedRef(
      PyDict_GetItemString(state.globals.get(), "__name__"))));

  LocateRaiseWindowsError();

  ImportModule("logging");
  ImportModule("re");
  ImportFrom("common", "utils");
  ImportFrom("common", "volume_entry");
  ImportFrom("common.service", "service");
  ImportFrom("platforms", "platform_utils");

  Bind(names().LOGGER,
       Call(GetAttr(LookupGlobal(InternedString("logging").get()),
                    names().getLogger),
            {LookupGlobal(InternedString("__name__").get())}));

  BuildDriveTypeMap();

  // Every backslash here is one character of the pattern.
  OwnedRef pattern = NewString("\\\\\\\\\\?\\\\Volume\\{([\\w-]+)\\}\\\\");
  Bind(names().VOLUME_NAME_GUID_MATCHER,
       Call(GetAttr(LookupGlobal(InternedString("re").get()), names().compile),
            {pattern}));

  StartVolumeIdentity();

  for (PyMethodDef& method : later_functions) {
    Bind(InternedString(method.ml_name).get(),
         OwnedRef::StealChecked(
             PyCFunction_NewEx(&method, nullptr, state.module_name.get())));
  }

  CreateVolumeInfoClass();
}

}  // namespace
}  // namespace volumes

// The one symbol the interpreter looks for.  PyMODINIT_FUNC exports it from
// a Windows DLL; elsewhere the build hides every symbol unless told.
#ifndef _WIN32
#pragma GCC visibility push(default)
#endif
PyMODINIT_FUNC initvolumes() {
  PyObject* started = volumes::EntryPoint([] {
    volumes::StartUp();
    return volumes::NewNone();
  });
  Py_XDECREF(started);
  if (started == nullptr && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_ImportError, "init windows.volumes");
  }
}
#ifndef _WIN32
#pragma GCC visibility pop
#endif
