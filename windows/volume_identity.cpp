#include "windows/volume_identity.h"

#include <structmember.h>
#include <structseq.h>

#include <cstddef>

#include "windows/module_state.h"
#include "windows/python_calls.h"
#include "windows/volume_queries.h"

namespace volumes {
namespace {

// The serial number of an exact int or long that fits 64 bits; false for
// anything else.  Such numbers render as their digits whatever their type,
// so equal values share one ID; no other type can be trusted to (a bool
// renders as True).
bool PlainSerialNumber(PyObject* serial, long long* value) {
  if (PyInt_CheckExact(serial)) {
    *value = PyInt_AS_LONG(serial);
    return true;
  }
  if (!PyLong_CheckExact(serial)) return false;
  int overflow = 0;
  *value = PyLong_AsLongLongAndOverflow(serial, &overflow);
  return overflow == 0 && !(*value == -1 && PyErr_Occurred());
}

ModuleState::VolumeIDSlot& SlotFor(long long serial_number) {
  // Fibonacci hashing: consecutive serial numbers spread over the table.
  const std::uint64_t hash =
      static_cast<std::uint64_t>(serial_number) * 0x9E3779B97F4A7C15ull;
  return State().volume_ids_by_serial[hash >> (64 - ModuleState::kVolumeIDSlotBits)];
}

// "serial:%s" % serial_number, with the full semantics of the operator,
// interned so that equal IDs are one object.
OwnedRef VolumeIDFromSerialNumber(BorrowedRef serial_number) {
  PyObject* const serial = serial_number.get();
  long long value = 0;
  ModuleState::VolumeIDSlot* slot = nullptr;
  if (PlainSerialNumber(serial, &value)) {
    slot = &SlotFor(value);
    if (slot->volume_id != nullptr && slot->serial_number == value) {
      return OwnedRef::NewReference(BorrowedRef(slot->volume_id));
    }
  }
  OwnedRef volume_id = OwnedRef::StealChecked(
      PyNumber_Remainder(State().volume_id_format.get(), serial));
  if (!PyString_CheckExact(volume_id.get())) {
    Raise(PyExc_TypeError, "Expected %.16s, got %.200s", "str",
          Py_TYPE(volume_id.get())->tp_name);
  }
  PyObject* interned = volume_id.release();
  PyString_InternInPlace(&interned);
  volume_id = OwnedRef::StealNullable(interned);
  if (slot != nullptr) {
    OwnedRef replaced = OwnedRef::StealNullable(slot->volume_id);
    slot->serial_number = value;
    slot->volume_id = OwnedRef::NewReference(volume_id).release();
  }
  return volume_id;
}

OwnedRef VolumeIDFromSerialNumberBody(const Arguments& arguments) {
  return VolumeIDFromSerialNumber(arguments.objects[0]);
}

// _VolumeIDFromSerialNumber as the module namespace binds it when this is
// made.  While that is still the module's own function, the ID is made
// directly, without a call through the interpreter.
class VolumeIDFunction {
 public:
  VolumeIDFunction() {
    static NamespaceSlot slot;
    const BorrowedRef bound = slot.Find(names()._VolumeIDFromSerialNumber);
    if (!bound || !IsBuiltinOf<kVolumeIDFromSerialNumber>(bound.get())) {
      function_ = LookupGlobal(names()._VolumeIDFromSerialNumber);
    }
  }

  OwnedRef operator()(BorrowedRef serial_number) const {
    if (!function_) return VolumeIDFromSerialNumber(serial_number);
    return Call(function_, {serial_number});
  }

 private:
  OwnedRef function_;  // null: the module's own
};

// stat_result.st_dev: by position for the interpreter's own stat results.
OwnedRef DeviceNumberOf(BorrowedRef stat_result) {
  PyObject* const object = stat_result.get();
  const ModuleState& state = State();
  if (reinterpret_cast<PyObject*>(Py_TYPE(object)) ==
      state.stat_result_type.get()) {
    return OwnedRef::NewReference(BorrowedRef(
        reinterpret_cast<PyStructSequence*>(object)->ob_item[state.st_dev_index]));
  }
  return GetAttr(stat_result, names().st_dev);
}

OwnedRef FindVolumeIDBody(const Arguments& arguments) {
  return FindVolumeID(arguments.objects[0]);
}

// The filesystem name of the volume holding the file that `handle.handle`
// has open.
OwnedRef FilesystemOfHandle(BorrowedRef handle) {
  const std::int64_t handle_value =
      NativeInteger(GetAttr(handle, names().handle));
  return QueryVolumeInformationByHandle(handle_value).FilesystemName();
}

OwnedRef IsFAT(const Arguments& arguments) {
  const BorrowedRef serial_number = arguments.objects[0];
  const BorrowedRef handle = arguments.objects[1];
  const ModuleState& state = State();
  OwnedRef volume_id = VolumeIDOf(serial_number);
  const BorrowedRef cached = DictGet(state.is_fat_cache, volume_id);
  if (cached && cached.get() != Py_None) return OwnedRef::NewReference(cached);

  OwnedRef filesystem;
  try {
    filesystem = FilesystemOfHandle(handle);
  } catch (...) {
    SetErrorFromCurrentException();
    CaughtException caught;
    if (!caught.Matches(LookupGlobal(names().WindowsError))) caught.Reraise();
    HandledException handled(caught);
    Log(names().exception, "WindowsError", {});
    return NewBool(false);
  }

  OwnedRef lowered = CallMethod(filesystem, names().lower);
  OwnedRef is_fat = NewBool(
      Check(PySet_Contains(state.fat_filesystems.get(), lowered.get())) != 0);
  Check(PyDict_SetItem(state.is_fat_cache.get(), volume_id.get(), is_fat.get()));
  return is_fat;
}

// The interpreter's stat result type, and the position of st_dev in it; a
// null type where either cannot be found, so that st_dev is read by name.
void FindStatResultType(ModuleState& state) {
#ifdef _WIN32
  const char* const os_module = "nt";
#else
  const char* const os_module = "posix";
#endif
  OwnedRef module = OwnedRef::StealNullable(PyImport_ImportModule(os_module));
  OwnedRef type = module ? OwnedRef::StealNullable(PyObject_GetAttrString(
                               module.get(), "stat_result"))
                         : OwnedRef();
  OwnedRef member = type && PyType_Check(type.get())
                        ? OwnedRef::StealNullable(PyObject_GetAttrString(
                              type.get(), "st_dev"))
                        : OwnedRef();
  if (!member || Py_TYPE(member.get()) != &PyMemberDescr_Type) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_ImportError) &&
        !PyErr_ExceptionMatches(PyExc_AttributeError)) {
      throw PyError();
    }
    PyErr_Clear();
    return;
  }
  const Py_ssize_t offset =
      reinterpret_cast<PyMemberDescrObject*>(member.get())->d_member->offset;
  state.st_dev_index = (offset - static_cast<Py_ssize_t>(
                                     offsetof(PyStructSequence, ob_item))) /
                       static_cast<Py_ssize_t>(sizeof(PyObject*));
  state.stat_result_type.Reset(std::move(type));
}

const char kFindVolumeIDDoc[] =
    "Get the volume ID from the VolumeInfo service.\n"
    "\n"
    "  Args:\n"
    "    stat_result: Raw stat result of the file.\n"
    "\n"
    "  Returns:\n"
    "    Object to be used as volume ID. Generally string-typed.\n"
    "  ";

const char kIsFATDoc[] =
    "Returns True if the filesystem is of the FAT family.\n"
    "\n"
    "  Note that once the result has been checked, it will be cached until the next\n"
    "  time VolumeInfo refreshes its cache.\n"
    "\n"
    "  Args:\n"
    "    serial_number: The serial number of the filesystem.\n"
    "    handle: PyHANDLE to a file on the file system.\n"
    "\n"
    "  Returns:\n"
    "    True if this is a FAT filesystem, False otherwise or if no device entry\n"
    "    could be found for this stat result.\n"
    "  ";

}  // namespace

OwnedRef FindVolumeID(BorrowedRef stat_result) {
  const VolumeIDFunction make_volume_id;
  OwnedRef st_dev = DeviceNumberOf(stat_result);
  return make_volume_id(st_dev);
}

OwnedRef VolumeIDOf(BorrowedRef serial_number) {
  return VolumeIDFunction()(serial_number);
}

void StartVolumeIdentity() {
  ModuleState& state = State();
  OwnedRef fat32 = NewString("fat32");
  OwnedRef exfat = NewString("exfat");
  state.fat_filesystems.Reset(
      OwnedRef::StealChecked(PyFrozenSet_New(Tuple({fat32, exfat}).get())));
  state.is_fat_cache.Reset(OwnedRef::StealChecked(PyDict_New()));
  state.volume_id_format.Reset(NewString("serial:%s"));
  FindStatResultType(state);
}

void ForgetFatAnswers() { PyDict_Clear(State().is_fat_cache.get()); }

Callable kFindVolumeID = {"FindVolumeID", CallingStyle::kOneArgument,
                          {{{"stat_result"}}}, FindVolumeIDBody, kFindVolumeIDDoc};
Callable kVolumeIDFromSerialNumber = {
    "_VolumeIDFromSerialNumber", CallingStyle::kOneArgument,
    {{{"serial_number"}}}, VolumeIDFromSerialNumberBody, nullptr};
Callable kIsFAT = {"IsFAT", CallingStyle::kNamedParameters,
                   {{{"serial_number"}, {"handle"}}}, IsFAT, kIsFATDoc};

}  // namespace volumes
