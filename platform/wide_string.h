// UTF-16 strings in the platform's WCHAR, and their UTF-8 form.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win32_types.h"

namespace platform {

using WideString = std::basic_string<WCHAR>;
using WideStringView = std::basic_string_view<WCHAR>;

// Expects valid UTF-8 (what a JSON parser or the kernel hands out); an
// ill-formed byte becomes U+FFFD.
WideString WideFromUtf8(std::string_view utf8);
// A lone surrogate, which UTF-8 cannot carry, becomes U+FFFD.
std::string Utf8FromWide(WideStringView wide);

// A Linux path's bytes as UTF-16 and back again, exactly: the path is UTF-8,
// and each byte that is not goes to U+DC80..U+DCFF (as Python 3's
// "surrogateescape" does).  A lone surrogate of another kind has no path
// bytes: nullopt.
WideString WideFromPathBytes(std::string_view path);
std::optional<std::string> PathBytesFromWide(WideStringView wide);

// UTF-16's surrogate arithmetic, written once for the platform layer and the
// module's own text conversion.
inline constexpr bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit < 0xDC00;
}
inline constexpr bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit < 0xE000;
}
inline constexpr bool IsSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit < 0xE000;
}
inline constexpr char32_t CodePointFromSurrogates(char32_t high, char32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
// Appends a code point (at most U+10FFFF) as one or two UTF-16 units.
inline void AppendUtf16(WideString& out, char32_t code_point) {
  if (code_point >= 0x10000) {
    code_point -= 0x10000;
    out.push_back(static_cast<WCHAR>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<WCHAR>(0xDC00 + (code_point & 0x3FF)));
  } else {
    out.push_back(static_cast<WCHAR>(code_point));
  }
}

// Equality of texts as a hashed index compares them: by length, then by
// their bytes at once.  Volume names share long prefixes, which the
// character-by-character comparison of the standard one walks each time.
struct SameWideText {
  bool operator()(WideStringView a, WideStringView b) const {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(WCHAR)) == 0;
  }
};

// The characters of a NUL-terminated string; a null pointer is empty.
inline WideStringView WideView(const WCHAR* text) {
  return text == nullptr ? WideStringView() : WideStringView(text);
}

// The text without its one trailing backslash, where it has one: kernel32
// takes a root path with or without it.
inline WideStringView WithoutTrailingBackslash(WideStringView text) {
  if (!text.empty() && text.back() == u'\\') text.remove_suffix(1);
  return text;
}

// GetVolumeInformationW takes a root path only with its trailing backslash;
// without it, the call fails with kErrorInvalidName.
inline bool IsRootPath(WideStringView root) {
  return !root.empty() && root.back() == u'\\';
}

// Copies text and its NUL into a caller's buffer of `size` characters;
// false, writing nothing, when it does not fit.
inline bool CopyWithNul(WideStringView text, WCHAR* buffer, DWORD size) {
  if (buffer == nullptr || text.size() >= size) return false;
  text.copy(buffer, text.size());
  buffer[text.size()] = 0;
  return true;
}

}  // namespace platform
