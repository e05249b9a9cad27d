// FindFirstVolumeW, FindNextVolumeW and FindVolumeClose over the volume lists
// of one backend, shared by every backend that keeps its own handles.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/backend.h"

namespace platform {

// Each enumeration walks the snapshot that its FindFirstVolumeW took, so a
// machine that changes meanwhile does not change a listing under way.
// Handles are the smallest positive integers not in use by another open
// enumeration.
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
    std::intptr_t value = 1;
    for (const auto& entry : open_) {
      if (entry.first != value) break;
      ++value;
    }
    open_.emplace(value, Enumeration{std::move(snapshot)});
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
    std::lock_guard<std::mutex> lock(mutex_);
    return open_.erase(reinterpret_cast<std::intptr_t>(find)) != 0
               ? TRUE
               : FailWith(kErrorInvalidHandle);
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
