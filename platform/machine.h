// What answers the kernel32 calls: a machine, and what every machine shares.
//
// kernel32.cpp picks the machine at every call; each machine answers with
// kernel32's results and leaves kernel32's last error, which it sets last of
// all so that nothing it does afterwards (a journal write, say) can change it.
//
// Enumerations are the dispatcher's: a machine lists its volumes when
// FindFirstVolumeW asks, as a plain VolumeListing, and kernel32.cpp hands
// out the handle, walks the listing and closes it.  The machine is told of
// each FindNextVolumeW and FindVolumeClose that it answers, and may refuse
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/last_error.h"
#include "platform/volume_listing.h"
#include "platform/wide_string.h"
#include "platform/win32_errors.h"
#include "platform/win32_types.h"

namespace platform {

// The outputs of GetVolumeInformationW and GetVolumeInformationByHandleW, as
// the caller passed them.  A null buffer or pointer is an output that the
// caller did not ask for.
struct VolumeInformationOutputs {
  WCHAR* label;
  DWORD label_size;
  DWORD* serial;
  DWORD* max_component_length;
  DWORD* flags;
  WCHAR* filesystem;
  DWORD filesystem_size;

  // Writes every output asked for; fails with kErrorBadLength, writing
  // nothing, when a name does not fit its buffer with its NUL.
  BOOL Write(WideStringView label_text, DWORD serial_value,
             DWORD max_component_length_value, DWORD flags_value,
             WideStringView filesystem_text) const;
};

// GetVolumePathNamesForVolumeNameW's answer for a volume with these mount
// points: each with its NUL, then one more NUL.  Writes the length that the
// list needs to `returned_length` (the most a DWORD holds, for a list longer
// than that), and fails with kErrorMoreData where the buffer is shorter.
BOOL WritePathNames(const std::vector<WideString>& paths, WCHAR* buffer,
                    DWORD length, DWORD* returned_length);

// GetVolumePathNamesForVolumeNameW's failure when the call was not answered
// at all (it missed its deadline, or no waiter could ask it; deadline.h):
// the needed length is unknown, and the length of the buffer is written as
// the returned length, so that no caller takes the failure for a volume
// without mount points (a length below 2).  The last error stays.
BOOL PathNamesNotAnswered(DWORD length, DWORD* returned_length);

class Machine {
 public:
  virtual ~Machine() = default;

  // FindFirstVolumeW, with the caller's buffer length: what the new
  // enumeration walks; nothing, with the last error set, when the call
  // fails before any listing (an empty one fails with kErrorNoMoreFiles).
  virtual std::optional<VolumeListing> ListVolumes(DWORD length) = 0;
  // FindNextVolumeW and FindVolumeClose of `find`, which this machine listed
  // or, when no open enumeration has that handle, the current machine
  // admits: kFalse, with the last error set, refuses the call.  A refused
  // FindVolumeClose closes the enumeration all the same.
  virtual BOOL AdmitFindNextVolume(HANDLE /*find*/, DWORD /*length*/) {
    return kTrue;
  }
  virtual BOOL AdmitFindVolumeClose(HANDLE /*find*/) { return kTrue; }

  virtual BOOL GetVolumeInformationW(
      const WCHAR* root, const VolumeInformationOutputs& outputs) = 0;
  virtual BOOL GetVolumeInformationByHandleW(
      HANDLE file, const VolumeInformationOutputs& outputs) = 0;
  virtual BOOL GetVolumePathNamesForVolumeNameW(const WCHAR* volume_name,
                                                WCHAR* path_names,
                                                DWORD length,
                                                DWORD* returned_length) = 0;
  virtual UINT GetDriveTypeW(const WCHAR* root) = 0;
  virtual BOOL GetDiskFreeSpaceExW(const WCHAR* directory,
                                   ULONGLONG* free_to_caller,
                                   ULONGLONG* total, ULONGLONG* total_free) = 0;
};

// The machine this process runs on: kernel32 on Windows, the mount table on
// Linux, and a machine without volume functions elsewhere.  It lives as long
// as the process (for_the_process.h).
Machine& NativeMachine();

}  // namespace platform
