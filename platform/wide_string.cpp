#include "platform/wide_string.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
// Where a path's bytes that are not UTF-8 go: U+DC80 to U+DCFF.
constexpr char32_t kEscapedBytes = 0xDC00;

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

}  // namespace

// Decodes UTF-8; each byte that starts no well-formed sequence goes to
// invalid_byte(out, byte).
template <class InvalidByte>
WideString DecodeUtf8(std::string_view utf8, InvalidByte&& invalid_byte) {
  WideString out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t trail_count = 0;
    char32_t code_point = lead;
    bool well_formed = lead < 0x80;
    if ((lead & 0xE0) == 0xC0) {
      trail_count = 1;
      code_point = lead & 0x1F;
      well_formed = lead >= 0xC2;
    } else if ((lead & 0xF0) == 0xE0) {
      trail_count = 2;
      code_point = lead & 0x0F;
      well_formed = true;
    } else if ((lead & 0xF8) == 0xF0) {
      trail_count = 3;
      code_point = lead & 0x07;
      well_formed = true;
    }
    std::size_t k = 1;
    for (; well_formed && k <= trail_count && i + k < utf8.size(); ++k) {
      const auto trail = static_cast<unsigned char>(utf8[i + k]);
      if ((trail & 0xC0) != 0x80) break;
      code_point = (code_point << 6) | (trail & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode are not
    // well-formed UTF-8 either.
    static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (!well_formed || k != trail_count + 1 ||
        code_point < kSmallest[trail_count] || code_point > 0x10FFFF ||
        IsSurrogate(code_point)) {
      invalid_byte(out, lead);
      ++i;
      continue;
    }
    AppendUtf16(out, code_point);
    i += k;
  }
  return out;
}

WideString WideFromUtf8(std::string_view utf8) {
  return DecodeUtf8(utf8, [](WideString& out, unsigned char) {
    out.push_back(static_cast<WCHAR>(kReplacement));
  });
}

WideString WideFromPathBytes(std::string_view path) {
  return DecodeUtf8(path, [](WideString& out, unsigned char byte) {
    out.push_back(static_cast<WCHAR>(kEscapedBytes + byte));
  });
}

// Encodes UTF-16 as UTF-8; each lone surrogate goes to
// lone_surrogate(out, unit), which returns false to give up.
template <class LoneSurrogate>
bool EncodeUtf8(WideStringView wide, std::string& out,
                LoneSurrogate&& lone_surrogate) {
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t unit = static_cast<std::uint16_t>(wide[i]);
    if (IsHighSurrogate(unit) && i + 1 < wide.size() &&
        IsLowSurrogate(static_cast<std::uint16_t>(wide[i + 1]))) {
      const char32_t low = static_cast<std::uint16_t>(wide[++i]);
      AppendUtf8(out, CodePointFromSurrogates(unit, low));
    } else if (IsSurrogate(unit)) {
      if (!lone_surrogate(out, unit)) return false;
    } else {
      AppendUtf8(out, unit);
    }
  }
  return true;
}

std::optional<std::string> PathBytesFromWide(WideStringView wide) {
  std::string out;
  const bool encoded = EncodeUtf8(wide, out, [](std::string& bytes, char32_t unit) {
    if (unit < kEscapedBytes + 0x80 || unit > kEscapedBytes + 0xFF) return false;
    bytes.push_back(static_cast<char>(unit - kEscapedBytes));
    return true;
  });
  if (!encoded) return std::nullopt;
  return out;
}

std::string Utf8FromWide(WideStringView wide) {
  std::string out;
  EncodeUtf8(wide, out, [](std::string& bytes, char32_t) {
    AppendUtf8(bytes, kReplacement);
    return true;
  });
  return out;
}

}  // namespace platform
