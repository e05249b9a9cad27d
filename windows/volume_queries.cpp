#include "windows/volume_queries.h"

#include <cstring>
#include <string>

#include "windows/buffers.h"
#include "windows/error_boundary.h"
#include "windows/find_volume_handle.h"
#include "windows/handle_bits.h"
#include "windows/idioms.h"
#include "windows/logger.h"
#include "windows/names.h"
#include "windows/object_protocol.h"
#include "windows/text.h"
#include "windows/windows_error.h"

namespace volumes {
namespace {

using platform::DWORD;
using platform::WCHAR;

OwnedRef GetVolumeInformationByHandleBody(const Arguments& arguments);
OwnedRef GetVolumeInformationBody(const Arguments& arguments);
OwnedRef GetVolumePathNamesBody(const Arguments& arguments);
OwnedRef ListVolumeNamesBody(const Arguments& arguments);

// What the two volume information docstrings share, from "Returns:" to
// "Raises:".
#define VOLUME_INFORMATION_RETURNS \
  "\n" \
  "  Returns:\n" \
  "    Tuple containing five values. Not coincidentally, this is the same form\n" \
  "    as win32file.GetVolumeInformation, except that the volume label is unicode\n" \
  "    and the serial number doesn't need manipulation to match the stat result.\n" \
  "\n" \
  "    volume_label: Unicode volume label.\n" \
  "    serial_number: Integer, matches stat_result.st_dev for this volume.\n" \
  "    component_length: Integer, maximum path component length on this volume.\n" \
  "    flags: Integer. See Microsoft's documentation for flag details.\n" \
  "    filesystem: String, filesystem name.\n" \
  "\n" \
  "  Raises:\n"

const char kGetVolumeInformationByHandleDoc[] =
    "Retrieves volume information as per the win32 call of the same name.\n"
    "\n"
    "  Args:\n"
    "    handle: File handle to a file on the volume you wish to look up.\n"
    VOLUME_INFORMATION_RETURNS
    "    WindowsError: For any error involving the Windows API call.\n"
    "  ";

const char kGetVolumeInformationDoc[] =
    "Retrieves volume information as per the win32 call of the same name.\n"
    "\n"
    "  Args:\n"
    "    path: Unicode path to the volume mountpoint. Must end in a trailing slash.\n"
    VOLUME_INFORMATION_RETURNS
    "    TypeError: If input path is not unicode.\n"
    "    WindowsError: For any error involving the Windows API call.\n"
    "  ";

#undef VOLUME_INFORMATION_RETURNS

const char kGetVolumePathNamesForVolumeNameDoc[] =
    "Retrieves volume paths as per the win32 call of the same name.\n"
    "\n"
    "  Args:\n"
    "    guid_path: The GUID path of the volume, of the form:\n"
    "        \"\\\\?\\Volume{ABCDEF-01234...}\\\".\n"
    "\n"
    "  Returns:\n"
    "    List of unicode mount points (drive letters or otherwise) assigned to this\n"
    "    volume. Note that some volumes may have no paths assigned. This may even\n"
    "    happen when the volume actually does have accessible mounts, due to an\n"
    "    apparent bug in the disk management subsystem.\n"
    "\n"
    "  Raises:\n"
    "    WindowsError: If a Windows API returns an error code.\n"
    "  ";

const char kListVolumeNamesDoc[] =
    "Returns a list of UNC volume names.\n"
    "\n"
    "  Returns:\n"
    "    List of UNC GUID volume names as reported by the system. Not all such\n"
    "    names will actually correspond to mounted volumes, because Windows.\n"
    "\n"
    "  Raises:\n"
    "    WindowsError: If calls to the Windows API fail.\n"
    "  ";

namespace names {
Name handle("handle");
Name path("path");
Name guid_path("guid_path");
}  // namespace names

const Callable kGetVolumeInformationByHandle = {
    "GetVolumeInformationByHandle", CallingStyle::kOneArgument,
    {NativeInteger(names::handle)}, GetVolumeInformationByHandleBody,
    kGetVolumeInformationByHandleDoc};
const Callable kGetVolumeInformation = {
    "GetVolumeInformation", CallingStyle::kOneArgument,
    {Typed(names::path, TypeTest::kUnicode)}, GetVolumeInformationBody,
    kGetVolumeInformationDoc};
const Callable kGetVolumePathNamesForVolumeName = {
    "_GetVolumePathNamesForVolumeName", CallingStyle::kOneArgument,
    {Typed(names::guid_path, TypeTest::kBasestring)}, GetVolumePathNamesBody,
    kGetVolumePathNamesForVolumeNameDoc};
const Callable kListVolumeNames = {"_ListVolumeNames",
                                   CallingStyle::kNoArguments,
                                   {},
                                   ListVolumeNamesBody,
                                   kListVolumeNamesDoc};

PyMethodDef module_table[] = {
    MethodDef<kGetVolumeInformationByHandle>(),
    MethodDef<kGetVolumeInformation>(),
    MethodDef<kGetVolumePathNamesForVolumeName>(),
};
PyMethodDef functions[] = {MethodDef<kListVolumeNames>()};

}  // namespace

const Subsystem kVolumeQueries = {module_table, nullptr, functions, {}};

namespace {

// Enough for the common volume with one drive letter: "E:\", its NUL and
// the list's closing NUL.
constexpr DWORD kFirstPathBufferLength = 5;

// A byte count for the logs, as the interpreter's integer.
OwnedRef ByteCount(DWORD characters) {
  return OwnedRef::StealChecked(PyLong_FromUnsignedLongLong(
      static_cast<unsigned long long>(characters) * sizeof(WCHAR)));
}

bool SameText(BorrowedRef a, BorrowedRef b) {
  const Py_ssize_t size = PyUnicode_GET_SIZE(a.get());
  return size == PyUnicode_GET_SIZE(b.get()) &&
         std::memcmp(PyUnicode_AS_UNICODE(a.get()), PyUnicode_AS_UNICODE(b.get()),
                     static_cast<std::size_t>(size) * sizeof(Py_UNICODE)) == 0;
}

// The volume names and mount points of the last listings and the calls
// since, whose objects the same texts get again: a listing is a round.
UnicodeRounds& ListedTexts() {
  static UnicodeRounds* const rounds = new UnicodeRounds;
  return *rounds;
}

// The path list that GetVolumePathNamesForVolumeNameW wrote: paths ended by
// NULs, the list by one more.
OwnedRef SplitPathNames(const WCHAR* path_names, DWORD length) {
  OwnedRef paths = OwnedRef::StealChecked(PyList_New(0));
  const platform::WideStringView list(path_names, length);
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find(WCHAR(0), start);
    if (end == platform::WideStringView::npos) end = list.size();
    if (end > start) {
      OwnedRef path = ListedTexts().Get(list.substr(start, end - start));
      Check(PyList_Append(paths.get(), path.get()));
    }
    start = end + 1;
  }
  return paths;
}

// The UTF-16 form of the unicode `name`, as kernel32 takes it.  The
// refresh hands each volume's name to four queries in a row, so the last
// conversion is kept, with the object that it holds (and so is that
// object's): the "refresh" targets.
const platform::WideString& WideNameOf(BorrowedRef name, const char* what) {
  struct LastName {
    ProcessRef object;
    platform::WideString wide;
  };
  static LastName last;
  if (name.get() != last.object.get()) {
    platform::WideString wide = WideFromUnicode(name, what);
    last.object.Reset(OwnedRef::NewReference(name));
    last.wide = std::move(wide);
  }
  return last.wide;
}

// A handle value as the platform's HANDLE.
platform::HANDLE ToHandle(std::int64_t value) {
  constexpr int kWidth = sizeof(platform::HANDLE) * 8;
  const std::optional<std::uint64_t> bits = HandleBits(value, kWidth);
  if (!bits) {
    Raise(PyExc_OverflowError, "handle %s does not fit a %d-bit HANDLE",
          std::to_string(value).c_str(), kWidth);
  }
  return reinterpret_cast<platform::HANDLE>(static_cast<std::uintptr_t>(*bits));
}

OwnedRef ListedName(const WCHAR* buffer) {
  return ListedTexts().Get(WideBufferText(buffer, kNameBufferLength));
}

OwnedRef ListVolumeNamesBody(const Arguments&) {
  // Zeroed, so that a name is never read from memory the system left
  // unwritten.
  WCHAR name_buffer[kNameBufferLength] = {};
  FindVolumeHandle handle(
      platform::FindFirstVolumeW(name_buffer, kNameBufferLength));
  if (!handle.valid()) RaiseWindowsError(platform::GetLastError());

  OwnedRef volume_names = OwnedRef::StealChecked(PyList_New(0));
  OwnedRef current_name = ListedName(name_buffer);
  Check(PyList_Append(volume_names.get(), current_name.get()));
  for (;;) {
    if (!platform::FindNextVolumeW(handle.get(), name_buffer,
                                   kNameBufferLength)) {
      const DWORD error = platform::GetLastError();
      if (error == platform::kErrorNoMoreFiles) break;
      RaiseWindowsError(error);
    }
    current_name = ListedName(name_buffer);
    const Py_ssize_t count = PyList_GET_SIZE(volume_names.get());
    if (SameText(current_name,
                 BorrowedRef(PyList_GET_ITEM(volume_names.get(), count - 1)))) {
      // Some systems hand out the last name again instead of ending.
      Log(LogLevel::kError, "FindNextVolume improperly returned same value %s",
          {current_name});
      break;
    }
    Check(PyList_Append(volume_names.get(), current_name.get()));
  }
  ListedTexts().EndRound();
  return volume_names;
}

OwnedRef GetVolumePathNamesBody(const Arguments& arguments) {
  return QueryVolumePathNames(arguments.objects[0]);
}

OwnedRef GetVolumeInformationBody(const Arguments& arguments) {
  return QueryVolumeInformation(arguments.objects[0]).ToTuple();
}

OwnedRef GetVolumeInformationByHandleBody(const Arguments& arguments) {
  return QueryVolumeInformationByHandle(arguments.integers[0]).ToTuple();
}

}  // namespace

// --- The volume information outputs as the host receives them ---------------

OwnedRef VolumeInformation::Label() const {
  return UnicodeFromWideBuffer(label, kNameBufferLength);
}

OwnedRef VolumeInformation::SerialNumber() const {
  return OwnedRef::StealChecked(PyLong_FromUnsignedLong(serial_number));
}

OwnedRef VolumeInformation::FilesystemName() const {
  return EncodeFilesystemName(WideBufferText(filesystem, kNameBufferLength));
}

OwnedRef VolumeInformation::ToTuple() const {
  OwnedRef volume_label = Label();
  OwnedRef serial = SerialNumber();
  OwnedRef length =
      OwnedRef::StealChecked(PyLong_FromUnsignedLong(component_length));
  OwnedRef flag_bits = OwnedRef::StealChecked(PyLong_FromUnsignedLong(flags));
  OwnedRef filesystem_name = FilesystemName();
  return Tuple({volume_label, serial, length, flag_bits, filesystem_name});
}

// --- The internal entries ----------------------------------------------------

OwnedRef QueryVolumePathNames(BorrowedRef guid_path) {
  OwnedRef volume_name =
      PyUnicode_CheckExact(guid_path.get())
          ? OwnedRef::NewReference(guid_path)
          : OwnedRef::StealChecked(PyObject_Unicode(guid_path.get()));
  const platform::WideString& wide_name = WideNameOf(volume_name, "guid_path");

  DWORD buffer_length = kFirstPathBufferLength;
  DWORD returned_length = 0;
  PyMemBuffer<WCHAR> path_names;
  path_names.Allocate(buffer_length);
  for (;;) {
    const platform::BOOL succeeded = platform::GetVolumePathNamesForVolumeNameW(
        wide_name.c_str(), path_names.get(), buffer_length, &returned_length);
    // Comes first: a failure that reports no length means no mount point.
    if (returned_length < 2) return OwnedRef::StealChecked(PyList_New(0));
    if (succeeded) break;
    const DWORD error = platform::GetLastError();
    // A "needed" length no larger than the buffer already held would ask for
    // the same call again, for ever; it is reported as the error it is.
    if (error != platform::kErrorMoreData || returned_length <= buffer_length) {
      OwnedRef held_bytes = ByteCount(buffer_length);
      Log(LogLevel::kError, "Could not write path names into %s-byte buffer.",
          {held_bytes});
      RaiseWindowsError(error);
    }
    LogCall enlarging(LogLevel::kDebug);
    if (enlarging.logs()) {
      OwnedRef held_bytes = ByteCount(buffer_length);
      OwnedRef needed_bytes = ByteCount(returned_length);
      enlarging("%s isn't big enough, allocating %s bytes.",
                {held_bytes, needed_bytes});
    }
    buffer_length = returned_length;
    path_names.Allocate(buffer_length);
  }
  // Never trust a length beyond the buffer that the system was given.
  return SplitPathNames(path_names.get(),
                        returned_length < buffer_length ? returned_length
                                                        : buffer_length);
}

VolumeInformation QueryVolumeInformation(BorrowedRef path) {
  // The volume information's own words for None, not its type's name.
  if (path.get() == Py_None) Raise(PyExc_TypeError, "Expected unicode, got None");
  const platform::WideString& wide_path = WideNameOf(path, "path");
  platform::WideString with_backslash;
  if (!platform::IsRootPath(wide_path)) with_backslash = wide_path + platform::WCHAR('\\');
  const platform::WCHAR* root_path =
      with_backslash.empty() ? wide_path.c_str() : with_backslash.c_str();
  VolumeInformation information;
  if (!platform::GetVolumeInformationW(
          root_path, information.label, kNameBufferLength,
          &information.serial_number, &information.component_length,
          &information.flags, information.filesystem, kNameBufferLength)) {
    RaiseWindowsError(platform::GetLastError());
  }
  return information;
}

VolumeInformation QueryVolumeInformationByHandle(std::int64_t handle) {
  const platform::HANDLE file = ToHandle(handle);
  VolumeInformation information;
  if (!platform::GetVolumeInformationByHandleW(
          file, information.label, kNameBufferLength,
          &information.serial_number, &information.component_length,
          &information.flags, information.filesystem, kNameBufferLength)) {
    RaiseWindowsError(platform::GetLastError());
  }
  return information;
}

unsigned long QueryDriveType(BorrowedRef root_path) {
  return platform::GetDriveTypeW(WideNameOf(root_path, "root_path").c_str());
}

std::optional<unsigned long long> QueryTotalBytes(BorrowedRef directory) {
  platform::ULONGLONG total_bytes = 0;
  if (!platform::GetDiskFreeSpaceExW(WideNameOf(directory, "directory").c_str(),
                                     nullptr, &total_bytes, nullptr)) {
    return std::nullopt;
  }
  return total_bytes;
}

}  // namespace volumes
