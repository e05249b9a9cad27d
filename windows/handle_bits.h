// Which handle a host's integer names, for handles of a given width.  No
// Python here, so that every width can be tested on every platform.
#pragma once

#include <cstdint>
#include <optional>

namespace volumes {

// The bits of the handle that `value` names where handles are `width` bits
// wide (1 to 64), or nothing when no handle of that width has this value.
// The host hands out handle values read both ways: signed (-1 from
// msvcrt.get_osfhandle) and unsigned (2**31 and above, as longs, from
// pywin32 and PyLong_FromVoidPtr on 32 bits).  Both readings of the same
// bits name the same handle; a value that fits neither names none, rather
// than the handle of its low bits.
constexpr std::optional<std::uint64_t> HandleBits(std::int64_t value,
                                                  int width) {
  if (width >= 64) return static_cast<std::uint64_t>(value);
  const std::int64_t lowest = -(std::int64_t{1} << (width - 1));
  const std::int64_t highest = (std::int64_t{1} << width) - 1;
  if (value < lowest || value > highest) return std::nullopt;
  return static_cast<std::uint64_t>(value) &
         ((std::uint64_t{1} << width) - 1);
}

}  // namespace volumes
