#include "platform/deadline.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/for_the_process.h"
#include "platform/system_access.h"
#include "platform/win32_errors.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// A waiter that has had no question for this long ends.
constexpr std::chrono::seconds kIdleWaiterLifetime{10};

constexpr std::uint32_t kLargestTimeoutMs = 2147483647;

// A value that is all digits and within range, or nothing.
std::optional<std::uint32_t> Milliseconds(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > kLargestTimeoutMs) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

// A question as the waiters hold it, with what its caller and its waiter
// tell each other.
struct Pending {
  Pending(VolumeKey volume, std::shared_ptr<deadline_parts::Question> asked)
      : key(std::move(volume)), question(std::move(asked)) {}
  const VolumeKey key;
  const std::shared_ptr<deadline_parts::Question> question;
  bool taken = false;      // a waiter is asking it
  bool answered = false;   // the waiter has its answer
  bool abandoned = false;  // the caller's deadline passed first
  std::condition_variable answered_signal;
};

// The waiters, the questions queued for them and the stuck volumes.  One
// mutex guards it all; nobody holds it while a question is being asked.
class Waiters {
 public:
  Waiters() {
    WhenForking([] { ForTheProcess<Waiters>().mutex_.lock(); },
                [] { ForTheProcess<Waiters>().mutex_.unlock(); },
                [] { ForTheProcess<Waiters>().StartOverInChild(); });
  }

  bool AnswerWithin(const VolumeKey& key, std::uint32_t timeout_ms,
                    const std::shared_ptr<deadline_parts::Question>& question) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    auto pending = std::make_shared<Pending>(key, question);
    std::unique_lock<std::mutex> lock(mutex_);
    // A volume whose earlier question still waits is not asked again.
    if (stuck_.count(key) != 0) return FailWith(kErrorTimeout);
    if (idle_ <= queue_.size() && !StartWaiter()) return false;
    queue_.push_back(pending);
    work_.notify_one();
    if (pending->answered_signal.wait_until(
            lock, deadline, [&] { return pending->answered; })) {
      return true;
    }
    if (!pending->taken) {
      // No waiter came in time (the machine is that busy): the question
      // was never asked, so the volume is not stuck.
      for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (*it == pending) {
          queue_.erase(it);
          break;
        }
      }
    } else {
      pending->abandoned = true;
      ++stuck_[key];
    }
    return FailWith(kErrorTimeout);
  }

 bool IsStuck(const VolumeKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return stuck_.count(key) != 0;
  }

 private:
  // Under the mutex: one more waiter, unless there are as many as there
  // may be; false, with the last error set, when there is none to be had.
  bool StartWaiter() {
    if (threads_ >= kMaxWaiters) return FailWith(kErrorTimeout);
    try {
      std::thread(&Waiters::Serve, this).detach();
    } catch (const std::system_error&) {
      return FailWith(kErrorNotEnoughMemory);
    }
    ++threads_;
    ++idle_;
    return true;
  }

  // A waiter's life: the next question, asked without the mutex, its
  // answer handed back or, when its caller has gone, its volume freed.
  void Serve() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (!work_.wait_for(lock, kIdleWaiterLifetime,
                          [&] { return !queue_.empty(); })) {
        --idle_;
        --threads_;
        return;
      }
      const std::shared_ptr<Pending> pending = queue_.front();
      queue_.pop_front();
      pending->taken = true;
      --idle_;
      lock.unlock();
      pending->question->Run();
      lock.lock();
      pending->answered = true;
      if (pending->abandoned) {
        const auto stuck = stuck_.find(pending->key);
        if (stuck != stuck_.end() && --stuck->second == 0) stuck_.erase(stuck);
      } else {
        pending->answered_signal.notify_one();
      }
      ++idle_;
    }
  }

  // In a forked child, which has none of its parent's threads: no waiter,
  // no question and no stuck volume.  The mutex, taken before the fork, is
  // released; the condition variable may count the parent's waiters, so it
  // is made anew rather than destroyed.
  void StartOverInChild() {
    new (&work_) std::condition_variable();
    new (&queue_) std::deque<std::shared_ptr<Pending>>();
    new (&stuck_) std::unordered_map<VolumeKey, unsigned>();
    threads_ = 0;
    idle_ = 0;
    mutex_.unlock();
  }

  std::mutex mutex_;
  std::condition_variable work_;  // a question is queued
  std::deque<std::shared_ptr<Pending>> queue_;
  std::unordered_map<VolumeKey, unsigned> stuck_;  // abandoned questions
  unsigned threads_ = 0;
  unsigned idle_ = 0;  // waiters free for a question
};

}  // namespace

std::uint32_t QueryTimeoutMs() {
  const std::string text = EnvironmentValue("VOLUMES_QUERY_TIMEOUT_MS");
  if (text.empty()) return kDefaultQueryTimeoutMs;
  if (const std::optional<std::uint32_t> value = Milliseconds(text)) {
    return *value;
  }
  // Said once per value, not at every call of a refresh.
  struct Said {
    std::mutex mutex;
    std::string value;
  };
  Said& said = ForTheProcess<Said>();
  std::lock_guard<std::mutex> lock(said.mutex);
  if (said.value != text) {
    said.value = text;
    SayOnStandardError(
        "volume platform: VOLUMES_QUERY_TIMEOUT_MS=%s: not a number of "
        "milliseconds from 0 to %u; the deadline is %u ms\n",
        text.c_str(), static_cast<unsigned>(kLargestTimeoutMs),
        static_cast<unsigned>(kDefaultQueryTimeoutMs));
  }
  return kDefaultQueryTimeoutMs;
}

bool IsStuck(const VolumeKey& key) { return ForTheProcess<Waiters>().IsStuck(key); }

bool deadline_parts::AnswerWithin(const VolumeKey& key,
                                  std::uint32_t timeout_ms,
                                  const std::shared_ptr<Question>& question) {
  return ForTheProcess<Waiters>().AnswerWithin(key, timeout_ms, question);
}

}  // namespace platform
