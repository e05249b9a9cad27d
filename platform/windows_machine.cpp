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
//
// kernel32 itself waits on a volume that does not answer (an offline or
// dying disk, media being spun up, a share whose server is gone, a folder
// mount of a disconnected volume), so every call but the listing is made on
// a waiter, within the deadline (deadline.h).  Each hands the waiter
// copies of its arguments and buffers of the waiter's own, and copies the
// answer out: the caller's buffers may be gone once it has given up.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/deadline.h"
#include "platform/for_the_process.h"
#include "platform/machine.h"
#include "platform/scoped_windows.h"
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

// kernel32's find handle, closed once read.
void CloseFind(HANDLE find) { ::FindVolumeClose(find); }
using ScopedFind = Scoped<HANDLE, nullptr, CloseFind>;

// One GetVolumeInformation*W call as a waiter makes it: buffers of its
// own, as large as the caller's (a name is never longer than a path),
// null where the caller's are.
struct VolumeInformationCall {
  explicit VolumeInformationCall(const VolumeInformationOutputs& out)
      : label_size(Size(out.label, out.label_size)),
        filesystem_size(Size(out.filesystem, out.filesystem_size)),
        label(label_size),
        filesystem(filesystem_size),
        wants_serial(out.serial != nullptr),
        wants_length(out.max_component_length != nullptr),
        wants_flags(out.flags != nullptr) {}

  static DWORD Size(const WCHAR* buffer, DWORD size) {
    return buffer == nullptr ? 0 : std::min<DWORD>(size, kLongestPath);
  }

  // call(label, serial, length, flags, filesystem), with this call's
  // buffers; the answer and its last error kept.
  template <class Call>
  BOOL Make(Call&& call) {
    NoErrorDialogs no_dialogs;
    ok = call(label_size ? label.data() : nullptr,
              wants_serial ? &serial : nullptr,
              wants_length ? &max_component_length : nullptr,
              wants_flags ? &flags : nullptr,
              filesystem_size ? filesystem.data() : nullptr);
    error = ::GetLastError();
    return ok;
  }

  // Copies the answer into the caller's outputs; its result, with the
  // last error set where it failed.
  BOOL CopyTo(const VolumeInformationOutputs& out) const {
    if (!ok) return FailWith(error);
    std::copy(label.begin(), label.end(), out.label);
    std::copy(filesystem.begin(), filesystem.end(), out.filesystem);
    if (out.serial) *out.serial = serial;
    if (out.max_component_length) *out.max_component_length = max_component_length;
    if (out.flags) *out.flags = flags;
    return kTrue;
  }

  static constexpr DWORD kLongestPath = 32768;
  DWORD label_size, filesystem_size;
  std::vector<WCHAR> label, filesystem;
  bool wants_serial, wants_length, wants_flags;
  DWORD serial = 0, max_component_length = 0, flags = 0;
  BOOL ok = kFalse;
  DWORD error = 0;
};

template <class Ask>
auto InTime(const VolumeKey& key, Ask ask) {
  return AskWithin(key, QueryTimeoutMs(), std::move(ask));
}

// A root path or directory names its volume: in any letter case.
VolumeKey KeyOfPath(const WideString& path) {
  std::string key = "path:" + Utf8FromWide(path);
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

// The call that `ask(call)` makes, on a waiter within the deadline about
// `key`, its answer copied into the caller's outputs.
template <class Ask>
BOOL AnswerInformation(const VolumeKey& key, const VolumeInformationOutputs& out,
                       Ask ask) {
  const std::optional<VolumeInformationCall> answer =
      InTime(key, [call = VolumeInformationCall(out), ask = std::move(ask)]() mutable {
        ask(call);
        return std::move(call);
      });
  return answer ? answer->CopyTo(out) : kFalse;
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
      const ScopedFind closer(find);
      for (;;) {
        listing.names.emplace_back(name);
        if (RepeatsTheNameBefore(listing.names)) break;
        if (!::FindNextVolumeW(find, name, kMaxPath + 1)) {
          const DWORD error = ::GetLastError();
          if (error != ERROR_NO_MORE_FILES) {
            listing.find_next_failure =
                FindNextFailure{listing.names.size(), error};
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
    const WideString root_path(root);
    return AnswerInformation(KeyOfPath(root_path), out,
                             [root_path](VolumeInformationCall& call) {
                               return call.Make(
                                   [&](WCHAR* label, DWORD* serial,
                                       DWORD* length, DWORD* flags,
                                       WCHAR* filesystem) {
                                     return ::GetVolumeInformationW(
                                         root_path.c_str(), label,
                                         call.label_size, serial, length,
                                         flags, filesystem,
                                         call.filesystem_size);
                                   });
                             });
  }

  BOOL GetVolumeInformationByHandleW(
      HANDLE file, const VolumeInformationOutputs& out) override {
    const VolumeKey key = "handle:" + std::to_string(
                                          reinterpret_cast<std::intptr_t>(file));
    const std::uint32_t timeout_ms = QueryTimeoutMs();
    // A pseudo handle names a process or a thread, never a file, and the
    // handle of a volume that is stuck would be closed here if no waiter
    // took it, which on a dead share waits too.
    if (timeout_ms == 0 || reinterpret_cast<std::intptr_t>(file) < 0) {
      NoErrorDialogs no_dialogs;
      return ::GetVolumeInformationByHandleW(
          file, out.label, out.label_size, out.serial, out.max_component_length,
          out.flags, out.filesystem, out.filesystem_size);
    }
    if (IsStuck(key)) return FailWith(kErrorTimeout);
    // The waiter asks a handle of its own, which it also closes: the
    // caller's may be closed and its value given to another object once
    // the caller has given up.
    ScopedHandle own;
    if (!::DuplicateHandle(::GetCurrentProcess(), file, ::GetCurrentProcess(),
                           own.out(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      return kFalse;
    }
    return AnswerInformation(
        key, out, [own = std::move(own)](VolumeInformationCall& call) mutable {
          const BOOL ok = call.Make([&](WCHAR* label, DWORD* serial,
                                        DWORD* length, DWORD* flags,
                                        WCHAR* filesystem) {
            return ::GetVolumeInformationByHandleW(
                own.get(), label, call.label_size, serial, length, flags,
                filesystem, call.filesystem_size);
          });
          own.Reset();  // here, on the waiter: it may wait on the volume
          return ok;
        });
  }

  BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* volume_name,
                                        WCHAR* path_names, DWORD length,
                                        DWORD* returned_length) override {
    struct Answer {
      BOOL ok;
      DWORD error;
      DWORD returned;
      std::vector<WCHAR> names;
    };
    const WideString name(volume_name);
    const DWORD returned_before = returned_length ? *returned_length : 0;
    const bool wants_names = path_names != nullptr;
    const std::optional<Answer> answer = InTime(
        KeyOfPath(name), [name, length, returned_before, wants_names] {
          Answer result{kFalse, 0, returned_before,
                        std::vector<WCHAR>(wants_names ? length : 0)};
          NoErrorDialogs no_dialogs;
          result.ok = ::GetVolumePathNamesForVolumeNameW(
              name.c_str(), wants_names ? result.names.data() : nullptr,
              length, &result.returned);
          result.error = ::GetLastError();
          return result;
        });
    if (!answer) return PathNamesNotAnswered(length, returned_length);
    if (returned_length != nullptr) *returned_length = answer->returned;
    if (wants_names) std::copy(answer->names.begin(), answer->names.end(), path_names);
    return answer->ok ? kTrue : FailWith(answer->error);
  }

  UINT GetDriveTypeW(const WCHAR* root) override {
    const WideString root_path(root);
    const std::optional<UINT> type = InTime(KeyOfPath(root_path), [root_path] {
      NoErrorDialogs no_dialogs;
      return ::GetDriveTypeW(root_path.c_str());
    });
    // GetDriveTypeW has no failure: a volume that does not answer is of a
    // type unknown.
    return type.value_or(kDriveUnknown);
  }

  BOOL GetDiskFreeSpaceExW(const WCHAR* directory, ULONGLONG* free_to_caller,
                           ULONGLONG* total, ULONGLONG* total_free) override {
    struct Answer {
      BOOL ok;
      DWORD error;
      ULARGE_INTEGER free_to_caller, total, total_free;
    };
    const WideString path(directory);
    const bool wants[3] = {free_to_caller != nullptr, total != nullptr,
                           total_free != nullptr};
    const std::optional<Answer> answer =
        InTime(KeyOfPath(path), [path, wants] {
          Answer result{};
          NoErrorDialogs no_dialogs;
          result.ok = ::GetDiskFreeSpaceExW(
              path.c_str(), wants[0] ? &result.free_to_caller : nullptr,
              wants[1] ? &result.total : nullptr,
              wants[2] ? &result.total_free : nullptr);
          result.error = ::GetLastError();
          return result;
        });
    if (!answer) return kFalse;
    if (!answer->ok) return FailWith(answer->error);
    if (free_to_caller) *free_to_caller = answer->free_to_caller.QuadPart;
    if (total) *total = answer->total.QuadPart;
    if (total_free) *total_free = answer->total_free.QuadPart;
    return kTrue;
  }

};

}  // namespace

Machine& NativeMachine() { return ForTheProcess<WindowsMachine>(); }

}  // namespace platform
