#include "platform/mount_monitor.h"

#include <libmount/libmount.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/deadline.h"
#include "platform/last_error.h"

namespace platform::linux_mounts {
namespace {

// Bumped in every child of fork(): a child must not use its parent's
// monitor, whose epoll instance the two share.
std::atomic<unsigned> fork_generation{0};
void CountFork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

MountTableMonitor::~MountTableMonitor() {
  if (monitor_ != nullptr &&
      fork_generation_ == fork_generation.load(std::memory_order_relaxed)) {
    mnt_unref_monitor(monitor_);
  }
}

bool MountTableMonitor::Forked() const {
  return fork_generation_ != fork_generation.load(std::memory_order_relaxed);
}

bool MountTableMonitor::Changed() {
  static std::once_flag at_fork;
  std::call_once(at_fork, [] { ::pthread_atfork(nullptr, nullptr, CountFork); });
  const unsigned generation = fork_generation.load(std::memory_order_relaxed);
  if (generation != fork_generation_) {
    // The parent's monitor is left alone: releasing it here would remove
    // the parent's watch from the epoll instance they share.
    monitor_ = nullptr;
    fork_generation_ = generation;
  }
  if (monitor_ == nullptr) {
    monitor_ = mnt_new_monitor();
    if (monitor_ != nullptr && (mnt_monitor_enable_kernel(monitor_, 1) != 0 ||
                                (monitor_fd_ = mnt_monitor_get_fd(monitor_)) < 0)) {
      mnt_unref_monitor(monitor_);
      monitor_ = nullptr;
    }
    return true;
  }
  // The monitor's descriptor, as libmount lends it to an event loop: ready
  // once a change is pending, and ready no more once asked.  Asked with
  // the system call itself, without the C library's cancellation wrapper,
  // which costs as much again in a process with threads and is of no use
  // here: a table refresh asks it at every call (the "refresh" targets).
  epoll_event events[8];
  const auto ready = [&] {
    return ::syscall(SYS_epoll_wait, monitor_fd_, events, 8, 0);
  };
  long status = ready();
  if (status == 0) return false;
  // Several changes may be waiting; one re-read covers them all.
  for (int more = 0; status > 0 && more < 4; ++more) status = ready();
  return true;
}

RereadSchedule::Nanoseconds RereadSchedule::BudgetAt(Nanoseconds now) const {
  if (!read_before_) return kReadBudget;
  return std::min(kReadBudget, budget_ + (now - budget_time_) / kReadShare);
}

void RereadSchedule::Read(Nanoseconds start, Nanoseconds end) {
  budget_ = read_before_ ? BudgetAt(end) - (end - start) : kReadBudget;
  budget_time_ = end;
  read_before_ = true;
  unseen_change_ = false;
}

namespace {

// A reading of the table, which leaves the call's last error as it was.
std::shared_ptr<const MountTable> Read() {
  const DWORD error = GetLastError();
  auto table = ReadMountTable("/proc/self/mountinfo");
  SetLastError(error);
  return table;
}

bool PendingQuestionsAnswer(const MountTable& table) {
  for (const VolumeKey& key : table.pending_questions()) {
    if (!IsStuck(key)) return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<const MountTable> WatchedMountTable::Current() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (monitor_.Forked()) schedule_ = RereadSchedule();
  // Where nothing changed, the monitor's question is all a call costs.
  // While a change waits for the reading budget, the monitor has nothing to
  // add and is not asked; it is asked before the table is read, so that a
  // change made while reading is reported at the next call.  A question
  // that did not answer in time while the table was read is a change too,
  // once it no longer waits.
  if (table_ && !schedule_.HasUnseenChange()) {
    if (!monitor_.Changed() && !PendingQuestionsAnswer(*table_)) return table_;
    schedule_.NoteChange();
  }
  const auto start = MonotonicNow();
  if (table_ && !schedule_.DueAt(start)) return table_;
  monitor_.Changed();
  table_ = Read();
  schedule_.Read(start, MonotonicNow());
  return table_;
}

RereadSchedule::Nanoseconds MonotonicNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace platform::linux_mounts
