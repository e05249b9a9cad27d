#include "windows/volume_identity.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "windows/calling_convention.h"
#include "windows/error_boundary.h"
#include "windows/idioms.h"
#include "windows/interpreter_internals.h"
#include "windows/names.h"
#include "windows/object_protocol.h"
#include "windows/volume_queries.h"

namespace volumes {
namespace {

void StartVolumeIdentity();
OwnedRef FindVolumeIDBody(const Arguments& arguments);
OwnedRef VolumeIDFromSerialNumberBody(const Arguments& arguments);
OwnedRef IsFATBody(const Arguments& arguments);

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

namespace names {
Name stat_result("stat_result");
Name serial_number("serial_number");
Name handle("handle");  // the parameter, and the attribute of a PyHANDLE
Name st_dev("st_dev");
Name lower("lower");
Name WindowsError("WindowsError");
}  // namespace names

const Callable kFindVolumeID = {"FindVolumeID", CallingStyle::kOneArgument,
                                {Plain(names::stat_result)}, FindVolumeIDBody,
                                kFindVolumeIDDoc};
const Callable kVolumeIDFromSerialNumber = {
    "_VolumeIDFromSerialNumber", CallingStyle::kOneArgument,
    {Plain(names::serial_number)}, VolumeIDFromSerialNumberBody, nullptr};
const Callable kIsFAT = {
    "IsFAT", CallingStyle::kNamedParameters,
    {Plain(names::serial_number), Plain(names::handle)}, IsFATBody,
    kIsFATDoc};

PyMethodDef functions[] = {
    MethodDef<kFindVolumeID>(),
    MethodDef<kVolumeIDFromSerialNumber>(),
    MethodDef<kIsFAT>(),
};

}  // namespace

const Subsystem kVolumeIdentity = {{}, StartVolumeIdentity, functions, {}};

namespace {

// The interned ID of an exact int or long serial number asked about lately,
// so that the common case neither formats nor interns.
struct VolumeIDSlot {
  long long serial_number = 0;
  ProcessRef volume_id;  // null: empty
};

constexpr int kVolumeIDSlotBits = 12;

// Made at start-up and kept for the life of the process.
struct IdentityState {
  // _FAT_FILESYSTEMS: "fat32" and "exfat", the FAT family by lower-case
  // filesystem name.
  ProcessRef fat_filesystems;
  // _IS_FAT_CACHE: volume ID to True or False, for every volume asked about
  // since the last rebuild of the volume table.  Failed queries are never
  // stored.
  ProcessRef is_fat_cache;
  // "serial:%s", the one format of volume IDs.
  ProcessRef volume_id_format;
  // The type of the stat results seen, posix.stat_result (nt.stat_result
  // on Windows), whose st_dev is read from its member slot; null until one
  // is seen.
  PyTypeObject* st_dev_type = nullptr;
  Py_ssize_t st_dev_offset = 0;
  // A table of slots indexed by the serial number's hash, each holding the
  // last ID made there.
  VolumeIDSlot volume_ids_by_serial[1 << kVolumeIDSlotBits];
};

IdentityState identity;

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

VolumeIDSlot& SlotFor(long long serial_number) {
  // Fibonacci hashing: consecutive serial numbers spread over the table.
  const std::uint64_t hash =
      static_cast<std::uint64_t>(serial_number) * 0x9E3779B97F4A7C15ull;
  return identity.volume_ids_by_serial[hash >> (64 - kVolumeIDSlotBits)];
}

// "serial:%s" % serial_number, with the full semantics of the operator,
// interned so that equal IDs are one object.
OwnedRef VolumeIDFromSerialNumber(BorrowedRef serial_number) {
  PyObject* const serial = serial_number.get();
  long long value = 0;
  VolumeIDSlot* slot = nullptr;
  if (PlainSerialNumber(serial, &value)) {
    slot = &SlotFor(value);
    if (slot->volume_id.get() != nullptr && slot->serial_number == value) {
      return OwnedRef::NewReference(slot->volume_id);
    }
  }
  OwnedRef volume_id;
  if (slot != nullptr) {
    // "%s" of an exact int or long is its decimal digits, as the operator
    // would write them.
    char text[32];
    const int length = std::snprintf(text, sizeof text, "serial:%lld", value);
    volume_id = OwnedRef::StealChecked(PyString_FromStringAndSize(text, length));
  } else {
    volume_id = OwnedRef::StealChecked(
        PyNumber_Remainder(identity.volume_id_format.get(), serial));
    if (!PyString_CheckExact(volume_id.get())) RaiseExpected("str", volume_id);
  }
  PyObject* interned = volume_id.release();
  PyString_InternInPlace(&interned);
  volume_id = OwnedRef::StealNullable(interned);
  if (slot != nullptr) {
    slot->serial_number = value;
    slot->volume_id.Reset(OwnedRef::NewReference(volume_id));
  }
  return volume_id;
}

// stat_result.st_dev: from its member slot for the interpreter's own stat
// results, whose type is known from the first one seen (without an import
// that a host's __import__ could refuse); by name for anything else.
OwnedRef DeviceNumberOf(BorrowedRef stat_result) {
  PyObject* const object = stat_result.get();
  PyTypeObject* const type = Py_TYPE(object);
  if (type != identity.st_dev_type) {
    const std::optional<Py_ssize_t> offset =
        ObjectMemberOffset(type, names::st_dev);
    if (!offset) return GetAttr(stat_result, names::st_dev);
    identity.st_dev_type = type;
    identity.st_dev_offset = *offset;
  }
  return ObjectMemberAt(object, identity.st_dev_offset);
}

OwnedRef FindVolumeID(BorrowedRef stat_result) {
  const ModuleFunction<kVolumeIDFromSerialNumber> make_volume_id;
  OwnedRef st_dev = DeviceNumberOf(stat_result);
  return make_volume_id(st_dev);
}

// The filesystem name of the volume holding the file that `handle.handle`
// has open.
OwnedRef FilesystemOfHandle(BorrowedRef handle) {
  OwnedRef handle_attribute = GetAttr(handle, names::handle);
  const std::int64_t handle_value = ConvertNativeInteger(handle_attribute);
  return QueryVolumeInformationByHandle(handle_value).FilesystemName();
}

OwnedRef FindVolumeIDBody(const Arguments& arguments) {
  return FindVolumeID(arguments.objects[0]);
}

OwnedRef VolumeIDFromSerialNumberBody(const Arguments& arguments) {
  return VolumeIDFromSerialNumber(arguments.objects[0]);
}

OwnedRef IsFATBody(const Arguments& arguments) {
  const BorrowedRef serial_number = arguments.objects[0];
  const BorrowedRef handle = arguments.objects[1];
  OwnedRef volume_id = VolumeIDOf(serial_number);
  const BorrowedRef cached = DictGet(identity.is_fat_cache, volume_id);
  if (cached && cached.get() != Py_None) return OwnedRef::NewReference(cached);

  OwnedRef filesystem;
  if (!ExceptAndLog([&] { filesystem = FilesystemOfHandle(handle); },
                    ExceptionClass(names::WindowsError), "WindowsError")) {
    return NewBool(false);
  }

  OwnedRef lowered = CallMethod(filesystem, names::lower);
  const int member =
      Check(PySet_Contains(identity.fat_filesystems.get(), lowered.get()));
  OwnedRef is_fat = NewBool(member != 0);
  Check(PyDict_SetItem(identity.is_fat_cache.get(), volume_id.get(),
                       is_fat.get()));
  return is_fat;
}

void StartVolumeIdentity() {
  OwnedRef fat32 = NewString("fat32");
  OwnedRef exfat = NewString("exfat");
  identity.fat_filesystems.Reset(
      OwnedRef::StealChecked(PyFrozenSet_New(Tuple({fat32, exfat}).get())));
  identity.is_fat_cache.Reset(OwnedRef::StealChecked(PyDict_New()));
  identity.volume_id_format.Reset(NewString("serial:%s"));
}

}  // namespace

OwnedRef VolumeIDOf(BorrowedRef serial_number) {
  return ModuleFunction<kVolumeIDFromSerialNumber>()(serial_number);
}

OwnedRef CallFindVolumeID(BorrowedRef stat_result) {
  return ModuleFunction<kFindVolumeID>()(stat_result);
}

void ForgetFatAnswers() { PyDict_Clear(identity.is_fat_cache.get()); }

}  // namespace volumes
