// The simulated machine, through the kernel32 functions that module code
// calls: every answer of the call table, malformed files and the journal.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/kernel32.h"
#include "platform/wide_string.h"
#include "simulated_machine_fixture.h"
#include "test_environment.h"

namespace platform {
namespace {

using test_environment::SetEnvironment;
using test_environment::UnsetEnvironment;

WideString W(const char* utf8) { return WideFromUtf8(utf8); }
std::string Narrow(const WCHAR* text) { return Utf8FromWide(WideView(text)); }
std::intptr_t Value(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

constexpr char kWorkstation[] = R"({
  "volumes": [
    {"name": "\\\\?\\Volume{c}\\", "paths": ["C:\\"], "label": "System",
     "serial": 3735928559, "flags": 3, "total_bytes": 18446744073709551615,
     "handles": [40, -1]},
    {"name": "\\\\?\\Volume{u}\\", "paths": ["E:\\", "C:\\mnt\\usb\\"],
     "filesystem": "FAT32", "drive_type": 2, "max_component_length": 12},
    {"name": "\\\\?\\Volume{bad}\\", "paths": ["F:\\"],
     "fail": {"paths": {"code": 5, "returned_length": 7}, "info": 21,
              "capacity": 21}}
  ]
})";

class SimulatedMachineTest : public SimulatedMachineFixture {
 protected:
  void SetUp() override {
    SimulatedMachineFixture::SetUp();
    KeepJournal();
  }
};

TEST_F(SimulatedMachineTest, FindFirstVolumeAnswers) {
  UseMachine(R"({"find_first_error": 21, "volumes": [{"name": "A"}]})");
  WCHAR name[8] = {};
  EXPECT_EQ(FindFirstVolumeW(name, 8), InvalidHandleValue());
  EXPECT_EQ(GetLastError(), 21u);

  UseMachine(R"({})");
  EXPECT_EQ(FindFirstVolumeW(name, 8), InvalidHandleValue());
  EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);

  UseMachine(R"({"volumes": [{"name": "ABCDEFGH"}]})");
  EXPECT_EQ(FindFirstVolumeW(name, 8), InvalidHandleValue());
  EXPECT_EQ(GetLastError(), kErrorFilenameExcedRange);

  UseMachine(R"({"volumes": [{"name": "ABCDEFG"}]})");
  const HANDLE first = FindFirstVolumeW(name, 8);
  EXPECT_EQ(Value(first), 1);
  EXPECT_EQ(Narrow(name), "ABCDEFG");
  const HANDLE second = FindFirstVolumeW(name, 8);
  EXPECT_EQ(Value(second), 2);
  EXPECT_TRUE(FindVolumeClose(first));
  // The smallest value not in use by another open enumeration.
  const HANDLE third = FindFirstVolumeW(name, 8);
  EXPECT_EQ(Value(third), 1);
  EXPECT_TRUE(FindVolumeClose(second));
  EXPECT_TRUE(FindVolumeClose(third));
  EXPECT_FALSE(FindVolumeClose(third));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(SimulatedMachineTest, FindNextVolumeWalksItsOwnSnapshot) {
  UseMachine(R"({"volumes": [{"name": "A"}, {"name": "B"}, {"name": "LONGNAME"}, {"name": "A"}]})");
  WCHAR name[9] = {};
  const HANDLE find = FindFirstVolumeW(name, 8);
  ASSERT_NE(find, InvalidHandleValue());
  UseMachine(R"({"volumes": [{"name": "X"}]})");
  ASSERT_TRUE(FindNextVolumeW(find, name, 8));
  EXPECT_EQ(Narrow(name), "B");
  EXPECT_FALSE(FindNextVolumeW(find, name, 8));
  EXPECT_EQ(GetLastError(), kErrorFilenameExcedRange);
  ASSERT_TRUE(FindNextVolumeW(find, name, 9));
  EXPECT_EQ(Narrow(name), "LONGNAME");
  ASSERT_TRUE(FindNextVolumeW(find, name, 9));
  EXPECT_EQ(Narrow(name), "A");
  EXPECT_FALSE(FindNextVolumeW(find, name, 9));
  EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);
  EXPECT_TRUE(FindVolumeClose(find));
  EXPECT_FALSE(FindNextVolumeW(find, name, 9));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(SimulatedMachineTest, FindNextVolumeFailsOnceEnoughNamesWereHandedOut) {
  UseMachine(R"({"volumes": [{"name": "A"}, {"name": "B"}, {"name": "C"}],
                 "find_next_error": {"after": 2, "code": 5}})");
  WCHAR name[4] = {};
  const HANDLE find = FindFirstVolumeW(name, 4);
  EXPECT_TRUE(FindNextVolumeW(find, name, 4));
  EXPECT_FALSE(FindNextVolumeW(find, name, 4));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_EQ(Narrow(name), "B");
  FindVolumeClose(find);
}

TEST_F(SimulatedMachineTest, PathNamesAnswers) {
  UseMachine(kWorkstation);
  WCHAR paths[32] = {};
  DWORD length = 99;
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(W("\\\\?\\Volume{x}\\").c_str(), paths, 32, &length));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(length, 99u);

  // "E:\" NUL "C:\mnt\usb\" NUL NUL: 4 + 12 + 1 characters.
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(W("\\\\?\\Volume{u}\\").c_str(), paths, 16, &length));
  EXPECT_EQ(GetLastError(), kErrorMoreData);
  EXPECT_EQ(length, 17u);
  ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(W("\\\\?\\Volume{u}").c_str(), paths, 17, &length));
  EXPECT_EQ(length, 17u);
  EXPECT_EQ(Narrow(paths), "E:\\");
  EXPECT_EQ(Narrow(paths + 4), "C:\\mnt\\usb\\");
  EXPECT_EQ(paths[16], 0);

  // A mount point names its volume too, with or without the backslash.
  ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(W("C:\\mnt\\usb").c_str(), paths, 17, &length));
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(W("\\\\?\\Volume{bad}\\").c_str(), paths, 32, &length));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_EQ(length, 7u);

  UseMachine(R"({"volumes": [{"name": "N"}]})");
  ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(W("N").c_str(), paths, 1, &length));
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(paths[0], 0);
}

TEST_F(SimulatedMachineTest, VolumeInformationAnswers) {
  UseMachine(kWorkstation);
  WCHAR label[8] = {};
  WCHAR filesystem[8] = {};
  DWORD serial = 0, component_length = 0, flags = 0;
  auto query = [&](const char* root, DWORD label_size = 8) {
    return GetVolumeInformationW(W(root).c_str(), label, label_size, &serial,
                                 &component_length, &flags, filesystem, 8);
  };
  EXPECT_FALSE(query("C:"));
  EXPECT_EQ(GetLastError(), kErrorInvalidName);
  EXPECT_FALSE(query("D:\\"));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_FALSE(query("F:\\"));
  EXPECT_EQ(GetLastError(), 21u);
  EXPECT_FALSE(query("C:\\", 6));
  EXPECT_EQ(GetLastError(), kErrorBadLength);

  ASSERT_TRUE(query("\\\\?\\Volume{c}\\"));
  EXPECT_EQ(Narrow(label), "System");
  EXPECT_EQ(serial, 3735928559u);
  EXPECT_EQ(component_length, 255u);
  EXPECT_EQ(flags, 3u);
  EXPECT_EQ(Narrow(filesystem), "NTFS");
  ASSERT_TRUE(query("C:\\mnt\\usb\\"));
  EXPECT_EQ(Narrow(label), "");
  EXPECT_EQ(component_length, 12u);
  EXPECT_EQ(Narrow(filesystem), "FAT32");

  ASSERT_TRUE(GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(-1), label, 8, &serial,
                                            nullptr, nullptr, filesystem, 8));
  EXPECT_EQ(serial, 3735928559u);
  EXPECT_FALSE(GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(41), label, 8, &serial,
                                             nullptr, nullptr, filesystem, 8));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(SimulatedMachineTest, DriveTypeAndCapacityAnswers) {
  UseMachine(kWorkstation);
  EXPECT_EQ(GetDriveTypeW(W("C:\\").c_str()), kDriveFixed);
  EXPECT_EQ(GetDriveTypeW(W("\\\\?\\Volume{u}\\").c_str()), kDriveRemovable);
  EXPECT_EQ(GetDriveTypeW(W("Z:\\").c_str()), kDriveNoRootDir);

  ULONGLONG total = 0;
  ASSERT_TRUE(GetDiskFreeSpaceExW(W("C:\\").c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(total, 18446744073709551615ull);
  EXPECT_FALSE(GetDiskFreeSpaceExW(W("Z:\\").c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_FALSE(GetDiskFreeSpaceExW(W("F:\\").c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), 21u);
}

// Names and paths shared by several volumes, with and without the trailing
// backslash on either side: the first volume in the file answers.
TEST_F(SimulatedMachineTest, FirstVolumeInTheFileAnswers) {
  UseMachine(R"({"volumes": [
    {"name": "A", "paths": ["C:\\"], "serial": 1, "handles": [5]},
    {"name": "B\\", "paths": ["A\\", "C:", "D:\\"], "serial": 2, "handles": [5, 6]},
    {"name": "D:", "serial": 3, "handles": [6, 7]},
    {"name": "A", "serial": 4}
  ]})");
  DWORD serial = 0;
  auto serial_of = [&](const char* root) -> long long {
    serial = 0;
    if (!GetVolumeInformationW(W(root).c_str(), nullptr, 0, &serial, nullptr,
                               nullptr, nullptr, 0)) {
      return -static_cast<long long>(GetLastError());
    }
    return serial;
  };
  EXPECT_EQ(serial_of("A\\"), 1);
  EXPECT_EQ(serial_of("C:\\"), 1);
  EXPECT_EQ(serial_of("B\\"), 2);
  EXPECT_EQ(serial_of("D:\\"), 2);
  EXPECT_EQ(serial_of("E:\\"), -static_cast<long long>(kErrorPathNotFound));
  // Only one trailing backslash is dropped.
  EXPECT_EQ(serial_of("A\\\\"), -static_cast<long long>(kErrorPathNotFound));

  auto serial_by_handle = [&](std::intptr_t handle) -> long long {
    serial = 0;
    if (!GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(handle),
                                       nullptr, 0, &serial, nullptr, nullptr,
                                       nullptr, 0)) {
      return -static_cast<long long>(GetLastError());
    }
    return serial;
  };
  EXPECT_EQ(serial_by_handle(5), 1);
  EXPECT_EQ(serial_by_handle(6), 2);
  EXPECT_EQ(serial_by_handle(7), 3);
  EXPECT_EQ(serial_by_handle(8), -static_cast<long long>(kErrorInvalidHandle));

  ULONGLONG total = 1;
  EXPECT_TRUE(GetDiskFreeSpaceExW(W("D:").c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(GetDriveTypeW(W("A").c_str()), kDriveFixed);
}

TEST_F(SimulatedMachineTest, JournalHasOneLinePerCall) {
  UseMachine(kWorkstation);
  WCHAR buffer[64];
  DWORD value = 0;
  ULONGLONG total = 0;
  const HANDLE find = FindFirstVolumeW(buffer, 64);
  FindNextVolumeW(find, buffer, 64);
  FindVolumeClose(find);
  GetVolumePathNamesForVolumeNameW(W("\\\\?\\Volume{u}\\").c_str(), buffer, 14, &value);
  GetVolumeInformationW(W("E:\\").c_str(), buffer, 64, &value, &value, &value, buffer, 64);
  GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(-1), buffer, 64, &value, &value, &value, buffer, 64);
  GetDriveTypeW(W("é:\\").c_str());
  GetDiskFreeSpaceExW(W("C:\\").c_str(), nullptr, &total, nullptr);
  EXPECT_EQ(JournalLines(), (std::vector<std::string>{
                           "FindFirstVolumeW\t64",
                           "FindNextVolumeW\t1\t64",
                           "FindVolumeClose\t1",
                           "GetVolumePathNamesForVolumeNameW\t\\\\?\\Volume{u}\\\t14",
                           "GetVolumeInformationW\tE:\\",
                           "GetVolumeInformationByHandleW\t-1",
                           "GetDriveTypeW\té:\\",
                           "GetDiskFreeSpaceExW\tC:\\",
                       }));
}

TEST_F(SimulatedMachineTest, MalformedFilesRefuseEveryCall) {
  const std::string file = Path("machine.json");
  struct Case {
    const char* json;
    const char* problem;
  };
  const Case cases[] = {
      {"{\"volumes\": [", "not valid JSON: parse error at line 1, column 14: syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal"},
      {"[]", "top level: must be an object"},
      {R"({"volume": []})", "volume: unknown key"},
      {R"({"volumes": [{"paths": []}]})", "volumes[0]: missing required key \"name\""},
      {R"({"volumes": [{"name": "A", "serial": 4294967296}]})", "volumes[0].serial: must be an integer from 0 to 4294967295"},
      {R"({"volumes": [{"name": "A", "serial": -1}]})", "volumes[0].serial: must be an integer from 0 to 4294967295"},
      {R"({"volumes": [{"name": "A", "flags": 1.0}]})", "volumes[0].flags: must be an integer from 0 to 4294967295"},
      {R"({"volumes": [{"name": "A"}, {"name": "B", "paths": ["x", 1]}]})", "volumes[1].paths[1]: must be a string"},
      {R"({"volumes": [{"name": "A", "fail": {"paths": {"code": 5}}}]})", "volumes[0].fail.paths: missing required key \"returned_length\""},
      {R"({"volumes": [{"name": "A", "fail": {"mount": 5}}]})", "volumes[0].fail.mount: unknown key"},
      {R"({"find_next_error": {"after": 1, "code": 2, "x": 0}})", "find_next_error.x: unknown key"},
      {R"({"volumes": [{"name": "A", "handles": [9223372036854775808]}]})", "volumes[0].handles[0]: must be an integer from -9223372036854775808 to 9223372036854775807"},
      {R"({"volumes": [{"name": "A", "stall": {"info": 2147483648}}]})", "volumes[0].stall.info: must be an integer from 0 to 2147483647"},
      {R"({"volumes": [{"name": "A", "stall": {"listing": 1}}]})", "volumes[0].stall.listing: unknown key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    UseMachine(c.json);
    ExpectEveryCallRefused(file, c.problem);
  }
  UnsetEnvironment("VOLUMES_SIMULATION");
  const std::string missing = Path("missing.json");
  SetEnvironment("VOLUMES_SIMULATION", missing);
  ExpectEveryCallRefused(missing, "cannot read the file: No such file or directory");
}

// A stalled call waits once it has found its volume, then answers as it
// would have, its failure included; past the deadline it fails with
// ERROR_TIMEOUT, and GetDriveTypeW, which has no failure, answers 0.
TEST_F(SimulatedMachineTest, StalledCallsAnswerLateOrNotWithinTheDeadline) {
  UseMachine(R"({"volumes": [
    {"name": "A", "paths": ["A:\\"], "fail": {"info": 21},
     "stall": {"info": 50, "drive_type": 50}},
    {"name": "B", "paths": ["B:\\"], "stall": {"capacity": 2000, "drive_type": 2000}}]})");
  SetEnvironment("VOLUMES_QUERY_TIMEOUT_MS", "300");
  const auto seconds = [](auto&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  DWORD serial = 0;
  const auto info = [&](const char* root) {
    return GetVolumeInformationW(W(root).c_str(), nullptr, 0, &serial, nullptr,
                                 nullptr, nullptr, 0);
  };
  EXPECT_GE(seconds([&] { EXPECT_FALSE(info("A:\\")); }), 0.05);
  EXPECT_EQ(GetLastError(), 21u);
  EXPECT_LT(seconds([&] { EXPECT_FALSE(info("Z:\\")); }), 0.05);
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_EQ(GetDriveTypeW(W("A:\\").c_str()), kDriveFixed);

  ULONGLONG total = 0;
  EXPECT_GE(seconds([&] {
    EXPECT_FALSE(GetDiskFreeSpaceExW(W("B:\\").c_str(), nullptr, &total, nullptr));
  }), 0.3);
  EXPECT_EQ(GetLastError(), kErrorTimeout);
  // Stuck: the volume's other calls that stall fail at once.
  EXPECT_LT(seconds([&] { EXPECT_EQ(GetDriveTypeW(W("B:\\").c_str()), kDriveUnknown); }), 0.05);
  EXPECT_TRUE(info("B:\\"));
  EXPECT_EQ(JournalLines(), (std::vector<std::string>{
                                "GetVolumeInformationW\tA:\\",
                                "GetVolumeInformationW\tZ:\\",
                                "GetDriveTypeW\tA:\\",
                                "GetDiskFreeSpaceExW\tB:\\",
                                "GetDriveTypeW\tB:\\",
                                "GetVolumeInformationW\tB:\\",
                            }));
  UnsetEnvironment("VOLUMES_QUERY_TIMEOUT_MS");
}

TEST_F(SimulatedMachineTest, ParsedFileFollowsReplacement) {
  UseMachine(R"({"volumes": [{"name": "A", "paths": ["C:\\"]}]})");
  EXPECT_EQ(GetDriveTypeW(W("C:\\").c_str()), kDriveFixed);
  UseMachine(R"({"volumes": [{"name": "A", "paths": ["C:\\"], "drive_type": 6}]})");
  EXPECT_EQ(GetDriveTypeW(W("C:\\").c_str()), kDriveRamdisk);
}

TEST_F(SimulatedMachineTest, EmptySwitchMeansTheRealMachine) {
  UseMachine(kWorkstation);
  SetEnvironment("VOLUMES_SIMULATION", "");
  WCHAR name[64];
  const HANDLE find = FindFirstVolumeW(name, 64);
  if (find != InvalidHandleValue()) FindVolumeClose(find);
  EXPECT_TRUE(JournalLines().empty());
}

}  // namespace
}  // namespace platform
