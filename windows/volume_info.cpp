#include "windows/volume_info.h"

#include "platform/kernel32.h"
#include "windows/text.h"
#include "windows/volume_identity.h"
#include "windows/volume_queries.h"

namespace volumes {
namespace {

OwnedRef None() { return OwnedRef::NewReference(Py_None); }

// ---------------------------------------------------------------------------
// The service and its lookups

OwnedRef Init(const BorrowedRef* args) {
  const BorrowedRef self = args[0];
  SetAttr(self, names()._volume_ids, OwnedRef::Take(PyDict_New()));
  SetAttr(self, names()._volume_entries, OwnedRef::Take(PyDict_New()));
  OwnedRef lock = Call(
      GetAttr(LookupGlobal(names().platform_utils), names().Lock), {});
  SetAttr(self, names()._lock, lock);
  return None();
}

OwnedRef FindVolumeID(const BorrowedRef* args) {
  return Call(LookupGlobal(names().FindVolumeID), {args[1]});
}

OwnedRef GetVolumeEntryForVolumeID(const BorrowedRef* args) {
  return CallMethod(GetAttr(args[0], names()._volume_entries), names().get,
                    {args[1]});
}

// The instance's own _FindVolumeIDForDeviceNumber where it has one; the
// class has none, so otherwise st_dev maps to its volume ID as FindVolumeID
// maps a stat result's.
OwnedRef GetVolumeEntryForDeviceNumber(const BorrowedRef* args) {
  const BorrowedRef self = args[0];
  const BorrowedRef st_dev = args[1];
  OwnedRef find_volume_id = OwnedRef::Steal(
      PyObject_GetAttr(self.get(), names()._FindVolumeIDForDeviceNumber));
  if (!find_volume_id) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
    PyErr_Clear();
    find_volume_id = LookupGlobal(names()._VolumeIDFromSerialNumber);
  }
  OwnedRef volume_id = Call(find_volume_id, {st_dev});
  return Call(GetAttr(self, names().GetVolumeEntryForVolumeID), {volume_id});
}

// ---------------------------------------------------------------------------
// The refresh

OwnedRef AllVolumeEntries(const BorrowedRef* args) {
  const BorrowedRef self = args[0];
  const BorrowedRef force_update = args[1];
  // An empty table is rebuilt without looking at force_update.
  if (!IsTrue(GetAttr(self, names()._volume_entries)) || IsTrue(force_update)) {
    OwnedRef populate = GetAttr(self, names()._PopulateVolumeTable);
    Call(populate, {GetAttr(self, names()._volume_ids)});
  }
  return CallMethod(GetAttr(self, names()._volume_entries), names().copy);
}

// The with statement over the service lock, as the interpreter performs it:
// __exit__ then __enter__ looked up on the lock's type, __enter__ called.
class LockHeld {
 public:
  explicit LockHeld(BorrowedRef lock)
      : exit_(Special(lock, "__exit__", names().__exit__)) {
    Call(Special(lock, "__enter__", names().__enter__), {});
  }

  void Exit() { Call(exit_, {Py_None, Py_None, Py_None}); }

  // True when __exit__ declares the exception handled.
  bool ExitWith(const CaughtException& caught) {
    return IsTrue(
        Call(exit_, {caught.type(), caught.value(), caught.traceback()}));
  }

 private:
  static OwnedRef Special(BorrowedRef object, const char* name,
                          PyObject* interned) {
    PyObject* cache = interned;
    PyObject* method = _PyObject_LookupSpecial(object.get(),
                                               const_cast<char*>(name), &cache);
    if (method == nullptr && !PyErr_Occurred()) {
      PyErr_SetObject(PyExc_AttributeError, interned);
    }
    return OwnedRef::Take(method);
  }

  OwnedRef exit_;
};

// Runs one per-volume step.  An exception of the Exception family is logged
// through LOGGER.exception with `message` and `argument`, and the volume is
// skipped (false); any other exception passes.
template <class Step>
bool Protected(Step&& step, const char* message, BorrowedRef argument) {
  try {
    step();
    return true;
  } catch (...) {
    SetErrorFromCurrentException();
    CaughtException caught;
    if (!caught.Matches(PyExc_Exception)) caught.Reraise();
    HandledException handled(caught);
    Log(names().exception, message, {argument});
    return false;
  }
}

OwnedRef VolumeUuid(BorrowedRef volume_name) {
  OwnedRef match = CallMethod(LookupGlobal(names().VOLUME_NAME_GUID_MATCHER),
                              names().match, {volume_name});
  if (match.get() == Py_None) return None();
  OwnedRef group_number = OwnedRef::Take(PyInt_FromLong(1));
  return CallMethod(CallMethod(match, names().group, {group_number}),
                    names().encode, {names().ascii});
}

// Adds the entry of one listed volume to `new_volume_entries`, or logs why
// the volume is left out.
void AddVolumeEntry(BorrowedRef new_volume_entries, BorrowedRef volume_name) {
  OwnedRef mount_points;
  if (!Protected(
          [&] {
            CheckExpectedType(volume_name, "basestring",
                              {&PyString_Type, &PyUnicode_Type});
            mount_points = GetVolumePathNamesForVolumeName(volume_name);
          },
          "Could not determine mount point for %s", volume_name)) {
    return;
  }
  if (mount_points.get() == Py_None || !IsTrue(mount_points)) {
    Log(names().debug, "Volume %s has no mount point. Skipping.",
        {volume_name});
    return;
  }
  const Py_ssize_t mount_point_count = PyObject_Size(mount_points.get());
  if (mount_point_count < 0) throw PyError();
  if (mount_point_count > 1) {
    // Shortest first: a drive letter before a folder mount.  The sort is
    // stable, so equal lengths keep the system's order.
    OwnedRef sort_options = OwnedRef::Take(PyDict_New());
    Check(PyDict_SetItem(sort_options.get(), names().key,
                         LookupBuiltin(names().len).get()));
    Call(GetAttr(mount_points, names().sort), {}, sort_options);
    Log(names().debug, "Got multiple mounts for %s: %s",
        {volume_name, mount_points});
  }
  OwnedRef mount_point =
      OwnedRef::Take(PySequence_GetItem(mount_points.get(), 0));

  OwnedRef information;
  if (!Protected(
          [&] {
            CheckExpectedType(volume_name, "unicode", {&PyUnicode_Type});
            information = GetVolumeInformation(volume_name);
          },
          "Unable to fetch volume info for %r, skipping.", mount_point)) {
    return;
  }
  const BorrowedRef label = PyTuple_GET_ITEM(information.get(), 0);
  const BorrowedRef serial_number = PyTuple_GET_ITEM(information.get(), 1);
  const BorrowedRef filesystem = PyTuple_GET_ITEM(information.get(), 4);

  const platform::WideString root_path =
      WideFromUnicode(volume_name, "volume_name");
  OwnedRef win_drive_type = OwnedRef::Take(
      PyLong_FromUnsignedLong(platform::GetDriveTypeW(root_path.c_str())));
  OwnedRef drive_type_get =
      GetAttr(LookupGlobal(names().DRIVE_TYPE_MAP), names().get);
  OwnedRef unknown = GetAttr(
      GetAttr(LookupGlobal(names().volume_entry), names().DeviceType),
      names().UNKNOWN);
  OwnedRef device_type = Call(drive_type_get, {win_drive_type, unknown});

  platform::ULONGLONG capacity_bytes = 0;
  if (!platform::GetDiskFreeSpaceExW(root_path.c_str(), nullptr,
                                     &capacity_bytes, nullptr)) {
    capacity_bytes = 0;
    Log(names().debug, "Could not determine volume capacity for %r",
        {mount_point});
  }

  OwnedRef volume_uuid = VolumeUuid(volume_name);
  OwnedRef volume_entry_class =
      GetAttr(LookupGlobal(names().volume_entry), names().VolumeEntry);
  // The keyword values are made in this order: the ID first, the size last.
  OwnedRef fields = OwnedRef::Take(PyDict_New());
  auto set_field = [&](PyObject* keyword, BorrowedRef value) {
    Check(PyDict_SetItem(fields.get(), keyword, value.get()));
  };
  set_field(names().volume,
            Call(LookupGlobal(names()._VolumeIDFromSerialNumber), {serial_number}));
  set_field(names().mountpoint, mount_point);
  set_field(names().device_file, volume_name);
  set_field(names().device_number, serial_number);
  set_field(names().uuid, volume_uuid);
  set_field(names().model, Py_None);
  set_field(names().device_type, device_type);
  set_field(names().label, label);
  set_field(names().filesystem, CallMethod(filesystem, names().lower));
  set_field(names().size,
            OwnedRef::Take(PyLong_FromUnsignedLongLong(capacity_bytes)));
  OwnedRef entry = Call(volume_entry_class, {}, fields);
  Check(PyDict_SetItem(new_volume_entries.get(),
                       GetAttr(entry, names().volume).get(), entry.get()));
}

// The body of the with statement: the rebuild itself.
OwnedRef RebuildVolumeTable(BorrowedRef self, BorrowedRef current_volume_ids) {
  if (GetAttr(self, names()._volume_ids).get() != current_volume_ids.get()) {
    // Another caller rebuilt the table since this one looked.
    return GetAttr(self, names()._volume_ids);
  }
  Log(names().info, "Refreshing volume information table.", {});
  OwnedRef start_time =
      Call(GetAttr(LookupGlobal(names().utils), names().GetMonotonicTime), {});
  OwnedRef new_volume_ids = OwnedRef::Take(PyDict_New());
  OwnedRef new_volume_entries = OwnedRef::Take(PyDict_New());

  OwnedRef volume_names = Call(LookupGlobal(names()._ListVolumeNames), {});
  OwnedRef iterator = OwnedRef::Take(PyObject_GetIter(volume_names.get()));
  while (OwnedRef volume_name = OwnedRef::Steal(PyIter_Next(iterator.get()))) {
    AddVolumeEntry(new_volume_entries, volume_name);
  }
  if (PyErr_Occurred()) throw PyError();

  // Readers see the old table or the new one, never a table being built.
  SetAttr(self, names()._volume_ids, new_volume_ids);
  SetAttr(self, names()._volume_entries, new_volume_entries);

  Log(names().info, "Got new volume entries: %r", {new_volume_entries});
  OwnedRef end_time =
      Call(GetAttr(LookupGlobal(names().utils), names().GetMonotonicTime), {});
  OwnedRef elapsed =
      OwnedRef::Take(PyNumber_Subtract(end_time.get(), start_time.get()));
  Log(names().info, "Volume information refresh complete in %gs.", {elapsed});
  ClearIsFatCache();
  return new_volume_ids;
}

OwnedRef PopulateVolumeTable(const BorrowedRef* args) {
  const BorrowedRef self = args[0];
  LockHeld lock(GetAttr(self, names()._lock));
  OwnedRef result;
  try {
    result = RebuildVolumeTable(self, args[1]);
  } catch (...) {
    SetErrorFromCurrentException();
    CaughtException caught;
    if (lock.ExitWith(caught)) return None();
    caught.Reraise();
  }
  lock.Exit();
  return result;
}

#define LINE(text) text "\n"

const char kFindVolumeIDDoc[] =
    LINE("Get the volume ID from the VolumeInfo service.")
    LINE("")
    LINE("    Args:")
    LINE("      stat_result: Raw stat result of the file.")
    LINE("")
    LINE("    Returns:")
    LINE("      Object to be used as volume ID. Generally string-typed.")
    "    ";

const char kAllVolumeEntriesDoc[] =
    LINE("Returns the volume entry dictionary.")
    LINE("")
    LINE("    Args:")
    LINE("      force_update: If True, repopulate the volume entry table first.")
    LINE("          Otherwise, uses cached values if available.")
    LINE("")
    LINE("    Returns:")
    LINE("      Dictionary mapping volume IDs to volume_entry.VolumeEntry values.")
    "    ";

}  // namespace

const char kVolumeInfoDoc[] =
    LINE("Volume information cache service.")
    LINE("")
    LINE("  On Windows this currently does nothing but return the volume")
    LINE("  serial number obtained with the stat, but will eventually handle")
    LINE("  track other volume information to be used in volume mount/dismount")
    LINE("  change handling.")
    "  ";

#undef LINE

const FunctionSpec kVolumeInfoMethods[6] = {
    {{"__init__", CallingStyle::kOneArgument, {"self"}, 1}, Init, nullptr},
    {{"FindVolumeID", CallingStyle::kNamedParameters, {"self", "stat_result"}, 2},
     FindVolumeID, kFindVolumeIDDoc},
    {{"AllVolumeEntries", CallingStyle::kNamedParameters,
      {"self", "force_update"}, 1},
     AllVolumeEntries, kAllVolumeEntriesDoc},
    {{"GetVolumeEntryForVolumeID", CallingStyle::kNamedParameters,
      {"self", "volume_id"}, 2},
     GetVolumeEntryForVolumeID, nullptr},
    {{"GetVolumeEntryForDeviceNumber", CallingStyle::kNamedParameters,
      {"self", "st_dev"}, 2},
     GetVolumeEntryForDeviceNumber, nullptr},
    {{"_PopulateVolumeTable", CallingStyle::kNamedParameters,
      {"self", "current_volume_ids"}, 2},
     PopulateVolumeTable, nullptr},
};

}  // namespace volumes
