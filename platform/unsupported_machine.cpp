// The native machine where this platform has no volume functions: every call
// fails with kErrorNotSupported, so that only a simulated machine answers.
#include "platform/for_the_process.h"
#include "platform/machine.h"

namespace platform {
namespace {

class UnsupportedMachine final : public Machine {
 public:
  std::optional<VolumeListing> ListVolumes(DWORD) override {
    SetLastError(kErrorNotSupported);
    return std::nullopt;
  }
  BOOL AdmitFindNextVolume(HANDLE, DWORD) override { return Unsupported(); }
  BOOL AdmitFindVolumeClose(HANDLE) override { return Unsupported(); }
  BOOL GetVolumeInformationW(const WCHAR*,
                             const VolumeInformationOutputs&) override {
    return Unsupported();
  }
  BOOL GetVolumeInformationByHandleW(
      HANDLE, const VolumeInformationOutputs&) override {
    return Unsupported();
  }
  BOOL GetVolumePathNamesForVolumeNameW(const WCHAR*, WCHAR*, DWORD,
                                        DWORD*) override {
    return Unsupported();
  }
  UINT GetDriveTypeW(const WCHAR*) override { return kDriveUnknown; }
  BOOL GetDiskFreeSpaceExW(const WCHAR*, ULONGLONG*, ULONGLONG*,
                           ULONGLONG*) override {
    return Unsupported();
  }

 private:
  static BOOL Unsupported() { return FailWith(kErrorNotSupported); }
};

}  // namespace

Machine& NativeMachine() { return ForTheProcess<UnsupportedMachine>(); }

}  // namespace platform
