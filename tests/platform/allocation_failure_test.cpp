// Every platform call with each of its allocations failing in turn: the call
// fails with ERROR_NOT_ENOUGH_MEMORY or answers as usual, no exception
// leaves it, and nothing is left half done (a handle value taken for good);
// and an exception of another kind, which becomes an internal error.
//
// This binary replaces the global operator new, so it holds no other tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "platform/kernel32.h"
#include "platform/wide_string.h"
#include "simulated_machine_fixture.h"

namespace {
// Allocations left before the one that fails; negative: none fails.
thread_local long allocations_before_failure = -1;
// Whether the failing allocation throws what no allocation should, as a
// fault inside the layer would, rather than std::bad_alloc.
thread_local bool fail_with_internal_error = false;
}  // namespace

// The replacement pair hands out malloc's blocks; the compiler, seeing free()
// on what operator new returned, would warn of a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (allocations_before_failure == 0) {
    allocations_before_failure = -1;
    if (fail_with_internal_error) throw std::length_error("length past the limit");
    throw std::bad_alloc();
  }
  if (allocations_before_failure > 0) --allocations_before_failure;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace platform {
namespace {

constexpr char kMachine[] = R"({"volumes": [
  {"name": "\\\\?\\Volume{a}\\", "paths": ["C:\\", "D:\\mnt\\"], "label": "L",
   "serial": 7, "handles": [5], "total_bytes": 9},
  {"name": "\\\\?\\Volume{b}\\", "paths": ["E:\\"]}]})";

class AllocationFailureTest : public SimulatedMachineFixture {
 protected:
  AllocationFailureTest() : SimulatedMachineFixture("volumes-allocation") {}

  void SetUp() override {
    SimulatedMachineFixture::SetUp();
    KeepJournal();
  }

  // A new file each time, so that the call parses it again.
  void Rewrite() { UseMachine(kMachine); }

  // Runs `call` with its first, second, ... allocation failing until it
  // makes no more, and `after` after each round, with nothing failing;
  // `call` returns whether it succeeded.  Returns how many allocations could
  // fail.
  long FailEachAllocation(const std::function<bool()>& call,
                          const std::function<void()>& after = [] {}) {
    for (long failing = 0;; ++failing) {
      Rewrite();
      SetLastError(kErrorSuccess);
      allocations_before_failure = failing;
      const bool succeeded = call();
      const bool failure_came = allocations_before_failure < 0;
      allocations_before_failure = -1;
      if (!failure_came) {
        EXPECT_TRUE(succeeded) << "with no allocation failing";
        after();
        return failing;
      }
      if (!succeeded) {
        EXPECT_EQ(GetLastError(), kErrorNotEnoughMemory)
            << "allocation " << failing;
      }
      after();
    }
  }

};

WideString W(const char* utf8) { return WideFromUtf8(utf8); }

TEST_F(AllocationFailureTest, EveryCallFailsCleanly) {
  WCHAR buffer[64];
  DWORD serial = 0, returned = 0;
  ULONGLONG total = 0;
  const WideString root = W("C:\\");
  const WideString volume = W("\\\\?\\Volume{a}\\");
  long points = 0;

  HANDLE find = InvalidHandleValue();
  const auto reopen = [&] {
    // A close that failed for memory after releasing the handle (as it
    // releases it when the file has gone bad) leaves nothing to close.
    if (find != InvalidHandleValue()) FindVolumeClose(find);
    find = FindFirstVolumeW(buffer, 64);
    // The smallest value, every time: no failure left one taken.
    EXPECT_EQ(find, reinterpret_cast<HANDLE>(1));
  };
  points += FailEachAllocation(
      [&] { return (find = FindFirstVolumeW(buffer, 64)) != InvalidHandleValue(); },
      [&] {
        if (find != InvalidHandleValue()) {
          EXPECT_TRUE(FindVolumeClose(find));
        }
        find = InvalidHandleValue();
      });
  reopen();
  points += FailEachAllocation([&] { return FindNextVolumeW(find, buffer, 64) != kFalse; },
                               reopen);
  points += FailEachAllocation(
      [&] {
        const bool closed = FindVolumeClose(find) != kFalse;
        if (closed) find = InvalidHandleValue();
        return closed;
      },
      reopen);
  EXPECT_TRUE(FindVolumeClose(find));

  points += FailEachAllocation([&] {
    return GetVolumePathNamesForVolumeNameW(volume.c_str(), buffer, 64,
                                            &returned) != kFalse;
  });
  points += FailEachAllocation([&] {
    return GetVolumeInformationW(root.c_str(), buffer, 64, &serial, nullptr,
                                 nullptr, buffer, 64) != kFalse;
  });
  points += FailEachAllocation([&] {
    return GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(5), buffer,
                                         64, &serial, nullptr, nullptr,
                                         nullptr, 0) != kFalse;
  });
  points += FailEachAllocation([&] {
    return GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr) != kFalse;
  });
  points += FailEachAllocation([&] {
    const UINT type = GetDriveTypeW(root.c_str());
    if (type == kDriveUnknown) return false;
    EXPECT_EQ(type, kDriveFixed);
    return true;
  });
  EXPECT_GT(points, 50);  // the test reached the parser and the journal
  std::printf("%ld allocations failed in turn\n", points);

  // Nothing was left open: the smallest value is free.
  const HANDLE last = FindFirstVolumeW(buffer, 64);
  EXPECT_EQ(last, reinterpret_cast<HANDLE>(1));
  EXPECT_TRUE(FindVolumeClose(last));
}

// Any other exception is an internal error: the call fails with
// ERROR_INTERNAL_ERROR and says what happened on standard error, once.
TEST_F(AllocationFailureTest, AnInternalErrorIsSaid) {
  Rewrite();
  const WideString root = W("C:\\");
  DWORD serial = 0;
  testing::internal::CaptureStderr();
  fail_with_internal_error = true;
  allocations_before_failure = 0;
  const BOOL answered = GetVolumeInformationW(root.c_str(), nullptr, 0, &serial,
                                              nullptr, nullptr, nullptr, 0);
  allocations_before_failure = -1;
  fail_with_internal_error = false;
  EXPECT_FALSE(answered);
  EXPECT_EQ(GetLastError(), kErrorInternalError);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "volume platform: GetVolumeInformationW: internal error: "
            "length past the limit\n");
}

}  // namespace
}  // namespace platform
