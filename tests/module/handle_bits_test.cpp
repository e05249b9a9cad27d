// Which handle a host's integer names, at both widths, whatever the width of
// this machine's handles.
#include "windows/handle_bits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>

namespace {

using volumes::HandleBits;

constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

TEST(HandleBitsTest, BothReadingsOfThe32BitsNameOneHandle) {
  const std::pair<std::int64_t, std::int64_t> same[] = {
      {-1, 0xFFFFFFFFll}, {-2, 0xFFFFFFFEll}, {-0x80000000ll, 0x80000000ll}};
  for (const auto& [signed_value, unsigned_value] : same) {
    EXPECT_EQ(HandleBits(signed_value, 32), HandleBits(unsigned_value, 32));
    EXPECT_EQ(HandleBits(unsigned_value, 32),
              static_cast<std::uint64_t>(unsigned_value));
  }
  EXPECT_EQ(HandleBits(0, 32), 0u);
  EXPECT_EQ(HandleBits(0x7FFFFFFF, 32), 0x7FFFFFFFu);
}

TEST(HandleBitsTest, ValuesBeyondBothReadingsNameNo32BitHandle) {
  const std::int64_t beyond[] = {0x100000000ll, 0x100000004ll,
                                 -0x80000001ll, kMax64, kMin64};
  for (std::int64_t value : beyond) {
    EXPECT_EQ(HandleBits(value, 32), std::nullopt) << value;
  }
}

TEST(HandleBitsTest, Every64BitValueNamesA64BitHandle) {
  EXPECT_EQ(HandleBits(-1, 64), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(HandleBits(kMin64, 64), std::uint64_t{1} << 63);
  EXPECT_EQ(HandleBits(kMax64, 64), static_cast<std::uint64_t>(kMax64));
  EXPECT_EQ(HandleBits(0x100000004ll, 64), 0x100000004u);
}

}  // namespace
