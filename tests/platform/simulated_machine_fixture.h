// The fixture of every suite that runs the simulated machine: machine files
// in a temporary directory, replaced as the format asks, the switch and the
// journal; and the check of a machine file that cannot be used.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel32.h"
#include "platform/wide_string.h"
#include "test_environment.h"

namespace platform {

class SimulatedMachineFixture : public test_environment::TemporaryDirectoryTest {
 protected:
  explicit SimulatedMachineFixture(const char* prefix = "volumes-simulation")
      : TemporaryDirectoryTest(prefix) {}

  void SetUp() override {
    TemporaryDirectoryTest::SetUp();
    test_environment::UnsetEnvironment("VOLUMES_SIMULATION_JOURNAL");
  }
  void TearDown() override {
    test_environment::UnsetEnvironment("VOLUMES_SIMULATION");
    test_environment::UnsetEnvironment("VOLUMES_SIMULATION_JOURNAL");
    TemporaryDirectoryTest::TearDown();
  }

  // A new machine file `name` in the directory, renamed over any old one.
  std::string WriteMachine(const std::string& json,
                           const std::string& name = "machine.json") {
    const std::string file = Path(name);
    EXPECT_TRUE(test_environment::ReplaceFile(file, json)) << file;
    return file;
  }
  // Writes the machine file and switches the process to it.
  std::string UseMachine(const std::string& json,
                         const std::string& name = "machine.json") {
    const std::string file = WriteMachine(json, name);
    Switch(file);
    return file;
  }
  static void Switch(const std::string& file) {
    test_environment::SetEnvironment("VOLUMES_SIMULATION", file);
  }

  // Journals every simulated call to the directory's "journal".
  void KeepJournal() {
    test_environment::SetEnvironment("VOLUMES_SIMULATION_JOURNAL", Path("journal"));
  }
  std::vector<std::string> JournalLines() const {
    const std::string text = test_environment::ReadFile(Path("journal"));
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
};

// Every call of a machine whose file cannot be used fails with 1610 and
// says why on standard error, once per call; none looks like a machine
// without volumes.
inline void ExpectEveryCallRefused(const std::string& file,
                                   const std::string& problem) {
  const WideString root = WideFromUtf8("C:\\");
  WCHAR buffer[64];
  DWORD value = 0;
  ULONGLONG total = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(FindFirstVolumeW(buffer, 64), InvalidHandleValue());
  EXPECT_EQ(GetLastError(), kErrorBadConfiguration);
  EXPECT_FALSE(FindNextVolumeW(reinterpret_cast<HANDLE>(1), buffer, 64));
  EXPECT_EQ(GetLastError(), kErrorBadConfiguration);
  EXPECT_FALSE(FindVolumeClose(reinterpret_cast<HANDLE>(1)));
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(root.c_str(), buffer, 64, &value));
  EXPECT_FALSE(GetVolumeInformationW(root.c_str(), buffer, 64, &value, &value,
                                     &value, buffer, 64));
  EXPECT_EQ(GetLastError(), kErrorBadConfiguration);
  EXPECT_FALSE(GetVolumeInformationByHandleW(nullptr, buffer, 64, &value, &value,
                                             &value, buffer, 64));
  EXPECT_EQ(GetDriveTypeW(root.c_str()), kDriveUnknown);
  EXPECT_FALSE(GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), kErrorBadConfiguration);
  const std::string line = "volume simulation: " + file + ": " + problem + "\n";
  std::string expected;
  for (int call = 0; call < 8; ++call) expected += line;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

}  // namespace platform
