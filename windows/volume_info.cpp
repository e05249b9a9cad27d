#include "windows/volume_info.h"

#include <cstdint>
#include <optional>

#include "windows/calling_convention.h"
#include "windows/error_boundary.h"
#include "windows/guid_matcher.h"
#include "windows/idioms.h"
#include "windows/logger.h"
#include "windows/module_state.h"
#include "windows/name_lookup.h"
#include "windows/names.h"
#include "windows/object_protocol.h"
#include "windows/volume_identity.h"
#include "windows/volume_queries.h"
#include "windows/with_statement.h"

namespace volumes {
namespace {

void StartVolumeInfo();
OwnedRef InitBody(const Arguments& arguments);
OwnedRef FindVolumeIDBody(const Arguments& arguments);
OwnedRef AllVolumeEntriesBody(const Arguments& arguments);
OwnedRef GetVolumeEntryForVolumeIDBody(const Arguments& arguments);
OwnedRef GetVolumeEntryForDeviceNumberBody(const Arguments& arguments);
OwnedRef PopulateVolumeTableBody(const Arguments& arguments);

// Kept word for word as the host has always read it, "handle track"
// included.
const char kVolumeInfoDoc[] =
    "Volume information cache service.\n"
    "\n"
    "  On Windows this currently does nothing but return the volume\n"
    "  serial number obtained with the stat, but will eventually handle\n"
    "  track other volume information to be used in volume mount/dismount\n"
    "  change handling.\n"
    "  ";

const char kAllVolumeEntriesDoc[] =
    "Returns the volume entry dictionary.\n"
    "\n"
    "    Args:\n"
    "      force_update: If True, repopulate the volume entry table first.\n"
    "          Otherwise, uses cached values if available.\n"
    "\n"
    "    Returns:\n"
    "      Dictionary mapping volume IDs to volume_entry.VolumeEntry values.\n"
    "    ";

namespace names {
// The module's constant that the service builds and reads (the GUID
// matcher is guid_matcher.h's).
Name DRIVE_TYPE_MAP("DRIVE_TYPE_MAP");
// The methods' parameters.
Name self("self");
Name stat_result("stat_result");
Name force_update("force_update");
Name volume_id("volume_id");
Name st_dev("st_dev");
Name current_volume_ids("current_volume_ids");
// The instance's attributes and methods.
Name volume_ids("_volume_ids");
Name volume_entries("_volume_entries");
Name lock("_lock");
Name PopulateVolumeTable("_PopulateVolumeTable");
Name FindVolumeIDForDeviceNumber("_FindVolumeIDForDeviceNumber");
Name GetVolumeEntryForVolumeID("GetVolumeEntryForVolumeID");
// The module's function that lists the volumes.
Name ListVolumeNames("_ListVolumeNames");
// What the service asks of other objects.
Name Lock("Lock");
Name GetMonotonicTime("GetMonotonicTime");
Name DeviceType("DeviceType");
Name UNKNOWN("UNKNOWN");
Name VolumeEntry("VolumeEntry");
Name get("get");
Name sort("sort");
Name key("key");
Name len("len");
Name lower("lower");
// A VolumeEntry's keywords, in the order in which its values are made.
Name volume("volume");
Name mountpoint("mountpoint");
Name device_file("device_file");
Name device_number("device_number");
Name uuid("uuid");
Name model("model");
Name device_type("device_type");
Name label("label");
Name filesystem("filesystem");
Name size("size");
}  // namespace names

// In the order of the class's namespace.
const Callable volume_info_methods[] = {
    {"__init__", CallingStyle::kOneArgument, {Plain(names::self)}, InitBody,
     nullptr},
    {"FindVolumeID", CallingStyle::kNamedParameters,
     {Plain(names::self), Plain(names::stat_result)}, FindVolumeIDBody,
     MethodDocstring<kFindVolumeIDDoc>()},
    {"AllVolumeEntries", CallingStyle::kNamedParameters,
     {Plain(names::self), DefaultsToFalse(names::force_update)},
     AllVolumeEntriesBody, kAllVolumeEntriesDoc},
    {"GetVolumeEntryForVolumeID", CallingStyle::kNamedParameters,
     {Plain(names::self), Plain(names::volume_id)},
     GetVolumeEntryForVolumeIDBody, nullptr},
    {"GetVolumeEntryForDeviceNumber", CallingStyle::kNamedParameters,
     {Plain(names::self), Plain(names::st_dev)},
     GetVolumeEntryForDeviceNumberBody, nullptr},
    {"_PopulateVolumeTable", CallingStyle::kNamedParameters,
     {Plain(names::self), Plain(names::current_volume_ids)},
     PopulateVolumeTableBody, nullptr},
};

const ClassDef classes[] = {
    {"VolumeInfo", kVolumeInfoDoc, volume_info_methods},
};

}  // namespace

const Subsystem kVolumeInfoService = {{}, StartVolumeInfo, {}, classes};

namespace {

// --- The module's constants ----------------------------------------------------

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
    OwnedRef device_type = GlobalAttr(global::volume_entry, names::DeviceType);
    OwnedRef value = OwnedRef::StealChecked(
        PyObject_GetAttrString(device_type.get(), member));
    Check(PyDict_SetItem(drive_type_map.get(), key.get(), value.get()));
  }
  BindGlobal(names::DRIVE_TYPE_MAP.get(), std::move(drive_type_map));
}

void StartVolumeInfo() {
  BuildDriveTypeMap();
  BuildVolumeNameGuidMatcher();
}

// --- The service and its lookups ---------------------------------------------

OwnedRef InitBody(const Arguments& arguments) {
  const BorrowedRef self = arguments.objects[0];
  OwnedRef volume_ids = OwnedRef::StealChecked(PyDict_New());
  SetAttr(self, names::volume_ids, volume_ids);
  OwnedRef volume_entries = OwnedRef::StealChecked(PyDict_New());
  SetAttr(self, names::volume_entries, volume_entries);
  OwnedRef lock_class = GlobalAttr(global::platform_utils, names::Lock);
  OwnedRef lock = Call(lock_class, {});
  SetAttr(self, names::lock, lock);
  return NewNone();
}

OwnedRef FindVolumeIDBody(const Arguments& arguments) {
  return CallFindVolumeID(arguments.objects[1]);
}

OwnedRef GetVolumeEntryForVolumeIDBody(const Arguments& arguments) {
  OwnedRef volume_entries =
      GetAttr(arguments.objects[0], names::volume_entries);
  return CallGet(volume_entries, arguments.objects[1]);
}

// The instance's own _FindVolumeIDForDeviceNumber where it has one; the
// class has none, so otherwise st_dev maps to its volume ID as FindVolumeID
// maps a stat result's.
OwnedRef GetVolumeEntryForDeviceNumberBody(const Arguments& arguments) {
  const BorrowedRef self = arguments.objects[0];
  const BorrowedRef st_dev = arguments.objects[1];
  OwnedRef find_volume_id = OwnedRef::StealNullable(
      PyObject_GetAttr(self.get(), names::FindVolumeIDForDeviceNumber.get()));
  OwnedRef volume_id;
  if (find_volume_id) {
    volume_id = Call(find_volume_id, {st_dev});
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
    PyErr_Clear();
    volume_id = VolumeIDOf(st_dev);
  }
  OwnedRef get_entry = GetAttr(self, names::GetVolumeEntryForVolumeID);
  return Call(get_entry, {volume_id});
}

// --- The refresh -------------------------------------------------------------

// An empty table is rebuilt without looking at force_update.
bool RebuildWanted(BorrowedRef self, BorrowedRef force_update) {
  OwnedRef volume_entries = GetAttr(self, names::volume_entries);
  return !IsTrue(volume_entries) || IsTrue(force_update);
}

OwnedRef AllVolumeEntriesBody(const Arguments& arguments) {
  const BorrowedRef self = arguments.objects[0];
  const BorrowedRef force_update = arguments.objects[1];
  if (RebuildWanted(self, force_update)) {
    OwnedRef populate = GetAttr(self, names::PopulateVolumeTable);
    OwnedRef volume_ids = GetAttr(self, names::volume_ids);
    Call(populate, {volume_ids});
  }
  OwnedRef volume_entries = GetAttr(self, names::volume_entries);
  return CallCopy(volume_entries);
}

// The call-site test before a direct call of a query.
void CheckExpectedType(BorrowedRef value, TypeTest type) {
  if (!HasType(value, type)) RaiseExpected(TypeName(type), value);
}

// The shortest of the volume's mount points: a drive letter before a folder
// mount.  Null, logged, when it has none or they cannot be read.
OwnedRef MountPointOf(BorrowedRef volume_name) {
  OwnedRef mount_points;
  if (!ExceptAndLog(
          [&] {
            CheckExpectedType(volume_name, TypeTest::kBasestring);
            mount_points = QueryVolumePathNames(volume_name);
          },
          ExceptionClass(BorrowedRef(PyExc_Exception)),
          "Could not determine mount point for %s", {volume_name})) {
    return OwnedRef();
  }
  if (mount_points.get() == Py_None || !IsTrue(mount_points)) {
    Log(LogLevel::kDebug, "Volume %s has no mount point. Skipping.",
        {volume_name});
    return OwnedRef();
  }
  if (PyList_GET_SIZE(mount_points.get()) > 1) {
    // The sort is stable, so equal lengths keep the system's order.
    OwnedRef sort = GetAttr(mount_points, names::sort);
    OwnedRef sort_options = OwnedRef::StealChecked(PyDict_New());
    OwnedRef len = LookupBuiltin(names::len);
    Check(PyDict_SetItem(sort_options.get(), names::key.get(), len.get()));
    Call(sort, {}, sort_options);
    Log(LogLevel::kDebug, "Got multiple mounts for %s: %s",
        {volume_name, mount_points});
  }
  return OwnedRef::NewReference(
      BorrowedRef(PyList_GET_ITEM(mount_points.get(), 0)));
}

// What the volume information query gives an entry.
struct VolumeFacts {
  OwnedRef label;
  OwnedRef serial_number;
  OwnedRef filesystem;
};

// False, logged, when the volume information cannot be read.
bool ReadVolumeFacts(BorrowedRef volume_name, BorrowedRef mount_point,
                     VolumeFacts& facts) {
  return ExceptAndLog(
      [&] {
        CheckExpectedType(volume_name, TypeTest::kUnicode);
        const VolumeInformation information =
            QueryVolumeInformation(volume_name);
        facts.label = information.Label();
        facts.serial_number = information.SerialNumber();
        facts.filesystem = information.FilesystemName();
      },
      ExceptionClass(BorrowedRef(PyExc_Exception)),
      "Unable to fetch volume info for %r, skipping.", {mount_point});
}

// DRIVE_TYPE_MAP's member for the volume's drive type; DeviceType.UNKNOWN
// for a code without a row.  `DRIVE_TYPE_MAP.get(code, default)`: an exact
// dict's get cannot be rebound, so the dict is read directly (the "refresh"
// targets), the default evaluated all the same.
OwnedRef DeviceTypeOf(BorrowedRef volume_name) {
  OwnedRef win_drive_type = OwnedRef::StealChecked(
      PyLong_FromUnsignedLong(QueryDriveType(volume_name)));
  OwnedRef drive_type_map = LookupGlobal(names::DRIVE_TYPE_MAP);
  const bool exact_dict = PyDict_CheckExact(drive_type_map.get());
  OwnedRef drive_type_get =
      exact_dict ? OwnedRef() : GetAttr(drive_type_map, names::get);
  OwnedRef device_types = GlobalAttr(global::volume_entry, names::DeviceType);
  OwnedRef unknown = GetAttr(device_types, names::UNKNOWN);
  if (!exact_dict) return Call(drive_type_get, {win_drive_type, unknown});
  const BorrowedRef found = DictGet(drive_type_map, win_drive_type);
  return OwnedRef::NewReference(found ? found : BorrowedRef(unknown));
}

// The volume's total size in bytes; 0, logged, when it cannot be read.
unsigned long long CapacityOf(BorrowedRef volume_name,
                              BorrowedRef mount_point) {
  const std::optional<unsigned long long> total_bytes =
      QueryTotalBytes(volume_name);
  if (!total_bytes) {
    Log(LogLevel::kDebug, "Could not determine volume capacity for %r",
        {mount_point});
  }
  return total_bytes.value_or(0);
}

// The keyword dict of VolumeEntry's call, used again by the next volume
// when the call kept nothing of it (the "refresh" targets): a dict that the
// callee holds is never touched again.
class KeywordDict {
 public:
  // The spare dict, empty, or a new one; a refresh within the callee
  // (a host's re-entrant lock) finds none.
  OwnedRef Take() {
    if (spare_.get() == nullptr) return OwnedRef::StealChecked(PyDict_New());
    OwnedRef taken = OwnedRef::NewReference(spare_);
    spare_.Reset(OwnedRef());
    return taken;
  }
  void Give(OwnedRef used) {
    if (Py_REFCNT(used.get()) != 1 || spare_.get() != nullptr) return;
    PyDict_Clear(used.get());
    spare_.Reset(std::move(used));
  }

 private:
  ProcessRef spare_;
};

KeywordDict& SpareKeywords() {
  static KeywordDict spare;
  return spare;
}

// Adds the entry of one listed volume to `new_volume_entries`, or logs why
// the volume is left out.
void AddVolumeEntry(BorrowedRef new_volume_entries, BorrowedRef volume_name) {
  OwnedRef mount_point = MountPointOf(volume_name);
  VolumeFacts facts;
  if (!mount_point || !ReadVolumeFacts(volume_name, mount_point, facts)) {
    return;
  }
  OwnedRef device_type = DeviceTypeOf(volume_name);
  const unsigned long long capacity_bytes =
      CapacityOf(volume_name, mount_point);
  OwnedRef volume_uuid = VolumeUuid(volume_name);
  OwnedRef volume_entry_class =
      GlobalAttr(global::volume_entry, names::VolumeEntry);
  // The keywords' values go in in the keywords' order, each made as it goes
  // in, from the volume ID to the size; the device type, the capacity and
  // the UUID were asked for before, in the refresh's order.
  OwnedRef fields = SpareKeywords().Take();
  auto set_field = [&](const Name& keyword, BorrowedRef value) {
    Check(PyDict_SetItem(fields.get(), keyword.get(), value.get()));
  };
  OwnedRef volume_id = VolumeIDOf(facts.serial_number);
  set_field(names::volume, volume_id);
  set_field(names::mountpoint, mount_point);
  set_field(names::device_file, volume_name);
  set_field(names::device_number, facts.serial_number);
  set_field(names::uuid, volume_uuid);
  set_field(names::model, None());
  set_field(names::device_type, device_type);
  set_field(names::label, facts.label);
  OwnedRef filesystem = CallMethod(facts.filesystem, names::lower);
  set_field(names::filesystem, filesystem);
  OwnedRef size =
      OwnedRef::StealChecked(PyLong_FromUnsignedLongLong(capacity_bytes));
  set_field(names::size, size);
  OwnedRef entry = Call(volume_entry_class, {}, fields);
  SpareKeywords().Give(std::move(fields));
  OwnedRef key = GetAttr(entry, names::volume);
  Check(PyDict_SetItem(new_volume_entries.get(), key.get(), entry.get()));
}

// utils.GetMonotonicTime()
OwnedRef MonotonicTime() {
  OwnedRef monotonic_time = GlobalAttr(global::utils, names::GetMonotonicTime);
  return Call(monotonic_time, {});
}

// The body of the with statement: the rebuild itself.
OwnedRef RebuildVolumeTable(BorrowedRef self, BorrowedRef current_volume_ids) {
  if (GetAttr(self, names::volume_ids).get() != current_volume_ids.get()) {
    // Another caller rebuilt the table since this one looked.
    return GetAttr(self, names::volume_ids);
  }
  Log(LogLevel::kInfo, "Refreshing volume information table.", {});
  OwnedRef start_time = MonotonicTime();
  OwnedRef new_volume_ids = OwnedRef::StealChecked(PyDict_New());
  OwnedRef new_volume_entries = OwnedRef::StealChecked(PyDict_New());

  OwnedRef list_volume_names = LookupGlobal(names::ListVolumeNames);
  OwnedRef volume_names = Call(list_volume_names, {});
  OwnedRef iterator = OwnedRef::StealChecked(PyObject_GetIter(volume_names.get()));
  while (OwnedRef volume_name =
             OwnedRef::StealNullable(PyIter_Next(iterator.get()))) {
    AddVolumeEntry(new_volume_entries, volume_name);
  }
  if (PyErr_Occurred()) throw PyError();

  // Readers see the old table or the new one, never a table being built.
  SetAttr(self, names::volume_ids, new_volume_ids);
  SetAttr(self, names::volume_entries, new_volume_entries);

  Log(LogLevel::kInfo, "Got new volume entries: %r", {new_volume_entries});
  OwnedRef end_time = MonotonicTime();
  OwnedRef elapsed =
      OwnedRef::StealChecked(PyNumber_Subtract(end_time.get(), start_time.get()));
  Log(LogLevel::kInfo, "Volume information refresh complete in %gs.",
      {elapsed});
  ForgetFatAnswers();
  return new_volume_ids;
}

OwnedRef PopulateVolumeTableBody(const Arguments& arguments) {
  const BorrowedRef self = arguments.objects[0];
  OwnedRef lock = GetAttr(self, names::lock);
  return With(lock, [&] {
    return RebuildVolumeTable(self, arguments.objects[1]);
  });
}

}  // namespace
}  // namespace volumes
