// FindFirstVolumeW, FindNextVolumeW and FindVolumeClose over the volume lists
// of one backend, shared by every backend that keeps its own handles.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "platform/backend.h"

namespace platform {

// The handle values of the open enumerations of every machine in the
// process, so that no two machines ever hand out the same value and a handle
// always names the one enumeration of the one machine that opened it.
class EnumerationHandles {
 public:
  // The smallest positive integer that no open enumeration uses.
  static std::intptr_t Take() {
    std::lock_guard<std::mutex> lock(Mutex());
    std::set<std::intptr_t>& in_use = InUse();
    std::intptr_t value = 1;
    for (const std::intptr_t used : in_use) {
      if (used != value) break;
      ++value;
    }
    in_use.insert(value);
    return value;
  }

  static void Release(std::intptr_t value) noexcept {
    std::lock_guard<std::mutex> lock(Mutex());
    InUse().erase(value);
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::set<std::intptr_t>& InUse() {
    static std::set<std::intptr_t> in_use;
    return in_use;
  }
};

// Each enumeration walks the snapshot that its FindFirstVolumeW took, so a
// machine that changes meanwhile does not change a listing under way.
// Handles are the smallest positive integers not in use by another open
// enumeration of any machine (EnumerationHandles).
//
// A Snapshot offers:
//   std::size_t VolumeCount() const;
//   const WideString& VolumeName(std::size_t index) const;
//   std::optional<DWORD> FindNextError(std::uint64_t handed_out) const;
//     the error that FindNextVolumeW must fail with once `handed_out` names
//     (the first included) have been handed out, if any.
template <class Snapshot>
class EnumerationTable {
 public:
  HANDLE FindFirstVolumeW(std::shared_ptr<const Snapshot> snapshot,
                          WCHAR* name, DWORD length) {
    if (snapshot->VolumeCount() == 0) return FailFirst(kErrorNoMoreFiles);
    if (!CopyWithNul(snapshot->VolumeName(0), name, length)) {
      return FailFirst(kErrorFilenameExcedRange);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::intptr_t value = EnumerationHandles::Take();
    try {
      open_.emplace(value, Enumeration{std::move(snapshot)});
    } catch (...) {
      EnumerationHandles::Release(value);  // no value is lost to a failure
      throw;
    }
    return reinterpret_cast<HANDLE>(value);
  }

  BOOL FindNextVolumeW(HANDLE find, WCHAR* name, DWORD length) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(reinterpret_cast<std::intptr_t>(find));
    if (found == open_.end()) return FailWith(kErrorInvalidHandle);
    Enumeration& enumeration = found->second;
    const Snapshot& snapshot = *enumeration.snapshot;
    if (const auto error = snapshot.FindNextError(enumeration.handed_out)) {
      return FailWith(*error);
    }
    if (enumeration.next >= snapshot.VolumeCount()) {
      return FailWith(kErrorNoMoreFiles);
    }
    if (!CopyWithNul(snapshot.VolumeName(enumeration.next), name, length)) {
      return FailWith(kErrorFilenameExcedRange);
    }
    ++enumeration.next;
    ++enumeration.handed_out;
    return TRUE;
  }

  BOOL FindVolumeClose(HANDLE find) {
    const auto value = reinterpret_cast<std::intptr_t>(find);
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_.erase(value) == 0) return FailWith(kErrorInvalidHandle);
    EnumerationHandles::Release(value);
    return TRUE;
  }

 private:
  struct Enumeration {
    std::shared_ptr<const Snapshot> snapshot;
    std::size_t next = 1;          // index of the name to hand out next
    std::uint64_t handed_out = 1;  // names handed out, the first included
  };

  static HANDLE FailFirst(DWORD error) {
    SetLastError(error);
    return InvalidHandleValue();
  }

  std::mutex mutex_;
  std::map<std::intptr_t, Enumeration> open_;
};

}  // namespace platform
