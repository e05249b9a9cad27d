// The platform layer against hostile machine files, special files and
// enumerations that outlive the machine switch they were opened under.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/kernel32.h"
#include "platform/machine_description.h"
#include "platform/wide_string.h"
#include "simulated_machine_fixture.h"

namespace platform {
namespace {

WideString W(const char* utf8) { return WideFromUtf8(utf8); }
std::string Narrow(const WCHAR* text) { return Utf8FromWide(WideView(text)); }
HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

class HardeningTest : public SimulatedMachineFixture {
 protected:
  HardeningTest() : SimulatedMachineFixture("volumes-hardening") {}
};

TEST_F(HardeningTest, NumbersTooLargeForAnyTypeAreFormatErrors) {
  const std::string digits(400, '9');
  struct Case {
    std::string json;
    std::string problem;
  };
  const Case cases[] = {
      {R"({"find_first_error": 1e400})",
       "not valid JSON: number overflow parsing '1e400'"},
      {R"({"volumes": [{"name": "A", "serial": -1e400}]})",
       "not valid JSON: number overflow parsing '-1e400'"},
      {R"({"volumes": [{"name": "A", "total_bytes": )" + digits + "}]}",
       "not valid JSON: number overflow parsing '" + digits.substr(0, 200 - 25) +
           "..."},
      // Large but finite: a double, which no key takes.
      {R"({"volumes": [{"name": "A", "total_bytes": 18446744073709551616}]})",
       "volumes[0].total_bytes: must be an integer from 0 to 18446744073709551615"},
      {R"({"find_next_error": {"after": 1e300, "code": 1}})",
       "find_next_error.after: must be an integer from 0 to 18446744073709551615"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json.substr(0, 60));
    ExpectEveryCallRefused(UseMachine(c.json), c.problem);
  }
}

TEST_F(HardeningTest, TheWholeFileIsTheDocument) {
  const std::string file =
      UseMachine(std::string("{}\0garbage", 10));
  ExpectEveryCallRefused(file, "not valid JSON: a NUL byte at byte 3");
  ExpectEveryCallRefused(UseMachine(std::string("{\"volumes\": []}\0", 16)),
                "not valid JSON: a NUL byte at byte 16");
  ExpectEveryCallRefused(UseMachine(std::string(100000, '[')),
                "values nested more than 8 deep (the format "
                "goes no deeper than 4)");
  ExpectEveryCallRefused(UseMachine(R"({"volumes": [{"name": "A", "x": [[[[[[[]]]]]]]}]})"),
                "values nested more than 8 deep (the format "
                "goes no deeper than 4)");
  ExpectEveryCallRefused(UseMachine("{} {}"),
                "not valid JSON: parse error at line 1, column 4: syntax error "
                "while parsing value - unexpected '{'; expected end of input");
}

TEST_F(HardeningTest, OnlyARegularFileOfSaneSizeIsRead) {
  Switch(directory_);
  ExpectEveryCallRefused(directory_, "not a regular file");
  Switch("/dev/zero");
  ExpectEveryCallRefused("/dev/zero", "not a regular file");
  const std::string fifo = Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Switch(fifo);
  ExpectEveryCallRefused(fifo, "not a regular file");  // without waiting for a writer

  // At the limit: read.  One byte more: refused unread.
  std::string text = "{}";
  text.resize(simulation::kMachineFileSizeLimit, ' ');
  UseMachine(text, "large.json");
  WCHAR buffer[8];
  EXPECT_EQ(FindFirstVolumeW(buffer, 8), InvalidHandleValue());
  EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);
  const std::string sparse = Path("sparse.json");
  const int fd = open(sparse.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, simulation::kMachineFileSizeLimit + 1), 0);
  close(fd);
  Switch(sparse);
  ExpectEveryCallRefused(sparse, "larger than 16777216 bytes");
}

TEST_F(HardeningTest, AJournalThatWouldBlockLosesItsLines) {
  const std::string fifo = Path("journal");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  setenv("VOLUMES_SIMULATION_JOURNAL", fifo.c_str(), 1);
  UseMachine(R"({"volumes": [{"name": "A", "paths": ["C:\\"], "drive_type": 6}]})");
  testing::internal::CaptureStderr();
  EXPECT_EQ(GetDriveTypeW(W("C:\\").c_str()), kDriveRamdisk);  // no reader
  // A reader that never reads: the pipe fills, and later lines are lost.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  for (int call = 0; call < 5000; ++call) {
    ASSERT_EQ(GetDriveTypeW(W("C:\\").c_str()), kDriveRamdisk);
  }
  close(reader);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("cannot write the journal"), std::string::npos);
}

TEST_F(HardeningTest, ACallToldToFailFailsWithCodeZero) {
  WCHAR buffer[64];
  DWORD value = 7;
  ULONGLONG total = 0;
  UseMachine(R"({"find_first_error": 0, "volumes": [{"name": "A"}]})");
  SetLastError(99);
  EXPECT_EQ(FindFirstVolumeW(buffer, 64), InvalidHandleValue());
  EXPECT_EQ(GetLastError(), 0u);

  UseMachine(R"({"find_next_error": {"after": 1, "code": 0},
                 "volumes": [{"name": "A", "paths": ["C:\\"],
                              "fail": {"paths": {"code": 0, "returned_length": 3},
                                       "info": 0, "capacity": 0}},
                             {"name": "B"}]})");
  const HANDLE find = FindFirstVolumeW(buffer, 64);
  ASSERT_NE(find, InvalidHandleValue());
  SetLastError(99);
  EXPECT_FALSE(FindNextVolumeW(find, buffer, 64));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(FindVolumeClose(find));
  SetLastError(99);
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(W("A").c_str(), buffer, 64, &value));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(value, 3u);
  SetLastError(99);
  EXPECT_FALSE(GetVolumeInformationW(W("C:\\").c_str(), buffer, 64, nullptr,
                                     nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), 0u);
  SetLastError(99);
  EXPECT_FALSE(GetDiskFreeSpaceExW(W("C:\\").c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), 0u);
}

constexpr char kMachineA[] =
    R"({"volumes": [{"name": "A1"}, {"name": "A2"}, {"name": "A3"}]})";
constexpr char kMachineB[] = R"({"volumes": [{"name": "B1"}, {"name": "B2"}]})";

TEST_F(HardeningTest, AnEnumerationBelongsToTheMachineThatOpenedIt) {
  const std::string a = WriteMachine(kMachineA, "a.json");
  const std::string b = WriteMachine(kMachineB, "b.json");
  WCHAR name[8];
  Switch(a);
  const HANDLE on_a = FindFirstVolumeW(name, 8);
  ASSERT_NE(on_a, InvalidHandleValue());
  Switch(b);
  const HANDLE on_b = FindFirstVolumeW(name, 8);
  ASSERT_NE(on_b, InvalidHandleValue());
  EXPECT_NE(on_a, on_b);
  KeepJournal();
  ASSERT_TRUE(FindNextVolumeW(on_a, name, 8));
  EXPECT_EQ(Narrow(name), "A2");
  unsetenv("VOLUMES_SIMULATION");  // the real machine now
  ASSERT_TRUE(FindNextVolumeW(on_a, name, 8));
  EXPECT_EQ(Narrow(name), "A3");
  ASSERT_TRUE(FindNextVolumeW(on_b, name, 8));
  EXPECT_EQ(Narrow(name), "B2");
  EXPECT_TRUE(FindVolumeClose(on_a));
  Switch(a);
  EXPECT_TRUE(FindVolumeClose(on_b));
  // Closed is closed, on every machine.
  EXPECT_FALSE(FindNextVolumeW(on_a, name, 8));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(FindVolumeClose(on_b));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);

  const std::string a_handle = std::to_string(reinterpret_cast<std::intptr_t>(on_a));
  const std::string b_handle = std::to_string(reinterpret_cast<std::intptr_t>(on_b));
  EXPECT_EQ(JournalLines(), (std::vector<std::string>{
                       "FindNextVolumeW\t" + a_handle + "\t8",
                       "FindNextVolumeW\t" + a_handle + "\t8",
                       "FindNextVolumeW\t" + b_handle + "\t8",
                       "FindVolumeClose\t" + a_handle,
                       "FindVolumeClose\t" + b_handle,
                       "FindNextVolumeW\t" + a_handle + "\t8",
                       "FindVolumeClose\t" + b_handle}));
}

TEST_F(HardeningTest, AnEnumerationOfAMachineFileGoneBadStillCloses) {
  WCHAR name[8];
  UseMachine(kMachineA);
  const HANDLE find = FindFirstVolumeW(name, 8);
  ASSERT_NE(find, InvalidHandleValue());
  UseMachine(R"({"find_first_error": 1e400})");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(FindNextVolumeW(find, name, 8));
  EXPECT_EQ(GetLastError(), kErrorBadConfiguration);
  EXPECT_FALSE(FindVolumeClose(find));
  EXPECT_EQ(GetLastError(), kErrorBadConfiguration);
  testing::internal::GetCapturedStderr();
  UseMachine(kMachineA);
  EXPECT_FALSE(FindVolumeClose(find));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  // Its value is free again.
  const HANDLE again = FindFirstVolumeW(name, 8);
  EXPECT_EQ(again, find);
  EXPECT_TRUE(FindVolumeClose(again));
}

TEST_F(HardeningTest, TheRealMachinesEnumerationsOutliveASwitch) {
  unsetenv("VOLUMES_SIMULATION");
  WCHAR first[kMaxPath + 1];
  const HANDLE native = FindFirstVolumeW(first, kMaxPath + 1);
  if (native == InvalidHandleValue()) {
    GTEST_SKIP() << "the real machine lists no volume here: " << GetLastError();
  }
  UseMachine(kMachineA);
  WCHAR name[8];
  const HANDLE simulated = FindFirstVolumeW(name, 8);
  ASSERT_NE(simulated, InvalidHandleValue());
  EXPECT_NE(simulated, native);  // one pool of values for every machine
  WCHAR next[kMaxPath + 1];
  if (!FindNextVolumeW(native, next, kMaxPath + 1)) {
    EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);  // not 6: it is still open
  }
  EXPECT_TRUE(FindVolumeClose(native));
  EXPECT_TRUE(FindVolumeClose(simulated));
}

TEST_F(HardeningTest, HandlesAtTheEdgesOfTheirRange) {
  UseMachine(R"({"volumes": [{"name": "A", "paths": ["C:\\"], "label": "L",
                 "handles": [-9223372036854775808, 9223372036854775807, 0]}]})");
  WCHAR label[4];
  for (const std::intptr_t value : {INTPTR_MIN, INTPTR_MAX, std::intptr_t{0}}) {
    EXPECT_TRUE(GetVolumeInformationByHandleW(AsHandle(value), label, 4, nullptr,
                                              nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(Narrow(label), "L");
    EXPECT_FALSE(FindNextVolumeW(AsHandle(value), label, 4));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_FALSE(FindVolumeClose(AsHandle(value)));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  }
  EXPECT_FALSE(GetVolumeInformationByHandleW(AsHandle(-2), label, 4, nullptr,
                                             nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace platform
