// The open volume enumerations of one backend, by handle.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/kernel32.h"

namespace platform {

// Each enumeration walks the snapshot that its FindFirstVolumeW took.  Handles
// are the smallest positive integers not in use by another open enumeration.
template <class Snapshot>
class EnumerationTable {
 public:
  struct Enumeration {
    std::shared_ptr<const Snapshot> snapshot;
    std::size_t next = 1;             // index of the name to hand out next
    std::uint64_t handed_out = 1;     // names handed out, the first included
  };

  HANDLE Open(std::shared_ptr<const Snapshot> snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::intptr_t value = 1;
    for (const auto& entry : open_) {
      if (entry.first != value) break;
      ++value;
    }
    open_.emplace(value, Enumeration{std::move(snapshot)});
    return ToHandle(value);
  }

  // Runs visit(Enumeration&) under the table's lock; false when `handle` is
  // not an open enumeration.
  template <class Visit>
  bool With(HANDLE handle, Visit&& visit) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(reinterpret_cast<std::intptr_t>(handle));
    if (found == open_.end()) return false;
    visit(found->second);
    return true;
  }

  // False when `handle` was not open.
  bool Close(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_.erase(reinterpret_cast<std::intptr_t>(handle)) != 0;
  }

 private:
  static HANDLE ToHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
  }

  std::mutex mutex_;
  std::map<std::intptr_t, Enumeration> open_;
};

}  // namespace platform
