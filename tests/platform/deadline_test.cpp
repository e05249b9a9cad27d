// The deadline on questions about a volume: waiters, stuck volumes, the
// ceiling, fork and the setting.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/deadline.h"
#include "platform/win32_errors.h"
#include "test_environment.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Questions that wait until the test lets them go, as a volume that stops
// answering holds its system call.
class Stopped {
 public:
  Stopped() : gate_(released_.get_future().share()) {}
  ~Stopped() { Release(); }

  // Asks about `key` a question that does not return until Release().
  std::optional<int> Ask(const VolumeKey& key, std::uint32_t timeout_ms) {
    keys_.push_back(key);
    return AskWithin(key, timeout_ms, [gate = gate_] {
      gate.wait();
      return 1;
    });
  }

  // Lets every question go, and waits until their volumes answer again.
  void Release() {
    if (!released_now_) released_.set_value();
    released_now_ = true;
    for (const VolumeKey& key : keys_) {
      while (IsStuck(key)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  std::promise<void> released_;
  std::shared_future<void> gate_;
  bool released_now_ = false;
  std::vector<VolumeKey> keys_;
};

std::optional<int> Quick(const VolumeKey& key, std::uint32_t timeout_ms = 5000) {
  return AskWithin(key, timeout_ms, [] { return 2; });
}

TEST(DeadlineTest, AsksOnAWaiterOrWithoutADeadlineOnTheCaller) {
  const auto caller = std::this_thread::get_id();
  const auto asker = [] { return std::this_thread::get_id(); };
  EXPECT_NE(AskWithin("waiter", 5000, asker), caller);
  EXPECT_EQ(AskWithin("waiter", 0, asker), caller);
  EXPECT_THROW(AskWithin("thrower", 5000,
                         []() -> int { throw std::runtime_error("x"); }),
               std::runtime_error);
}

TEST(DeadlineTest, AMissedDeadlineLeavesTheVolumeStuckUntilItsQuestionReturns) {
  Stopped stopped;
  auto start = Clock::now();
  EXPECT_EQ(stopped.Ask("stuck", 100), std::nullopt);
  EXPECT_EQ(GetLastError(), kErrorTimeout);
  EXPECT_GE(SecondsSince(start), 0.1);
  EXPECT_TRUE(IsStuck("stuck"));

  start = Clock::now();
  SetLastError(0);
  EXPECT_EQ(Quick("stuck"), std::nullopt);
  EXPECT_EQ(GetLastError(), kErrorTimeout);
  EXPECT_LT(SecondsSince(start), 0.05) << "a stuck volume fails at once";
  EXPECT_EQ(Quick("another"), 2);
  // Without a deadline, whatever waits, the call is made.
  EXPECT_EQ(Quick("stuck", 0), 2);

  stopped.Release();
  EXPECT_EQ(Quick("stuck"), 2);
}

TEST(DeadlineTest, BeyondTheCeilingOfWaitersAQuestionFailsAtOnce) {
  Stopped stopped;
  for (unsigned i = 0; i < kMaxWaiters; ++i) {
    stopped.Ask("held " + std::to_string(i), 10);
  }
  const auto start = Clock::now();
  EXPECT_EQ(Quick("free"), std::nullopt);
  EXPECT_EQ(GetLastError(), kErrorTimeout);
  EXPECT_LT(SecondsSince(start), 0.05);
  stopped.Release();
  EXPECT_EQ(Quick("free"), 2);
}

TEST(DeadlineTest, AForkedChildStartsWithNoWaiterAndNoStuckVolume) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no fork";
#else
  Stopped stopped;
  for (unsigned i = 0; i < kMaxWaiters; ++i) {
    stopped.Ask("held " + std::to_string(i), 10);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool fresh = !IsStuck("held 0") && Quick("held 0") == 2 &&
                       Quick("free") == 2;
    ::_exit(fresh ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
}

TEST(DeadlineTest, TheDeadlineComesFromTheEnvironment) {
  const struct {
    const char* value;
    std::uint32_t milliseconds;
  } cases[] = {{nullptr, 5000},        {"0", 0},       {"250", 250},
               {"2147483647", 2147483647u}, {"2147483648", 5000},
               {"-1", 5000},           {" 5", 5000},   {"1e3", 5000}};
  for (const auto& one : cases) {
    if (one.value == nullptr) {
      test_environment::UnsetEnvironment("VOLUMES_QUERY_TIMEOUT_MS");
    } else {
      test_environment::SetEnvironment("VOLUMES_QUERY_TIMEOUT_MS", one.value);
    }
    EXPECT_EQ(QueryTimeoutMs(), one.milliseconds)
        << (one.value ? one.value : "unset");
  }
  test_environment::UnsetEnvironment("VOLUMES_QUERY_TIMEOUT_MS");
}

}  // namespace
}  // namespace platform
