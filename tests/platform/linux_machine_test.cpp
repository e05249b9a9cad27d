// The Linux machine through the kernel32 functions, on this machine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/kernel32.h"
#include "platform/wide_string.h"
#include "volume_names.h"

namespace platform {
namespace {

WideString W(const char* utf8) { return WideFromUtf8(utf8); }

class LinuxMachineTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("VOLUMES_SIMULATION"); }
};

TEST_F(LinuxMachineTest, EveryVolumeAnswersByItsName) {
  const std::vector<WideString> names = VolumeNames();
  ASSERT_FALSE(names.empty());
  for (const WideString& name : names) {
    SCOPED_TRACE(Utf8FromWide(name));
    EXPECT_EQ(Utf8FromWide(name).rfind("\\\\?\\Volume{", 0), 0u);
    EXPECT_EQ(name.back(), u'\\');
    WCHAR paths[4096];
    DWORD length = 0;
    ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(name.c_str(), paths, 4096, &length));
    const std::string first = Utf8FromWide(WideView(paths));
    EXPECT_EQ(first.back(), '/');
    struct stat status;
    ASSERT_EQ(::stat(first.c_str(), &status), 0);

    WCHAR label[kMaxPath + 1], filesystem[kMaxPath + 1];
    DWORD serial = 0, component_length = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationW(name.c_str(), label, kMaxPath + 1, &serial,
                                      &component_length, &flags, filesystem,
                                      kMaxPath + 1));
    EXPECT_EQ(serial, static_cast<DWORD>(status.st_dev));
    EXPECT_GT(component_length, 0u);
    EXPECT_NE(GetDriveTypeW(name.c_str()), kDriveNoRootDir);
    ULONGLONG total = 0;
    EXPECT_TRUE(GetDiskFreeSpaceExW(name.c_str(), nullptr, &total, nullptr));
  }
}

TEST_F(LinuxMachineTest, RootPathsAndHandles) {
  DWORD serial = 0;
  EXPECT_FALSE(GetVolumeInformationW(W("/").c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), kErrorInvalidName);
  EXPECT_TRUE(GetVolumeInformationW(W("/\\").c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_FALSE(GetVolumeInformationW(W("/no/such/place\\").c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_EQ(GetDriveTypeW(W("/no/such/place\\").c_str()), kDriveNoRootDir);

  const int status_file = ::open("/proc/self/status", O_RDONLY);
  ASSERT_GE(status_file, 0);
  const auto handle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(status_file));
  EXPECT_FALSE(GetVolumeInformationByHandleW(handle, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), kErrorInvalidFunction);
  ::close(status_file);
  EXPECT_FALSE(GetVolumeInformationByHandleW(handle, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);

  WCHAR name[8];
  EXPECT_FALSE(FindNextVolumeW(reinterpret_cast<HANDLE>(12345), name, 8));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  ULONGLONG total = 0;
  EXPECT_TRUE(GetDiskFreeSpaceExW(W("/proc\\").c_str(), nullptr, &total, nullptr));
  EXPECT_FALSE(GetDiskFreeSpaceExW(W("/no/such/place").c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
}

TEST(PathBytesTest, RoundTripsBytesThatAreNotUtf8) {
  const std::string path = "/mnt/caf\xc3\xa9/\xff\xfe/\xed\xa0\x80";
  const WideString wide = WideFromPathBytes(path);
  EXPECT_EQ(wide.substr(0, 9), W("/mnt/caf\xc3\xa9"));
  EXPECT_EQ(PathBytesFromWide(wide), path);
  const WCHAR lone[] = {u'/', 0xD800, 0};
  EXPECT_FALSE(PathBytesFromWide(lone).has_value());
  EXPECT_EQ(Utf8FromWide(lone), "/\xef\xbf\xbd");
}

}  // namespace
}  // namespace platform
