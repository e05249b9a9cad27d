// Whether the kernel's mount table may have changed, as libmount's monitor
// reports it: one epoll_wait() of no wait per question.
//
// Kept apart from reading the table (mount_table.h), which it only tells
// when to happen.
#pragma once

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

}  // namespace platform::linux_mounts
