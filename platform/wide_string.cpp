#include "platform/wide_string.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(WideString& out, char32_t code_point) {
  if (code_point >= 0x10000) {
    code_point -= 0x10000;
    out.push_back(static_cast<WCHAR>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<WCHAR>(0xDC00 + (code_point & 0x3FF)));
  } else {
    out.push_back(static_cast<WCHAR>(code_point));
  }
}

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

}  // namespace

WideString WideFromUtf8(std::string_view utf8) {
  WideString out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t trail_count = 0;
    char32_t code_point = lead;
    if ((lead & 0xE0) == 0xC0) {
      trail_count = 1;
      code_point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      trail_count = 2;
      code_point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      trail_count = 3;
      code_point = lead & 0x07;
    } else if (lead >= 0x80) {
      code_point = kReplacement;
    }
    std::size_t k = 1;
    for (; k <= trail_count && i + k < utf8.size(); ++k) {
      const auto trail = static_cast<unsigned char>(utf8[i + k]);
      if ((trail & 0xC0) != 0x80) break;
      code_point = (code_point << 6) | (trail & 0x3F);
    }
    if (k != trail_count + 1 || code_point > 0x10FFFF) {
      code_point = kReplacement;
      k = 1;
    }
    AppendUtf16(out, code_point);
    i += k;
  }
  return out;
}

std::string Utf8FromWide(WideStringView wide) {
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t unit = static_cast<std::uint16_t>(wide[i]);
    if (IsHighSurrogate(unit) && i + 1 < wide.size() &&
        IsLowSurrogate(static_cast<std::uint16_t>(wide[i + 1]))) {
      const char32_t low = static_cast<std::uint16_t>(wide[++i]);
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      unit = kReplacement;
    }
    AppendUtf8(out, unit);
  }
  return out;
}

}  // namespace platform
