// The module frame as the subsystems see it: module-level names, the calling
// convention shared by every function and method, logging, and the sibling
// module windows.winwrap's RaiseWindowsError.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>

#include "platform/kernel32.h"
#include "windows/refs.h"

namespace volumes {

// --- Names ----------------------------------------------------------------

// Strings the module uses as names, interned at start-up: names().LOGGER is
// the interned "LOGGER".
#define VOLUMES_NAMES(X) \
  X(DRIVE_TYPE_MAP) X(DeviceType) X(FindVolumeID) X(GetMonotonicTime) \
  X(GetVolumeEntryForVolumeID) X(LOGGER) X(Lock) X(UNKNOWN) \
  X(VOLUME_NAME_GUID_MATCHER) X(VolumeEntry) X(WindowsError) \
  X(_FindVolumeIDForDeviceNumber) X(_ListVolumeNames) \
  X(_PopulateVolumeTable) X(_VolumeIDFromSerialNumber) X(__enter__) \
  X(__exit__) X(_lock) X(_volume_entries) X(_volume_ids) \
  X(copy) X(debug) X(encode) X(error) X(exception) X(get) X(group) \
  X(handle) X(info) X(key) X(len) X(lower) X(match) X(platform_utils) \
  X(sort) X(st_dev) X(utils) X(volume) X(volume_entry) X(ascii) \
  X(mountpoint) X(device_file) X(device_number) X(uuid) X(model) \
  X(device_type) X(label) X(filesystem) X(size)

struct Names {
#define VOLUMES_DECLARE_NAME(name) PyObject* name;
  VOLUMES_NAMES(VOLUMES_DECLARE_NAME)
#undef VOLUMES_DECLARE_NAME
};
const Names& names();

// A module-level name as the module's code sees it at this moment: the module
// namespace first, then the built-ins; NameError when neither has it.
OwnedRef LookupGlobal(PyObject* name);

// A name among the interpreter's built-ins only; NameError when missing.
OwnedRef LookupBuiltin(PyObject* name);

// --- Calls ----------------------------------------------------------------

OwnedRef GetAttr(BorrowedRef object, PyObject* name);
void SetAttr(BorrowedRef object, PyObject* name, BorrowedRef value);
OwnedRef Call(BorrowedRef callable, std::initializer_list<BorrowedRef> args,
              BorrowedRef kwargs = BorrowedRef());
OwnedRef CallMethod(BorrowedRef object, PyObject* name,
                    std::initializer_list<BorrowedRef> args = {});
OwnedRef Tuple(std::initializer_list<BorrowedRef> items);
bool IsTrue(BorrowedRef object);

// LOGGER.<level>(format, *args), LOGGER looked up at this call.  `level` is
// one of names().debug, info, error, exception.
void Log(PyObject* level, const char* format,
         std::initializer_list<BorrowedRef> args);

// Calls windows.winwrap's RaiseWindowsError with the code that GetLastError
// gave right after the failed call, and throws the WindowsError it raises.
// Should it return instead, its result is dropped and the caller carries on.
void RaiseWindowsError(platform::DWORD error_code);

// --- The calling convention -------------------------------------------------

enum class CallingStyle {
  kNoArguments,      // f()
  kOneArgument,      // f(x): exactly one positional argument, never by name
  kNamedParameters,  // f(a, b=False): by position or by keyword
};

// A function's interface.  Parameters after the first `required` ones default
// to False, the only default value that the module has.
struct Signature {
  const char* name;
  CallingStyle style;
  std::array<const char*, 2> parameters;  // unused slots are null
  int required;

  int parameter_count() const {
    int count = 0;
    while (count < static_cast<int>(parameters.size()) &&
           parameters[count] != nullptr) {
      ++count;
    }
    return count;
  }
};

// Matches a call's arguments to `signature`, filling one borrowed value per
// parameter (defaults included), or raises the convention's TypeError.
void MatchArguments(const Signature& signature, PyObject* args,
                    PyObject* kwargs, BorrowedRef* values);

// Tests a typed parameter: None, or exactly one of the given types.
void CheckArgumentType(BorrowedRef value, const char* parameter,
                       const char* type_name,
                       std::initializer_list<PyTypeObject*> types);

// A native integer parameter as a signed 64-bit value (ints, longs, and
// whatever converts through __int__ or __long__).
std::int64_t NativeInteger(BorrowedRef value);

// "Expected %.16s, got %.200s" unless `value` is None or exactly one of
// `types`: the test made where the module calls a query directly.
void CheckExpectedType(BorrowedRef value, const char* type_name,
                       std::initializer_list<PyTypeObject*> types);

// --- Functions and methods ----------------------------------------------------

using Body = OwnedRef (*)(const BorrowedRef* args);

struct FunctionSpec {
  Signature signature;
  Body body;
  const char* doc;  // null: no docstring
};

// A function object that binds as a Python function does (a bound method
// through an instance, an unbound one through the class) and shows the
// introspection of one: __name__, __qualname__, __doc__, __module__,
// __defaults__, __code__ (co_argcount, co_varnames) and their func_ names.
OwnedRef NewFunction(const FunctionSpec& spec, const char* class_name);

// A built-in function of the module for the one-argument-per-parameter
// styles: wraps MatchArguments and `body`.
template <const FunctionSpec& spec>
PyObject* CallWithSignature(PyObject*, PyObject* args, PyObject* kwargs) {
  return EntryPoint([&] {
    BorrowedRef values[2];
    MatchArguments(spec.signature, args, kwargs, values);
    return spec.body(values);
  });
}

}  // namespace volumes
