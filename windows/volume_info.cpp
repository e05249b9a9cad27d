#include "windows/volume_info.h"

#include "platform/kernel32.h"
#include "windows/module_state.h"
#include "windows/python_calls.h"
#include "windows/text.h"
#include "windows/volume_identity.h"
#include "windows/volume_queries.h"

namespace volumes {
namespace {

// ---------------------------------------------------------------------------
// The service and its lookups

OwnedRef Init(const Arguments& arguments) {
  const BorrowedRef self = arguments.objects[0];
  SetAttr(self, names()._volume_ids, OwnedRef::StealChecked(PyDict_New()));
  SetAttr(self, names()._volume_entries, OwnedRef::StealChecked(PyDict_New()));
  OwnedRef lock = Call(
      GetAttr(LookupGlobal(names().platform_utils), names().Lock), {});
  SetAttr(self, names()._lock, lock);
  return NewNone();
}

OwnedRef FindVolumeIDMethod(const Arguments& arguments) {
  // While the namespace binds the module's own FindVolumeID, its answer is
  // made directly.
  static NamespaceSlot slot;
  const BorrowedRef bound = slot.Find(names().FindVolumeID);
  if (bound && IsBuiltinOf<kFindVolumeID>(bound.get())) {
    return FindVolumeID(arguments.objects[1]);
  }
  return Call(LookupGlobal(names().FindVolumeID), {arguments.objects[1]});
}

OwnedRef GetVolumeEntryForVolumeID(const Arguments& arguments) {
  OwnedRef volume_entries = GetAttr(arguments.objects[0], names()._volume_entries);
  if (!PyDict_CheckExact(volume_entries.get())) {
    return CallMethod(volume_entries, names().get, {arguments.objects[1]});
  }
  const BorrowedRef entry = DictGet(volume_entries, arguments.objects[1]);
  return entry ? OwnedRef::NewReference(entry) : NewNone();
}

// The instance's own _FindVolumeIDForDeviceNumber where it has one; the
// class has none, so otherwise st_dev maps to its volume ID as FindVolumeID
// maps a stat result's.
OwnedRef GetVolumeEntryForDeviceNumber(const Arguments& arguments) {
  const BorrowedRef self = arguments.objects[0];
  const BorrowedRef st_dev = arguments.objects[1];
  OwnedRef find_volume_id = OwnedRef::StealNullable(
      PyObject_GetAttr(self.get(), names()._FindVolumeIDForDeviceNumber));
  OwnedRef volume_id;
  if (find_volume_id) {
    volume_id = Call(find_volume_id, {st_dev});
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
    PyErr_Clear();
    volume_id = VolumeIDOf(st_dev);
  }
  return Call(GetAttr(self, names().GetVolumeEntryForVolumeID), {volume_id});
}

// ---------------------------------------------------------------------------
// The refresh

OwnedRef AllVolumeEntries(const Arguments& arguments) {
  const BorrowedRef self = arguments.objects[0];
  const BorrowedRef force_update = arguments.objects[1];
  // An empty table is rebuilt without looking at force_update.
  if (!IsTrue(GetAttr(self, names()._volume_entries)) || IsTrue(force_update)) {
    OwnedRef populate = GetAttr(self, names()._PopulateVolumeTable);
    Call(populate, {GetAttr(self, names()._volume_ids)});
  }
  OwnedRef volume_entries = GetAttr(self, names()._volume_entries);
  if (PyDict_CheckExact(volume_entries.get())) {
    return OwnedRef::StealChecked(PyDict_Copy(volume_entries.get()));
  }
  return CallMethod(volume_entries, names().copy);
}

// Runs one per-volume step.  An exception of the Exception family is logged
// through LOGGER.exception with `message` and the argument that `argument()`
// gives, and the volume is skipped (false); any other exception passes.
template <class Step, class Argument>
bool Protected(Step&& step, const char* message, Argument&& argument) {
  try {
    step();
    return true;
  } catch (...) {
    SetErrorFromCurrentException();
    CaughtException caught;
    if (!caught.Matches(BorrowedRef(PyExc_Exception))) caught.Reraise();
    HandledException handled(caught);
    Log(names().exception, message, {argument()});
    return false;
  }
}

// The call-site test before a direct call of a query.
void CheckExpectedType(BorrowedRef value, Conversion type_test) {
  if (!HasType(value, type_test)) {
    Raise(PyExc_TypeError, "Expected %.16s, got %.200s", TypeName(type_test),
          Py_TYPE(value.get())->tp_name);
  }
}

OwnedRef VolumeUuid(BorrowedRef volume_name) {
  OwnedRef match = CallMethod(LookupGlobal(names().VOLUME_NAME_GUID_MATCHER),
                              names().match, {volume_name});
  if (match.get() == Py_None) return NewNone();
  OwnedRef group_number = OwnedRef::StealChecked(PyInt_FromLong(1));
  return CallMethod(CallMethod(match, names().group, {group_number}),
                    names().encode, {BorrowedRef(names().ascii)});
}

// Adds the entry of one listed volume to `new_volume_entries`, or logs why
// the volume is left out.
void AddVolumeEntry(BorrowedRef new_volume_entries, BorrowedRef volume_name) {
  OwnedRef mount_points;
  if (!Protected(
          [&] {
            CheckExpectedType(volume_name, Conversion::kBasestring);
            mount_points = QueryVolumePathNames(volume_name);
          },
          "Could not determine mount point for %s",
          [&] { return volume_name; })) {
    return;
  }
  if (mount_points.get() == Py_None || !IsTrue(mount_points)) {
    Log(names().debug, "Volume %s has no mount point. Skipping.",
        {volume_name});
    return;
  }
  if (PyList_GET_SIZE(mount_points.get()) > 1) {
    // Shortest first: a drive letter before a folder mount.  The sort is
    // stable, so equal lengths keep the system's order.
    OwnedRef sort_options = OwnedRef::StealChecked(PyDict_New());
    Check(PyDict_SetItem(sort_options.get(), names().key,
                         LookupBuiltin(names().len).get()));
    Call(GetAttr(mount_points, names().sort), {}, sort_options);
    Log(names().debug, "Got multiple mounts for %s: %s",
        {volume_name, mount_points});
  }
  OwnedRef mount_point = OwnedRef::NewReference(
      BorrowedRef(PyList_GET_ITEM(mount_points.get(), 0)));

  OwnedRef label;
  OwnedRef serial_number;
  OwnedRef filesystem;
  if (!Protected(
          [&] {
            CheckExpectedType(volume_name, Conversion::kUnicode);
            const VolumeInformation information =
                QueryVolumeInformation(volume_name);
            label = information.Label();
            serial_number = information.SerialNumber();
            filesystem = information.FilesystemName();
          },
          "Unable to fetch volume info for %r, skipping.",
          [&] { return mount_point.borrow(); })) {
    return;
  }

  const platform::WideString root_path =
      WideFromUnicode(volume_name, "volume_name");
  OwnedRef win_drive_type = OwnedRef::StealChecked(
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
  OwnedRef fields = OwnedRef::StealChecked(PyDict_New());
  auto set_field = [&](PyObject* keyword, BorrowedRef value) {
    Check(PyDict_SetItem(fields.get(), keyword, value.get()));
  };
  set_field(names().volume, VolumeIDOf(serial_number));
  set_field(names().mountpoint, mount_point);
  set_field(names().device_file, volume_name);
  set_field(names().device_number, serial_number);
  set_field(names().uuid, volume_uuid);
  set_field(names().model, None());
  set_field(names().device_type, device_type);
  set_field(names().label, label);
  set_field(names().filesystem, CallMethod(filesystem, names().lower));
  set_field(names().size, OwnedRef::StealChecked(
                              PyLong_FromUnsignedLongLong(capacity_bytes)));
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
  OwnedRef new_volume_ids = OwnedRef::StealChecked(PyDict_New());
  OwnedRef new_volume_entries = OwnedRef::StealChecked(PyDict_New());

  OwnedRef volume_names = Call(LookupGlobal(names()._ListVolumeNames), {});
  OwnedRef iterator = OwnedRef::StealChecked(PyObject_GetIter(volume_names.get()));
  while (OwnedRef volume_name =
             OwnedRef::StealNullable(PyIter_Next(iterator.get()))) {
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
      OwnedRef::StealChecked(PyNumber_Subtract(end_time.get(), start_time.get()));
  Log(names().info, "Volume information refresh complete in %gs.", {elapsed});
  ForgetFatAnswers();
  return new_volume_ids;
}

OwnedRef PopulateVolumeTable(const Arguments& arguments) {
  const BorrowedRef self = arguments.objects[0];
  return With(GetAttr(self, names()._lock), [&] {
    return RebuildVolumeTable(self, arguments.objects[1]);
  });
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

Callable kVolumeInfoMethods[kVolumeInfoMethodCount] = {
    {"__init__", CallingStyle::kOneArgument, {{{"self"}}}, Init, nullptr},
    {"FindVolumeID", CallingStyle::kNamedParameters,
     {{{"self"}, {"stat_result"}}}, FindVolumeIDMethod, kFindVolumeIDDoc},
    {"AllVolumeEntries", CallingStyle::kNamedParameters,
     {{{"self"}, {"force_update", Conversion::kObject, true}}},
     AllVolumeEntries, kAllVolumeEntriesDoc},
    {"GetVolumeEntryForVolumeID", CallingStyle::kNamedParameters,
     {{{"self"}, {"volume_id"}}}, GetVolumeEntryForVolumeID, nullptr},
    {"GetVolumeEntryForDeviceNumber", CallingStyle::kNamedParameters,
     {{{"self"}, {"st_dev"}}}, GetVolumeEntryForDeviceNumber, nullptr},
    {"_PopulateVolumeTable", CallingStyle::kNamedParameters,
     {{{"self"}, {"current_volume_ids"}}}, PopulateVolumeTable, nullptr},
};

}  // namespace volumes
