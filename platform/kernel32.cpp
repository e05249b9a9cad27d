// Routes every kernel32 call to the machine that answers it at that moment,
// and keeps the one table of open enumerations: a machine hands out a plain
// listing (machine.h), and the handle, the walk and the closing are here.
//
// This is the platform layer's boundary: whatever goes wrong inside a
// machine, the call returns kernel32's failure value with a last error, and
// no C++ exception reaches the caller (module code that may be unwinding
// already, or a destructor closing an enumeration).
#include "platform/kernel32.h"

#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "platform/for_the_process.h"
#include "platform/machine.h"
#include "platform/simulated_machine.h"
#include "platform/system_access.h"

namespace platform {
namespace {

// The path of the machine file that answers, or empty for the native
// machine.  The simulation switch is read at every call, so that a test may
// move the process to another machine between two calls.
using MachinePath = std::string;

MachinePath CurrentMachinePath() {
  return EnvironmentValue("VOLUMES_SIMULATION");
}

template <class Call>
auto AnswerFrom(const MachinePath& path, Call&& call) {
  if (!path.empty()) {
    simulation::SimulatedMachine::At machine(
        ForTheProcess<simulation::SimulatedMachine>(), path);
    return call(static_cast<Machine&>(machine));
  }
  return call(NativeMachine());
}

template <class Call>
auto Dispatch(Call&& call) {
  return AnswerFrom(CurrentMachinePath(), call);
}

// Runs one call of the boundary: an exception becomes `failure` with
// ERROR_NOT_ENOUGH_MEMORY for an allocation that failed, and
// ERROR_INTERNAL_ERROR, said on standard error, for anything else.
template <class Result, class Call>
Result Guarded(const char* name, Result failure, Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    SetLastError(kErrorNotEnoughMemory);
    return failure;
  } catch (const std::exception& error) {
    SayOnStandardError("volume platform: %s: internal error: %s\n", name,
                       error.what());
  } catch (...) {
    SayOnStandardError("volume platform: %s: internal error\n", name);
  }
  SetLastError(kErrorInternalError);
  return failure;
}

// One open enumeration: the machine that listed it, which answers for it
// until it is closed whatever the switch says meanwhile, the listing that
// its FindFirstVolumeW took, and how many names it has handed out.
struct Enumeration {
  MachinePath owner;
  VolumeListing listing;
  std::uint64_t handed_out = 1;  // the first name, by FindFirstVolumeW

  BOOL Next(WCHAR* name, DWORD length) {
    const auto& failure = listing.find_next_failure;
    if (failure && handed_out >= failure->after) return FailWith(failure->code);
    if (handed_out >= listing.names.size()) return FailWith(kErrorNoMoreFiles);
    if (!CopyWithNul(listing.names[handed_out], name, length)) {
      return FailWith(kErrorFilenameExcedRange);
    }
    ++handed_out;
    return kTrue;
  }
};

// The open enumerations of every machine, by handle value: the smallest
// positive integer that no other open enumeration has, so that a value
// names one enumeration of one machine.
class EnumerationTable {
 public:
  HANDLE Add(Enumeration enumeration) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::intptr_t value = 1;
    for (const auto& open : open_) {
      if (open.first != value) break;
      ++value;
    }
    open_.emplace(value, std::move(enumeration));
    return reinterpret_cast<HANDLE>(value);
  }

  // The machine that answers for the enumeration; nothing for a handle
  // that no open enumeration has.
  std::optional<MachinePath> OwnerOf(HANDLE find) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(reinterpret_cast<std::intptr_t>(find));
    if (found == open_.end()) return std::nullopt;
    return found->second.owner;
  }

  // FindNextVolumeW's walk of the enumeration.
  BOOL Next(HANDLE find, WCHAR* name, DWORD length) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(reinterpret_cast<std::intptr_t>(find));
    if (found == open_.end()) return FailWith(kErrorInvalidHandle);
    return found->second.Next(name, length);
  }

  // Takes the enumeration out of the table, its value free again.
  std::optional<Enumeration> Remove(HANDLE find) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(reinterpret_cast<std::intptr_t>(find));
    if (found == open_.end()) return std::nullopt;
    std::optional<Enumeration> removed(std::move(found->second));
    open_.erase(found);
    return removed;
  }

 private:
  std::mutex mutex_;
  std::map<std::intptr_t, Enumeration> open_;
};

EnumerationTable& Enumerations() { return ForTheProcess<EnumerationTable>(); }

HANDLE FailFirst(DWORD error) {
  SetLastError(error);
  return InvalidHandleValue();
}

}  // namespace

HANDLE FindFirstVolumeW(WCHAR* lpszVolumeName, DWORD cchBufferLength) {
  return Guarded("FindFirstVolumeW", InvalidHandleValue(), [&] {
    MachinePath owner = CurrentMachinePath();
    std::optional<VolumeListing> listing =
        AnswerFrom(owner, [&](Machine& machine) {
          return machine.ListVolumes(cchBufferLength);
        });
    if (!listing) return InvalidHandleValue();
    if (listing->names.empty()) return FailFirst(kErrorNoMoreFiles);
    if (!CopyWithNul(listing->names.front(), lpszVolumeName, cchBufferLength)) {
      return FailFirst(kErrorFilenameExcedRange);
    }
    return Enumerations().Add({std::move(owner), std::move(*listing)});
  });
}

BOOL FindNextVolumeW(HANDLE hFindVolume, WCHAR* lpszVolumeName,
                     DWORD cchBufferLength) {
  return Guarded("FindNextVolumeW", kFalse, [&] {
    // The machine admits the call outside the table's lock: a simulated
    // one reads its file to do so.
    const std::optional<MachinePath> owner =
        Enumerations().OwnerOf(hFindVolume);
    const MachinePath answering = owner ? *owner : CurrentMachinePath();
    const BOOL admitted = AnswerFrom(answering, [&](Machine& machine) {
      return machine.AdmitFindNextVolume(hFindVolume, cchBufferLength);
    });
    if (!admitted) return kFalse;
    return Enumerations().Next(hFindVolume, lpszVolumeName, cchBufferLength);
  });
}

BOOL FindVolumeClose(HANDLE hFindVolume) {
  return Guarded("FindVolumeClose", kFalse, [&] {
    // Closed first, so that no enumeration outlives its caller even when
    // its machine refuses the call (a machine file gone bad).
    const std::optional<Enumeration> closed = Enumerations().Remove(hFindVolume);
    const MachinePath owner = closed ? closed->owner : CurrentMachinePath();
    const BOOL admitted = AnswerFrom(owner, [&](Machine& machine) {
      return machine.AdmitFindVolumeClose(hFindVolume);
    });
    if (!admitted) return kFalse;
    return closed ? kTrue : FailWith(kErrorInvalidHandle);
  });
}

BOOL GetVolumeInformationW(const WCHAR* lpRootPathName,
                           WCHAR* lpVolumeNameBuffer, DWORD nVolumeNameSize,
                           DWORD* lpVolumeSerialNumber,
                           DWORD* lpMaximumComponentLength,
                           DWORD* lpFileSystemFlags,
                           WCHAR* lpFileSystemNameBuffer,
                           DWORD nFileSystemNameSize) {
  return Guarded("GetVolumeInformationW", kFalse, [&] {
    return Dispatch([&](Machine& machine) {
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
  return Guarded("GetVolumeInformationByHandleW", kFalse, [&] {
    return Dispatch([&](Machine& machine) {
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
  return Guarded("GetVolumePathNamesForVolumeNameW", kFalse, [&] {
    return Dispatch([&](Machine& machine) {
      return machine.GetVolumePathNamesForVolumeNameW(
          lpszVolumeName, lpszVolumePathNames, cchBufferLength,
          lpcchReturnLength);
    });
  });
}

UINT GetDriveTypeW(const WCHAR* lpRootPathName) {
  return Guarded("GetDriveTypeW", kDriveUnknown, [&] {
    return Dispatch([&](Machine& machine) {
      return machine.GetDriveTypeW(lpRootPathName);
    });
  });
}

BOOL GetDiskFreeSpaceExW(const WCHAR* lpDirectoryName,
                         ULONGLONG* lpFreeBytesAvailableToCaller,
                         ULONGLONG* lpTotalNumberOfBytes,
                         ULONGLONG* lpTotalNumberOfFreeBytes) {
  return Guarded("GetDiskFreeSpaceExW", kFalse, [&] {
    return Dispatch([&](Machine& machine) {
      return machine.GetDiskFreeSpaceExW(
          lpDirectoryName, lpFreeBytesAvailableToCaller, lpTotalNumberOfBytes,
          lpTotalNumberOfFreeBytes);
    });
  });
}

}  // namespace platform
