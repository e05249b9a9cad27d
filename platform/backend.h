// What answers the kernel32 calls: one machine per backend.
//
// kernel32.cpp picks the backend at every call; each backend answers with
// kernel32's results and leaves kernel32's last error, which it sets last of
// all so that nothing it does afterwards (a journal write, say) can change it.
#pragma once

#include "platform/kernel32.h"
#include "platform/wide_string.h"

namespace platform {

// Sets the last error and returns the failure value of the BOOL calls.
inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

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
             WideStringView filesystem_text) const {
    if ((label != nullptr && label_text.size() >= label_size) ||
        (filesystem != nullptr && filesystem_text.size() >= filesystem_size)) {
      return FailWith(kErrorBadLength);
    }
    CopyWithNul(label_text, label, label_size);
    CopyWithNul(filesystem_text, filesystem, filesystem_size);
    if (serial != nullptr) *serial = serial_value;
    if (max_component_length != nullptr) {
      *max_component_length = max_component_length_value;
    }
    if (flags != nullptr) *flags = flags_value;
    return TRUE;
  }
};

class Backend {
 public:
  virtual ~Backend() = default;

  virtual HANDLE FindFirstVolumeW(WCHAR* name, DWORD length) = 0;
  virtual BOOL FindNextVolumeW(HANDLE find, WCHAR* name, DWORD length) = 0;
  virtual BOOL FindVolumeClose(HANDLE find) = 0;
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
// Linux, and a machine without volume functions elsewhere.
Backend& NativeBackend();

}  // namespace platform
