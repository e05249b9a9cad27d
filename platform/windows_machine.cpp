// The native machine on Windows: kernel32 itself.
//
// Each call goes straight to kernel32.  Around it the thread's error mode
// fails critical errors and open-file errors instead of asking the user, so
// that an empty card reader or DVD drive never holds the host on a system
// dialog; the previous mode is restored afterwards, and the call's last
// error is kept through the restoring.
//
// kernel32 takes a find handle for a pointer to its own state and reads
// through it, so its handle never leaves ListVolumes: the list is read whole
// there and the handle closed, and callers get the dispatcher's handle
// values, whose walk never reaches kernel32.
#include <optional>
#include <utility>
#include <vector>

#include "platform/for_the_process.h"
#include "platform/machine.h"
#include "platform/windows_api.h"

namespace platform {
namespace {

class NoErrorDialogs {
 public:
  NoErrorDialogs() {
    changed_ = ::SetThreadErrorMode(
        ::GetThreadErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX,
        &previous_);
  }
  ~NoErrorDialogs() {
    if (!changed_) return;
    const DWORD error = ::GetLastError();
    ::SetThreadErrorMode(previous_, nullptr);
    ::SetLastError(error);
  }
  NoErrorDialogs(const NoErrorDialogs&) = delete;
  NoErrorDialogs& operator=(const NoErrorDialogs&) = delete;

 private:
  DWORD previous_ = 0;
  BOOL changed_ = kFalse;
};

// Whether kernel32's last answer repeats the one before it.  Some systems
// hand out the last name again instead of ending, for ever: reading stops
// at that answer, which the listing keeps as kernel32 gave it, and the
// module ends its listing at a repeated name.
bool RepeatsTheNameBefore(const std::vector<WideString>& names) {
  return names.size() >= 2 && names.back() == names[names.size() - 2];
}

class WindowsMachine final : public Machine {
 public:
  std::optional<VolumeListing> ListVolumes(DWORD) override {
    VolumeListing listing;
    WCHAR name[kMaxPath + 1];  // a volume GUID path is 49 characters
    NoErrorDialogs no_dialogs;
    const HANDLE find = ::FindFirstVolumeW(name, kMaxPath + 1);
    if (find == INVALID_HANDLE_VALUE) return std::nullopt;
    const DWORD first_error = ::GetLastError();
    {
      struct FindCloser {
        HANDLE find;
        ~FindCloser() { ::FindVolumeClose(find); }
      } closer{find};
      for (;;) {
        listing.names.emplace_back(name);
        if (RepeatsTheNameBefore(listing.names)) break;
        if (!::FindNextVolumeW(find, name, kMaxPath + 1)) {
          const DWORD error = ::GetLastError();
          if (error != ERROR_NO_MORE_FILES) {
            listing.find_next_failure =
                VolumeListing::Failure{listing.names.size(), error};
          }
          break;
        }
      }
    }
    ::SetLastError(first_error);  // as FindFirstVolumeW left it
    return listing;
  }

  BOOL GetVolumeInformationW(const WCHAR* root,
                             const VolumeInformationOutputs& out) override {
    NoErrorDialogs no_dialogs;
    return ::GetVolumeInformationW(root, out.label, out.label_size, out.serial,
                                   out.max_component_length, out.flags,
                                   out.filesystem, out.filesystem_size);
  }

  BOOL GetVolumeInformationByHandleW(
      HANDLE file, const VolumeInformationOutputs& out) override {
    NoErrorDialogs no_dialogs;
    return ::GetVolumeInformationByHandleW(
        file, out.label, out.label_size, out.serial, out.max_component_length,
        out.flags, out.filesystem, out.filesystem_size);
  }

  BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* volume_name,
                                        WCHAR* path_names, DWORD length,
                                        DWORD* returned_length) override {
    NoErrorDialogs no_dialogs;
    return ::GetVolumePathNamesForVolumeNameW(volume_name, path_names, length,
                                              returned_length);
  }

  UINT GetDriveTypeW(const WCHAR* root) override {
    NoErrorDialogs no_dialogs;
    return ::GetDriveTypeW(root);
  }

  BOOL GetDiskFreeSpaceExW(const WCHAR* directory, ULONGLONG* free_to_caller,
                           ULONGLONG* total, ULONGLONG* total_free) override {
    ULARGE_INTEGER free_to_caller_bytes, total_bytes, total_free_bytes;
    NoErrorDialogs no_dialogs;
    const BOOL ok = ::GetDiskFreeSpaceExW(
        directory, free_to_caller ? &free_to_caller_bytes : nullptr,
        total ? &total_bytes : nullptr,
        total_free ? &total_free_bytes : nullptr);
    if (ok) {
      if (free_to_caller) *free_to_caller = free_to_caller_bytes.QuadPart;
      if (total) *total = total_bytes.QuadPart;
      if (total_free) *total_free = total_free_bytes.QuadPart;
    }
    return ok;
  }
};

}  // namespace

Machine& NativeMachine() { return ForTheProcess<WindowsMachine>(); }

}  // namespace platform
