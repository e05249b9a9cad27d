// Routes every kernel32 call to the machine that answers it at that moment.
//
// This is the platform layer's boundary: whatever goes wrong inside a
// machine, the call returns kernel32's failure value with a last error, and
// no C++ exception reaches the caller (module code that may be unwinding
// already, or a destructor closing an enumeration).
#include "platform/kernel32.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/backend.h"
#include "platform/simulated_machine.h"
#include "platform/system_access.h"

namespace platform {
namespace {

// The machine that answers: the simulated machine of a file, or, for an
// empty file name, the native one.
using MachineName = std::string;

// The simulation switch is read at every call, so that a test may move the
// process to another machine between two calls.  On Windows it is read from
// the process's environment, where the host's own C runtime changes it.
MachineName CurrentMachine() { return EnvironmentValue("VOLUMES_SIMULATION"); }

template <class Call>
auto AnswerFrom(const MachineName& machine_name, Call&& call) {
  if (!machine_name.empty()) {
    simulation::SimulatedMachine machine(machine_name.c_str());
    return call(static_cast<Backend&>(machine));
  }
  return call(NativeBackend());
}

template <class Call>
auto Dispatch(Call&& call) {
  return AnswerFrom(CurrentMachine(), call);
}

// Runs one call of the boundary: an exception becomes `failure` with
// ERROR_NOT_ENOUGH_MEMORY for an allocation that failed, and
// ERROR_INTERNAL_ERROR for anything else.
template <class Result, class Call>
Result Guarded(Result failure, Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    SetLastError(kErrorNotEnoughMemory);
  } catch (...) {
    SetLastError(kErrorInternalError);
  }
  return failure;
}

// The machine that opened each open enumeration: the enumeration belongs to
// it until it is closed, whatever the switch says meanwhile.  Every machine
// draws its handle values from one pool (EnumerationHandles, or kernel32's
// own on Windows), so a value names one enumeration of one machine.
class EnumerationOwners {
 public:
  void Remember(HANDLE find, const MachineName& machine) {
    std::lock_guard<std::mutex> lock(mutex_);
    owners_[Key(find)] = machine;
  }

  // The machine that opened `find`; the current one when no open
  // enumeration has that handle.
  MachineName OwnerOf(HANDLE find) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto found = owners_.find(Key(find));
      if (found != owners_.end()) return found->second;
    }
    return CurrentMachine();
  }

  void Forget(HANDLE find) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    owners_.erase(Key(find));
  }

 private:
  static std::intptr_t Key(HANDLE find) {
    return reinterpret_cast<std::intptr_t>(find);
  }

  std::mutex mutex_;
  std::map<std::intptr_t, MachineName> owners_;
};

// Never destroyed: a handle may still be closed while statics are.
EnumerationOwners& Owners() {
  static EnumerationOwners* const owners = new EnumerationOwners;
  return *owners;
}

}  // namespace

HANDLE FindFirstVolumeW(WCHAR* lpszVolumeName, DWORD cchBufferLength) {
  return Guarded(InvalidHandleValue(), [&] {
    const MachineName owner = CurrentMachine();
    return AnswerFrom(owner, [&](Backend& machine) {
      const HANDLE find =
          machine.FindFirstVolumeW(lpszVolumeName, cchBufferLength);
      if (find == InvalidHandleValue()) return find;
      try {
        Owners().Remember(find, owner);
      } catch (...) {
        machine.FindVolumeClose(find);  // nobody could ever close it
        throw;
      }
      return find;
    });
  });
}

BOOL FindNextVolumeW(HANDLE hFindVolume, WCHAR* lpszVolumeName,
                     DWORD cchBufferLength) {
  return Guarded(FALSE, [&] {
    return AnswerFrom(Owners().OwnerOf(hFindVolume), [&](Backend& machine) {
      return machine.FindNextVolumeW(hFindVolume, lpszVolumeName,
                                     cchBufferLength);
    });
  });
}

BOOL FindVolumeClose(HANDLE hFindVolume) {
  return Guarded(FALSE, [&] {
    const MachineName owner = Owners().OwnerOf(hFindVolume);
    // The owner releases the handle even when it fails otherwise (a machine
    // file gone bad), so the record goes with it whatever the answer.
    struct ForgetOnExit {
      HANDLE find;
      ~ForgetOnExit() { Owners().Forget(find); }
    } forget{hFindVolume};
    return AnswerFrom(owner, [&](Backend& machine) {
      return machine.FindVolumeClose(hFindVolume);
    });
  });
}

BOOL GetVolumeInformationW(const WCHAR* lpRootPathName,
                           WCHAR* lpVolumeNameBuffer, DWORD nVolumeNameSize,
                           DWORD* lpVolumeSerialNumber,
                           DWORD* lpMaximumComponentLength,
                           DWORD* lpFileSystemFlags,
                           WCHAR* lpFileSystemNameBuffer,
                           DWORD nFileSystemNameSize) {
  return Guarded(FALSE, [&] {
    return Dispatch([&](Backend& machine) {
      return machine.GetVolumeInformationW(
          lpRootPathName,
          {lpVolumeNameBuffer, nVolumeNameSize, lpVolumeSerialNumber,
           lpMaximumComponentLength, lpFileSystemFlags,
           lpFileSystemNameBuffer, nFileSystemNameSize});
    });
  });
}

BOOL GetVolumeInformationByHandleW(HANDLE hFile, WCHAR* lpVolumeNameBuffer,
                                   DWORD nVolumeNameSize,
                                   DWORD* lpVolumeSerialNumber,
                                   DWORD* lpMaximumComponentLength,
                                   DWORD* lpFileSystemFlags,
                                   WCHAR* lpFileSystemNameBuffer,
                                   DWORD nFileSystemNameSize) {
  return Guarded(FALSE, [&] {
    return Dispatch([&](Backend& machine) {
      return machine.GetVolumeInformationByHandleW(
          hFile,
          {lpVolumeNameBuffer, nVolumeNameSize, lpVolumeSerialNumber,
           lpMaximumComponentLength, lpFileSystemFlags,
           lpFileSystemNameBuffer, nFileSystemNameSize});
    });
  });
}

BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* lpszVolumeName,
                                      WCHAR* lpszVolumePathNames,
                                      DWORD cchBufferLength,
                                      DWORD* lpcchReturnLength) {
  return Guarded(FALSE, [&] {
    return Dispatch([&](Backend& machine) {
      return machine.GetVolumePathNamesForVolumeNameW(
          lpszVolumeName, lpszVolumePathNames, cchBufferLength,
          lpcchReturnLength);
    });
  });
}

UINT GetDriveTypeW(const WCHAR* lpRootPathName) {
  return Guarded(kDriveUnknown, [&] {
    return Dispatch([&](Backend& machine) {
      return machine.GetDriveTypeW(lpRootPathName);
    });
  });
}

BOOL GetDiskFreeSpaceExW(const WCHAR* lpDirectoryName,
                         ULONGLONG* lpFreeBytesAvailableToCaller,
                         ULONGLONG* lpTotalNumberOfBytes,
                         ULONGLONG* lpTotalNumberOfFreeBytes) {
  return Guarded(FALSE, [&] {
    return Dispatch([&](Backend& machine) {
      return machine.GetDiskFreeSpaceExW(
          lpDirectoryName, lpFreeBytesAvailableToCaller, lpTotalNumberOfBytes,
          lpTotalNumberOfFreeBytes);
    });
  });
}

#ifdef _WIN32
// Every backend shares the thread's own Win32 last error.
DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD dwErrCode) { ::SetLastError(dwErrCode); }
#else
namespace {
thread_local DWORD last_error = kErrorSuccess;
}
DWORD GetLastError() { return last_error; }
void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }
#endif

}  // namespace platform
