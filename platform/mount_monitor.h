// Whether the kernel's mount table may have changed, as libmount's monitor
// reports it: one epoll_wait() of no wait per question.
//
// Kept apart from reading the table (mount_table.h), which it only tells
// when to happen.
#pragma once

#include <cstdint>

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

 private:
  libmnt_monitor* monitor_ = nullptr;
  unsigned fork_generation_ = 0;
};

// When to read the mount table again once the monitor has reported a
// change.  After a still spell the first call after a change reads it at
// once.  While changes go on, a read starts at most every kShortestGap and
// at most a kReadShare-th of the time passes reading (a read that took 60 ms
// waits 300 ms from its start), so that a burst of calls, such as a table
// refresh, gets on with its work whatever the rate of changes.  A change is
// therefore seen by every call that starts kShortestGap after it, or
// kReadShare times the last read's duration where that is longer.
class RereadSchedule {
 public:
  using Nanoseconds = std::int64_t;
  static constexpr Nanoseconds kShortestGap = 100'000'000;
  static constexpr Nanoseconds kReadShare = 5;

  void NoteChange() { unseen_change_ = true; }
  bool HasUnseenChange() const { return unseen_change_; }
  // Whether a call that starts at `now` with a change unseen reads again.
  bool DueAt(Nanoseconds now) const;
  // A read that began at `start` and ended at `end` saw every change that
  // the monitor had reported when it began.
  void Read(Nanoseconds start, Nanoseconds end);

 private:
  bool unseen_change_ = false;
  bool read_before_ = false;
  Nanoseconds next_read_ = 0;
};

// The monotonic clock that RereadSchedule counts in.
RereadSchedule::Nanoseconds MonotonicNow();

}  // namespace platform::linux_mounts
