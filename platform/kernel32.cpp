// Routes every kernel32 call to the machine that answers it at that moment.
#include "platform/kernel32.h"

#include <string>

#include "platform/backend.h"
#include "platform/simulated_machine.h"
#include "platform/system_access.h"

namespace platform {
namespace {

// The simulation switch is read at every call, so that a test may move the
// process to another machine between two calls.  On Windows it is read from
// the process's environment, where the host's own C runtime changes it.
template <class Call>
auto Dispatch(Call&& call) {
  const std::string file = EnvironmentValue("VOLUMES_SIMULATION");
  if (!file.empty()) {
    simulation::SimulatedMachine machine(file.c_str());
    return call(static_cast<Backend&>(machine));
  }
  return call(NativeBackend());
}

}  // namespace

HANDLE FindFirstVolumeW(WCHAR* lpszVolumeName, DWORD cchBufferLength) {
  return Dispatch([&](Backend& machine) {
    return machine.FindFirstVolumeW(lpszVolumeName, cchBufferLength);
  });
}

BOOL FindNextVolumeW(HANDLE hFindVolume, WCHAR* lpszVolumeName,
                     DWORD cchBufferLength) {
  return Dispatch([&](Backend& machine) {
    return machine.FindNextVolumeW(hFindVolume, lpszVolumeName,
                                   cchBufferLength);
  });
}

BOOL FindVolumeClose(HANDLE hFindVolume) {
  return Dispatch(
      [&](Backend& machine) { return machine.FindVolumeClose(hFindVolume); });
}

BOOL GetVolumeInformationW(const WCHAR* lpRootPathName,
                           WCHAR* lpVolumeNameBuffer, DWORD nVolumeNameSize,
                           DWORD* lpVolumeSerialNumber,
                           DWORD* lpMaximumComponentLength,
                           DWORD* lpFileSystemFlags,
                           WCHAR* lpFileSystemNameBuffer,
                           DWORD nFileSystemNameSize) {
  return Dispatch([&](Backend& machine) {
    return machine.GetVolumeInformationW(
        lpRootPathName,
        {lpVolumeNameBuffer, nVolumeNameSize, lpVolumeSerialNumber,
         lpMaximumComponentLength, lpFileSystemFlags, lpFileSystemNameBuffer,
         nFileSystemNameSize});
  });
}

BOOL GetVolumeInformationByHandleW(HANDLE hFile, WCHAR* lpVolumeNameBuffer,
                                   DWORD nVolumeNameSize,
                                   DWORD* lpVolumeSerialNumber,
                                   DWORD* lpMaximumComponentLength,
                                   DWORD* lpFileSystemFlags,
                                   WCHAR* lpFileSystemNameBuffer,
                                   DWORD nFileSystemNameSize) {
  return Dispatch([&](Backend& machine) {
    return machine.GetVolumeInformationByHandleW(
        hFile,
        {lpVolumeNameBuffer, nVolumeNameSize, lpVolumeSerialNumber,
         lpMaximumComponentLength, lpFileSystemFlags, lpFileSystemNameBuffer,
         nFileSystemNameSize});
  });
}

BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* lpszVolumeName,
                                      WCHAR* lpszVolumePathNames,
                                      DWORD cchBufferLength,
                                      DWORD* lpcchReturnLength) {
  return Dispatch([&](Backend& machine) {
    return machine.GetVolumePathNamesForVolumeNameW(
        lpszVolumeName, lpszVolumePathNames, cchBufferLength,
        lpcchReturnLength);
  });
}

UINT GetDriveTypeW(const WCHAR* lpRootPathName) {
  return Dispatch(
      [&](Backend& machine) { return machine.GetDriveTypeW(lpRootPathName); });
}

BOOL GetDiskFreeSpaceExW(const WCHAR* lpDirectoryName,
                         ULONGLONG* lpFreeBytesAvailableToCaller,
                         ULONGLONG* lpTotalNumberOfBytes,
                         ULONGLONG* lpTotalNumberOfFreeBytes) {
  return Dispatch([&](Backend& machine) {
    return machine.GetDiskFreeSpaceExW(
        lpDirectoryName, lpFreeBytesAvailableToCaller, lpTotalNumberOfBytes,
        lpTotalNumberOfFreeBytes);
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
