// The native machine on Windows: kernel32 itself.
//
// Each call goes straight to kernel32.  Around it the thread's error mode
// fails critical errors and open-file errors instead of asking the user, so
// that an empty card reader or DVD drive never holds the host on a system
// dialog; the previous mode is restored afterwards, and the call's last
// error is kept through the restoring.
#include <mutex>
#include <set>

#include "platform/backend.h"

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
  BOOL changed_ = FALSE;
};

class WindowsMachine final : public Backend {
 public:
  HANDLE FindFirstVolumeW(WCHAR* name, DWORD length) override {
    std::lock_guard<std::mutex> lock(finds_mutex_);
    NoErrorDialogs no_dialogs;
    const HANDLE find = ::FindFirstVolumeW(name, length);
    if (find != INVALID_HANDLE_VALUE) open_finds_.insert(find);
    return find;
  }

  BOOL FindNextVolumeW(HANDLE find, WCHAR* name, DWORD length) override {
    std::lock_guard<std::mutex> lock(finds_mutex_);
    if (open_finds_.count(find) == 0) return FailWith(kErrorInvalidHandle);
    NoErrorDialogs no_dialogs;
    return ::FindNextVolumeW(find, name, length);
  }

  BOOL FindVolumeClose(HANDLE find) override {
    std::lock_guard<std::mutex> lock(finds_mutex_);
    if (open_finds_.erase(find) == 0) return FailWith(kErrorInvalidHandle);
    NoErrorDialogs no_dialogs;
    return ::FindVolumeClose(find);
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

 private:
  // The find handles handed out and not yet closed.  kernel32 takes a find
  // handle for a pointer to its own state and reads through it (Wine
  // faults on a bogus one), so a value it did not hand out, or one closed
  // already, is refused with kErrorInvalidHandle instead: one of the
  // simulated machine's after a switch of machine, say.
  std::mutex finds_mutex_;
  std::set<HANDLE> open_finds_;
};

}  // namespace

Backend& NativeBackend() {
  static WindowsMachine machine;
  return machine;
}

}  // namespace platform
