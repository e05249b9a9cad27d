// The Windows backend through the kernel32 functions that module code calls,
// on the machine the suite runs on, and what the simulated machine does
// differently on Windows: the process's environment, UTF-16 file names and
// the identity of the machine file.
//
// Where Wine answers differently from Windows, the test states Windows'
// answer and accepts Wine's only when it runs under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/kernel32.h"
#include "platform/system_access.h"
#include "platform/wide_string.h"
#include "platform/windows_api.h"
#include "simulated_machine_fixture.h"
#include "test_environment.h"
#include "volume_names.h"

namespace platform {
namespace {

using test_environment::SetEnvironment;
using test_environment::UnsetEnvironment;

bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr &&
         ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Windows' answer, or Wine's where the suite runs under Wine.
template <class T>
T Expected(T windows, T wine) {
  return UnderWine() ? wine : windows;
}

struct VolumeInformation {
  BOOL ok;
  DWORD error;
  std::wstring label;
  DWORD serial = 0;
  DWORD max_component_length = 0;
  DWORD flags = 0;
  std::wstring filesystem;
};

VolumeInformation InformationOf(const WCHAR* root) {
  WCHAR label[kMaxPath + 1] = {};
  WCHAR filesystem[kMaxPath + 1] = {};
  VolumeInformation info{};
  info.ok = GetVolumeInformationW(root, label, kMaxPath + 1, &info.serial,
                                  &info.max_component_length, &info.flags,
                                  filesystem, kMaxPath + 1);
  info.error = info.ok ? 0 : GetLastError();
  info.label = label;
  info.filesystem = filesystem;
  return info;
}

VolumeInformation InformationOf(HANDLE file) {
  WCHAR label[kMaxPath + 1] = {};
  WCHAR filesystem[kMaxPath + 1] = {};
  VolumeInformation info{};
  info.ok = GetVolumeInformationByHandleW(
      file, label, kMaxPath + 1, &info.serial, &info.max_component_length,
      &info.flags, filesystem, kMaxPath + 1);
  info.error = info.ok ? 0 : GetLastError();
  info.label = label;
  info.filesystem = filesystem;
  return info;
}

// The GUID path of the volume mounted at C:\.
std::wstring SystemVolume() {
  WCHAR name[kMaxPath + 1] = {};
  EXPECT_TRUE(::GetVolumeNameForVolumeMountPointW(L"C:\\", name, kMaxPath + 1))
      << ::GetLastError();
  return name;
}

class WindowsMachineTest : public ::testing::Test {
 protected:
  void SetUp() override { UnsetEnvironment("VOLUMES_SIMULATION"); }
};

TEST_F(WindowsMachineTest, EnumerationRunsToItsEndAndCloses) {
  const std::vector<WideString> names = VolumeNames();
  ASSERT_FALSE(names.empty());
  for (const WideString& name : names) {
    EXPECT_EQ(name.rfind(L"\\\\?\\Volume{", 0), 0u) << Utf8FromWide(name);
    EXPECT_EQ(name.back(), L'\\');
  }
  EXPECT_NE(std::find(names.begin(), names.end(), SystemVolume()), names.end());
  // The same listing again: every handle of the first one was closed.
  EXPECT_EQ(VolumeNames(), names);
}

// kernel32 reads through a find handle (Wine faults on a bogus one): its
// own never leaves the platform layer, whose values are refused once closed
// or where never handed out.
TEST_F(WindowsMachineTest, FindHandlesNotHandedOutAreRefused) {
  WCHAR name[kMaxPath + 1];
  const HANDLE bogus = reinterpret_cast<HANDLE>(std::intptr_t{0x1234});
  EXPECT_FALSE(FindNextVolumeW(bogus, name, kMaxPath + 1));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(FindVolumeClose(bogus));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);

  const HANDLE find = FindFirstVolumeW(name, kMaxPath + 1);
  ASSERT_NE(find, InvalidHandleValue());
  EXPECT_EQ(find, reinterpret_cast<HANDLE>(1));  // the smallest value free
  EXPECT_TRUE(FindVolumeClose(find));
  EXPECT_FALSE(FindNextVolumeW(find, name, kMaxPath + 1));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(FindVolumeClose(find));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(WindowsMachineTest, NameThatDoesNotFitTheBuffer) {
  WCHAR name[10];
  EXPECT_EQ(FindFirstVolumeW(name, 10), InvalidHandleValue());
  EXPECT_EQ(GetLastError(), kErrorFilenameExcedRange);

  WCHAR first[kMaxPath + 1];
  const HANDLE find = FindFirstVolumeW(first, kMaxPath + 1);
  ASSERT_NE(find, InvalidHandleValue());
  if (!FindNextVolumeW(find, name, 10)) {
    // 18 on a machine of one volume.
    EXPECT_TRUE(GetLastError() == kErrorFilenameExcedRange ||
                GetLastError() == kErrorNoMoreFiles)
        << GetLastError();
  }
  EXPECT_TRUE(FindVolumeClose(find));
}

TEST_F(WindowsMachineTest, MountPointsGrowFromFiveCharacters) {
  const std::wstring volume = SystemVolume();
  // Too short for "C:\" and the two NULs: the needed length comes back.
  for (DWORD size = 0; size < 5; ++size) {
    SCOPED_TRACE(size);
    WCHAR small[5];
    DWORD returned = 0;
    EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(
        volume.c_str(), size ? small : nullptr, size, &returned));
    EXPECT_EQ(GetLastError(), kErrorMoreData);
    EXPECT_GE(returned, 5u);
  }
  // What the module does: a first buffer of 5, then the length asked for.
  std::vector<WCHAR> buffer(5);
  DWORD returned = 0;
  while (!GetVolumePathNamesForVolumeNameW(
      volume.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()),
      &returned)) {
    ASSERT_EQ(GetLastError(), kErrorMoreData);
    ASSERT_GT(returned, buffer.size());
    buffer.resize(returned);
  }
  std::vector<std::wstring> paths;
  for (const WCHAR* path = buffer.data(); *path != 0; path += wcslen(path) + 1) {
    paths.emplace_back(path);
  }
  EXPECT_NE(std::find(paths.begin(), paths.end(), L"C:\\"), paths.end());
}

TEST_F(WindowsMachineTest, UnknownVolumeLeavesReturnedLength) {
  WCHAR paths[64];
  DWORD returned = 12345;
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(
      L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\", paths, 64,
      &returned));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(returned, 12345u);
}

TEST_F(WindowsMachineTest, VolumeInformationByGuidDriveAndHandle) {
  const VolumeInformation by_drive = InformationOf(L"C:\\");
  ASSERT_TRUE(by_drive.ok) << by_drive.error;
  EXPECT_FALSE(by_drive.filesystem.empty());
  EXPECT_GT(by_drive.max_component_length, 0u);

  const VolumeInformation by_guid = InformationOf(SystemVolume().c_str());
  ASSERT_TRUE(by_guid.ok) << by_guid.error;
  EXPECT_EQ(by_guid.serial, by_drive.serial);
  EXPECT_EQ(by_guid.filesystem, by_drive.filesystem);
  EXPECT_EQ(by_guid.label, by_drive.label);

  WCHAR system_directory[kMaxPath + 1];
  ASSERT_GT(::GetSystemDirectoryW(system_directory, kMaxPath + 1), 0u);
  const HANDLE directory = ::CreateFileW(
      system_directory, FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(directory, INVALID_HANDLE_VALUE);
  const VolumeInformation by_handle = InformationOf(directory);
  ::CloseHandle(directory);
  ASSERT_TRUE(by_handle.ok) << by_handle.error;
  EXPECT_EQ(by_handle.serial, by_drive.serial);
  EXPECT_EQ(by_handle.filesystem, by_drive.filesystem);
  EXPECT_EQ(by_handle.flags, by_drive.flags);

  // Only the outputs asked for.
  DWORD serial = 0;
  EXPECT_TRUE(GetVolumeInformationW(L"C:\\", nullptr, 0, &serial, nullptr,
                                    nullptr, nullptr, 0));
  EXPECT_EQ(serial, by_drive.serial);
}

TEST_F(WindowsMachineTest, VolumeInformationRefusals) {
  // Not the root of a volume.
  EXPECT_EQ(InformationOf(L"C:\\windows\\").error, kErrorDirNotRoot);
  // Without its trailing backslash (Wine answers for the drive).
  const VolumeInformation without_backslash = InformationOf(L"C:");
  if (UnderWine() && without_backslash.ok) {
    EXPECT_EQ(without_backslash.serial, InformationOf(L"C:\\").serial);
  } else {
    EXPECT_EQ(without_backslash.error, kErrorInvalidName);
  }
  // A drive letter that no volume has, and a volume that does not exist.
  EXPECT_EQ(::GetDriveTypeW(L"Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR))
      << "the test needs a machine without Q:";
  EXPECT_EQ(InformationOf(L"Q:\\").error, kErrorPathNotFound);
  EXPECT_EQ(
      InformationOf(L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\")
          .error,
      kErrorPathNotFound);

  const VolumeInformation bogus =
      InformationOf(reinterpret_cast<HANDLE>(std::intptr_t{0x1234}));
  EXPECT_FALSE(bogus.ok);
  EXPECT_EQ(bogus.error, kErrorInvalidHandle);
  EXPECT_EQ(InformationOf(InvalidHandleValue()).error, kErrorInvalidHandle);

  WCHAR filesystem[2];
  EXPECT_FALSE(GetVolumeInformationW(L"C:\\", nullptr, 0, nullptr, nullptr,
                                     nullptr, filesystem, 2));
  EXPECT_EQ(GetLastError(), kErrorBadLength);
}

TEST_F(WindowsMachineTest, DriveTypeAndCapacity) {
  EXPECT_EQ(GetDriveTypeW(L"C:\\"), kDriveFixed);
  // Wine knows drive letters only.
  EXPECT_EQ(GetDriveTypeW(SystemVolume().c_str()),
            Expected(kDriveFixed, kDriveUnknown));
  EXPECT_EQ(GetDriveTypeW(L"Q:\\"), kDriveNoRootDir);

  ULONGLONG by_guid_total = 0, by_drive_total = 0, free_bytes = 0;
  ASSERT_TRUE(GetDiskFreeSpaceExW(SystemVolume().c_str(), nullptr,
                                  &by_guid_total, &free_bytes))
      << GetLastError();
  ASSERT_TRUE(
      GetDiskFreeSpaceExW(L"C:\\", nullptr, &by_drive_total, nullptr));
  EXPECT_GT(by_guid_total, 0u);
  EXPECT_EQ(by_guid_total, by_drive_total);
  EXPECT_LE(free_bytes, by_guid_total);

  EXPECT_FALSE(GetDiskFreeSpaceExW(L"Q:\\", nullptr, &by_drive_total, nullptr));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
}

// Every call, failing or not, leaves the thread's error mode as it found it
// and the call's own last error.
TEST_F(WindowsMachineTest, ErrorModeRestoredAndLastErrorKept) {
  for (const DWORD mode : {DWORD{0}, DWORD{SEM_NOGPFAULTERRORBOX}}) {
    SCOPED_TRACE(mode);
    ASSERT_TRUE(::SetThreadErrorMode(mode, nullptr));
    const auto expect_mode = [&](const char* call) {
      EXPECT_EQ(::GetThreadErrorMode(), mode) << call;
    };
    WCHAR name[kMaxPath + 1];
    WCHAR tiny[2];
    DWORD returned = 0;

    EXPECT_EQ(FindFirstVolumeW(tiny, 2), InvalidHandleValue());
    EXPECT_EQ(GetLastError(), kErrorFilenameExcedRange);
    expect_mode("FindFirstVolumeW");

    const HANDLE find = FindFirstVolumeW(name, kMaxPath + 1);
    ASSERT_NE(find, InvalidHandleValue());
    expect_mode("FindFirstVolumeW");
    while (FindNextVolumeW(find, name, kMaxPath + 1)) {
    }
    EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);
    expect_mode("FindNextVolumeW");
    EXPECT_TRUE(FindVolumeClose(find));
    expect_mode("FindVolumeClose");

    EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(SystemVolume().c_str(), tiny,
                                                  2, &returned));
    EXPECT_EQ(GetLastError(), kErrorMoreData);
    expect_mode("GetVolumePathNamesForVolumeNameW");

    EXPECT_FALSE(GetVolumeInformationW(L"C:\\", nullptr, 0, nullptr, nullptr,
                                       nullptr, tiny, 2));
    EXPECT_EQ(GetLastError(), kErrorBadLength);
    expect_mode("GetVolumeInformationW");

    DWORD serial = 0;
    EXPECT_FALSE(GetVolumeInformationByHandleW(
        reinterpret_cast<HANDLE>(std::intptr_t{0x1234}), nullptr, 0, &serial,
        nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    expect_mode("GetVolumeInformationByHandleW");

    EXPECT_EQ(GetDriveTypeW(L"C:\\"), kDriveFixed);
    expect_mode("GetDriveTypeW");

    EXPECT_FALSE(GetDiskFreeSpaceExW(L"Q:\\", nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);
    expect_mode("GetDiskFreeSpaceExW");
  }
  ::SetThreadErrorMode(0, nullptr);
}

// ---------------------------------------------------------------------------
// The simulated machine on Windows

class SimulationOnWindowsTest : public SimulatedMachineFixture {
 protected:
  // A folder name outside every ANSI code page: only a UTF-16 name opens it.
  SimulationOnWindowsTest()
      : SimulatedMachineFixture("simulation-\xCE\xA9-\xE6\x9C\xBA") {}

  void SetUp() override {
    SimulatedMachineFixture::SetUp();
    machine_ = Path("machine.json");
  }

  static std::wstring Wide(const std::string& utf8) { return WideFromUtf8(utf8); }

  void Write(const std::string& path, const std::string& text) {
    ASSERT_TRUE(test_environment::WriteFile(path, text));
  }

  FILETIME LastWrite() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    EXPECT_TRUE(::GetFileAttributesExW(Wide(machine_).c_str(),
                                       GetFileExInfoStandard, &data));
    return data.ftLastWriteTime;
  }

  void SetLastWrite(const FILETIME& time) {
    const HANDLE file = ::CreateFileW(
        Wide(machine_).c_str(), FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(::SetFileTime(file, nullptr, nullptr, &time));
    ::CloseHandle(file);
  }

  UINT DriveTypeOfC() { return GetDriveTypeW(L"C:\\"); }

  std::string machine_;
};

TEST_F(SimulationOnWindowsTest, SwitchIsTheProcessEnvironment) {
  UseMachine(R"({"volumes": [{"name": "A", "paths": ["C:\\"], "drive_type": 6}]})");
  // Set through the process's environment only, as the host's interpreter
  // does through a C runtime of its own: this one's copy has not seen it.
  EXPECT_EQ(std::getenv("VOLUMES_SIMULATION"), nullptr);
  EXPECT_EQ(DriveTypeOfC(), kDriveRamdisk);
  UnsetEnvironment("VOLUMES_SIMULATION");
  EXPECT_EQ(DriveTypeOfC(), kDriveFixed);  // the real machine again
}

TEST(EnvironmentValueTest, ReadsTheProcessEnvironmentWhateverItsLength) {
  const std::string long_value(1000, 'x');
  const std::string text = "\xCE\xA9\xE6\x9C\xBA-\xF0\x9F\x92\xBE";
  SetEnvironment("VOLUMES_TEST_VALUE", long_value + text);
  ::SetLastError(kErrorGenFailure);
  EXPECT_EQ(EnvironmentValue("VOLUMES_TEST_VALUE"), long_value + text);
  EXPECT_EQ(::GetLastError(), kErrorGenFailure);

  UnsetEnvironment("VOLUMES_TEST_VALUE");
  EXPECT_EQ(EnvironmentValue("VOLUMES_TEST_VALUE"), "");
  EXPECT_EQ(::GetLastError(), kErrorGenFailure);
}

TEST_F(SimulationOnWindowsTest, MachineFileAndJournalByUtf16Name) {
  KeepJournal();
  UseMachine(R"({"volumes": [{"name": "\\\\?\\Volume{\u00e9}\\", "paths": ["C:\\"]}]})");
  WCHAR name[16];
  const HANDLE find = FindFirstVolumeW(name, 16);
  ASSERT_NE(find, InvalidHandleValue()) << GetLastError();
  EXPECT_EQ(std::wstring(name), L"\\\\?\\Volume{\u00e9}\\");
  EXPECT_TRUE(FindVolumeClose(find));
  EXPECT_EQ(test_environment::ReadFile(Path("journal")),
            "FindFirstVolumeW\t16\nFindVolumeClose\t1\n");
}

// The parse is kept while the file is the same file, unchanged: the same
// volume serial number, file index, size and last write time.
TEST_F(SimulationOnWindowsTest, ParseKeptUntilTheFileIsReplaced) {
  const std::string ramdisk =
      R"({"volumes": [{"name": "A", "paths": ["C:\\"], "drive_type": 6}]})";
  const std::string cdrom =
      R"({"volumes": [{"name": "A", "paths": ["C:\\"], "drive_type": 5}]})";
  ASSERT_EQ(ramdisk.size(), cdrom.size());
  UseMachine(ramdisk);
  EXPECT_EQ(DriveTypeOfC(), kDriveRamdisk);
  const FILETIME written = LastWrite();

  // Rewritten in place, same size, its time put back: the same identity,
  // so the parse is kept, which is what docs/simulated-machine.md warns of.
  Write(machine_, cdrom);
  SetLastWrite(written);
  EXPECT_EQ(DriveTypeOfC(), kDriveRamdisk);

  // Rewritten in place with a new time: read again.
  FILETIME later = written;
  later.dwLowDateTime += 1;  // 100 ns later
  if (later.dwLowDateTime == 0) ++later.dwHighDateTime;
  SetLastWrite(later);
  EXPECT_EQ(DriveTypeOfC(), kDriveCdrom);

  // Replaced by another file, even of the same size and time: read again.
  Write(machine_ + ".new", ramdisk);
  const HANDLE replacement = ::CreateFileW(
      Wide(machine_ + ".new").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
      OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(replacement, INVALID_HANDLE_VALUE);
  ::SetFileTime(replacement, nullptr, nullptr, &later);
  ::CloseHandle(replacement);
  ASSERT_TRUE(test_environment::RenameOver(machine_ + ".new", machine_));
  EXPECT_EQ(DriveTypeOfC(), kDriveRamdisk);
}

}  // namespace
}  // namespace platform
