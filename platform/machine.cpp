#include "platform/machine.h"

#include <algorithm>
#include <limits>

namespace platform {

BOOL VolumeInformationOutputs::Write(WideStringView label_text,
                                     DWORD serial_value,
                                     DWORD max_component_length_value,
                                     DWORD flags_value,
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
  return kTrue;
}

BOOL WritePathNames(const std::vector<WideString>& paths, WCHAR* buffer,
                    DWORD length, DWORD* returned_length) {
  std::uint64_t needed = 1;
  for (const WideString& path : paths) needed += path.size() + 1;
  if (returned_length != nullptr) {
    *returned_length = static_cast<DWORD>(std::min<std::uint64_t>(
        needed, std::numeric_limits<DWORD>::max()));
  }
  if (buffer == nullptr || needed > length) return FailWith(kErrorMoreData);
  WCHAR* out = buffer;
  for (const WideString& path : paths) {
    out = std::copy(path.begin(), path.end(), out);
    *out++ = 0;
  }
  *out = 0;
  return kTrue;
}

BOOL PathNamesNotAnswered(DWORD length, DWORD* returned_length) {
  if (returned_length != nullptr) *returned_length = std::max<DWORD>(length, 2);
  return kFalse;
}

}  // namespace platform
