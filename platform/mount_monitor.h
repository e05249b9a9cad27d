// Whether the kernel's mount table may have changed, as libmount's monitor
// reports it: one epoll_wait() of no wait on its descriptor per question.
//
// Kept apart from reading the table (mount_table.h), which it only tells
// when to happen.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/mount_table.h"

struct libmnt_monitor;

namespace platform::linux_mounts {

class MountTableMonitor {
 public:
  MountTableMonitor() = default;
  MountTableMonitor(const MountTableMonitor&) = delete;
  MountTableMonitor& operator=(const MountTableMonitor&) = delete;
  ~MountTableMonitor();

  // True at the first question, after every change since the last true
  // answer, and whenever the monitor cannot be had (then the table is read
  // at every call, which is slow but right).  Callers serialize it.
  bool Changed();
  // Whether this process is a child forked since the last question: its
  // table is its own to read, whatever its parent's reading left.
  bool Forked() const;

 private:
  libmnt_monitor* monitor_ = nullptr;
  int monitor_fd_ = -1;  // the monitor's, for epoll_wait
  unsigned fork_generation_ = 0;
};

// When to read the mount table again once the monitor has reported a
// change.  Reading it costs time in proportion to its size (tens of
// milliseconds at 10,000 mounts), so while changes go on, reading is held to
// a kReadShare-th of the time: a budget of reading time that grows by a
// kReadShare-th of the time passing, up to kReadBudget, pays for each read.
// A call reads when a change is unseen and the budget is not spent; the
// first reading, which also pays for setting up, is free.  So a
// change after a still spell, or after a short run of changes, is seen by
// the first call after it; while changes go on, a burst of calls (a table
// refresh) gets on with its work at four fifths of its speed or better, and
// a change is seen by every call that starts (kReadShare + 1) times the
// duration of a read after it.
class RereadSchedule {
 public:
  using Nanoseconds = std::int64_t;
  static constexpr Nanoseconds kReadBudget = 30'000'000;
  static constexpr Nanoseconds kReadShare = 5;

  void NoteChange() { unseen_change_ = true; }
  bool HasUnseenChange() const { return unseen_change_; }
  // Whether a call that starts at `now` with a change unseen reads again.
  bool DueAt(Nanoseconds now) const { return BudgetAt(now) > 0; }
  // A read that began at `start` and ended at `end` saw every change that
  // the monitor had reported when it began.
  void Read(Nanoseconds start, Nanoseconds end);

 private:
  Nanoseconds BudgetAt(Nanoseconds now) const;

  bool unseen_change_ = false;
  bool read_before_ = false;
  Nanoseconds budget_ = kReadBudget;  // as of budget_time_
  Nanoseconds budget_time_ = 0;
};

// The monotonic clock that RereadSchedule counts in.
RereadSchedule::Nanoseconds MonotonicNow();

// This process's mount table, read again when the monitor reports a change
// and the schedule allows, or when a question that missed the deadline while
// it was read may answer now (mount_table.h).  A forked child reads its own
// at its first call.
class WatchedMountTable final : public MountTableSource {
 public:
  std::shared_ptr<const MountTable> Current() override;

 private:
  std::mutex mutex_;
  MountTableMonitor monitor_;
  RereadSchedule schedule_;
  std::shared_ptr<const MountTable> table_;
};

}  // namespace platform::linux_mounts
