// Every volume GUID path that the machine lists, by an enumeration run to
// its end, for the suites of the real machines.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel32.h"
#include "platform/wide_string.h"

namespace platform {

inline std::vector<WideString> VolumeNames() {
  std::vector<WideString> names;
  WCHAR name[kMaxPath + 1];
  const HANDLE find = FindFirstVolumeW(name, kMaxPath + 1);
  if (find == InvalidHandleValue()) return names;
  do {
    names.emplace_back(name);
  } while (FindNextVolumeW(find, name, kMaxPath + 1));
  EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);
  EXPECT_TRUE(FindVolumeClose(find));
  return names;
}

}  // namespace platform
