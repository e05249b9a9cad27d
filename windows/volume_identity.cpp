#include "windows/volume_identity.h"

#include "windows/volume_queries.h"
#include "windows/volumes.h"

namespace volumes {
namespace {

// "fat32" and "exfat": the FAT family, by lower-case filesystem name.
ProcessRef fat_filesystems;
// Volume ID to True or False, for every volume asked about since the last
// rebuild of the volume table.  Failed queries are never stored.
ProcessRef is_fat_cache;
ProcessRef volume_id_format;

// "serial:%s" % serial_number, with the full semantics of the operator,
// interned so that equal IDs are one object.
OwnedRef VolumeIDFromSerialNumber(BorrowedRef serial_number) {
  OwnedRef volume_id = OwnedRef::Take(
      PyNumber_Remainder(volume_id_format.get(), serial_number.get()));
  if (!PyString_CheckExact(volume_id.get())) {
    Raise(PyExc_TypeError, "Expected %.16s, got %.200s", "str",
          Py_TYPE(volume_id.get())->tp_name);
  }
  PyObject* interned = volume_id.release();
  PyString_InternInPlace(&interned);
  return OwnedRef::Steal(interned);
}

// Called through the module namespace, so that rebinding the module's
// _VolumeIDFromSerialNumber changes every ID the module makes.
OwnedRef VolumeIDOf(BorrowedRef serial_number) {
  return Call(LookupGlobal(names()._VolumeIDFromSerialNumber), {serial_number});
}

OwnedRef FindVolumeID(BorrowedRef stat_result) {
  OwnedRef make_volume_id = LookupGlobal(names()._VolumeIDFromSerialNumber);
  OwnedRef st_dev = GetAttr(stat_result, names().st_dev);
  return Call(make_volume_id, {st_dev});
}

// The filesystem name of the volume holding the file that `handle.handle`
// has open.
OwnedRef FilesystemOfHandle(BorrowedRef handle) {
  const std::int64_t handle_value =
      NativeInteger(GetAttr(handle, names().handle));
  OwnedRef information = GetVolumeInformationByHandle(handle_value);
  return OwnedRef::NewReference(PyTuple_GET_ITEM(information.get(), 4));
}

OwnedRef IsFAT(const BorrowedRef* args) {
  const BorrowedRef serial_number = args[0];
  const BorrowedRef handle = args[1];
  OwnedRef volume_id = VolumeIDOf(serial_number);
  // dict.get raises for an unhashable key; PyDict_GetItem would hide that.
  if (PyObject_Hash(volume_id.get()) == -1) throw PyError();
  PyObject* cached = PyDict_GetItem(is_fat_cache.get(), volume_id.get());
  if (cached != nullptr && cached != Py_None) {
    return OwnedRef::NewReference(cached);
  }

  OwnedRef filesystem;
  try {
    filesystem = FilesystemOfHandle(handle);
  } catch (...) {
    SetErrorFromCurrentException();
    CaughtException caught;
    if (!caught.Matches(LookupGlobal(names().WindowsError))) caught.Reraise();
    HandledException handled(caught);
    Log(names().exception, "WindowsError", {});
    return OwnedRef::NewReference(Py_False);
  }

  OwnedRef lowered = CallMethod(filesystem, names().lower);
  const bool is_fat = Check(PySet_Contains(fat_filesystems.get(), lowered.get()));
  OwnedRef answer = OwnedRef::NewReference(is_fat ? Py_True : Py_False);
  Check(PyDict_SetItem(is_fat_cache.get(), volume_id.get(), answer.get()));
  return answer;
}

PyObject* VolumeIDFromSerialNumberEntry(PyObject*, PyObject* serial_number) {
  return EntryPoint([&] { return VolumeIDFromSerialNumber(serial_number); });
}

PyObject* FindVolumeIDEntry(PyObject*, PyObject* stat_result) {
  return EntryPoint([&] { return FindVolumeID(stat_result); });
}

const FunctionSpec kIsFATSpec = {
    {"IsFAT", CallingStyle::kNamedParameters, {"serial_number", "handle"}, 2},
    IsFAT,
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
    "  ",
};

}  // namespace

void CreateFatTables() {
  OwnedRef fat32 = OwnedRef::Take(PyString_FromString("fat32"));
  OwnedRef exfat = OwnedRef::Take(PyString_FromString("exfat"));
  fat_filesystems.Reset(OwnedRef::Take(PyFrozenSet_New(Tuple({fat32, exfat}).get())));
  is_fat_cache.Reset(OwnedRef::Take(PyDict_New()));
  volume_id_format.Reset(OwnedRef::Take(PyString_FromString("serial:%s")));
}

void ClearIsFatCache() { PyDict_Clear(is_fat_cache.get()); }

PyMethodDef kFindVolumeIDMethod = {
    "FindVolumeID", FindVolumeIDEntry, METH_O,
    "Get the volume ID from the VolumeInfo service.\n"
    "\n"
    "  Args:\n"
    "    stat_result: Raw stat result of the file.\n"
    "\n"
    "  Returns:\n"
    "    Object to be used as volume ID. Generally string-typed.\n"
    "  "};
PyMethodDef kVolumeIDFromSerialNumberMethod = {
    "_VolumeIDFromSerialNumber", VolumeIDFromSerialNumberEntry, METH_O,
    nullptr};
PyMethodDef kIsFATMethod = {
    "IsFAT",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(CallWithSignature<kIsFATSpec>)),
    METH_VARARGS | METH_KEYWORDS, kIsFATSpec.doc};

}  // namespace volumes
