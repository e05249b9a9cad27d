// The owner of an open volume enumeration, so that it is closed exactly once
// on every way out of the call that opened it.
#pragma once

#include "platform/kernel32.h"

namespace volumes {

class FindVolumeHandle {
 public:
  explicit FindVolumeHandle(platform::HANDLE handle) noexcept
      : handle_(handle) {}
  FindVolumeHandle(const FindVolumeHandle&) = delete;
  FindVolumeHandle& operator=(const FindVolumeHandle&) = delete;
  ~FindVolumeHandle() {
    if (valid()) platform::FindVolumeClose(handle_);
  }

  bool valid() const noexcept {
    return handle_ != platform::InvalidHandleValue();
  }
  platform::HANDLE get() const noexcept { return handle_; }

 private:
  platform::HANDLE handle_;
};

}  // namespace volumes
