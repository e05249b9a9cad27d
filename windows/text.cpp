#include "windows/text.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "windows/error_boundary.h"

namespace volumes {

OwnedRef UnicodeFromWide(platform::WideStringView text) {
#if Py_UNICODE_SIZE == 2
  static_assert(sizeof(Py_UNICODE) == sizeof(platform::WCHAR));
  return OwnedRef::StealChecked(PyUnicode_FromUnicode(
      reinterpret_cast<const Py_UNICODE*>(text.data()), text.size()));
#else
  OwnedRef result = OwnedRef::StealChecked(PyUnicode_FromUnicode(nullptr, text.size()));
  Py_UNICODE* out = PyUnicode_AS_UNICODE(result.get());
  Py_ssize_t length = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t unit = static_cast<std::uint16_t>(text[i]);
    if (platform::IsHighSurrogate(unit) && i + 1 < text.size() &&
        platform::IsLowSurrogate(static_cast<std::uint16_t>(text[i + 1]))) {
      unit = platform::CodePointFromSurrogates(
          unit, static_cast<std::uint16_t>(text[++i]));
    }
    out[length++] = static_cast<Py_UNICODE>(unit);
  }
  if (static_cast<std::size_t>(length) != text.size()) {
    PyObject* resized = result.release();
    Check(PyUnicode_Resize(&resized, length));
    result = OwnedRef::StealNullable(resized);
  }
  return result;
#endif
}

OwnedRef UnicodeRounds::Get(platform::WideStringView text) {
  const auto found = texts_.find(text);
  if (found != texts_.end()) {
    found->second->round = round_;
    return OwnedRef::NewReference(found->second->object);
  }
  // A host that never lists makes no rounds: the texts are let go when
  // there are many, as a round ends.
  if (texts_.size() >= kMostTexts) EndRound();
  auto entry = std::make_unique<Text>();
  entry->text = platform::WideString(text);
  entry->object = UnicodeFromWide(text);
  entry->round = round_;
  OwnedRef object = OwnedRef::NewReference(entry->object);
  const platform::WideStringView key(entry->text);
  texts_.emplace(key, std::move(entry));
  return object;
}

void UnicodeRounds::EndRound() {
  for (auto it = texts_.begin(); it != texts_.end();) {
    it = it->second->round == round_ ? std::next(it) : texts_.erase(it);
  }
  ++round_;
}

platform::WideStringView WideBufferText(const platform::WCHAR* buffer,
                                        std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && buffer[length] != 0) ++length;
  return platform::WideStringView(buffer, length);
}

OwnedRef UnicodeFromWideBuffer(const platform::WCHAR* buffer,
                               std::size_t capacity) {
  return UnicodeFromWide(WideBufferText(buffer, capacity));
}

platform::WideString WideFromUnicode(BorrowedRef unicode, const char* what) {
  const Py_UNICODE* chars = PyUnicode_AS_UNICODE(unicode.get());
  const auto size = static_cast<std::size_t>(PyUnicode_GET_SIZE(unicode.get()));
  // One unit per character, written in place, until a character that is
  // not one unit (or that no name may hold) comes: most names have none.
  platform::WideString wide(size, platform::WCHAR(0));
  std::size_t i = 0;
  for (; i < size; ++i) {
    const auto code_point = static_cast<char32_t>(chars[i]);
    if (code_point == 0 || code_point > 0xFFFF) break;
    wide[i] = static_cast<platform::WCHAR>(code_point);
  }
  if (i == size) return wide;
  wide.resize(i);
  for (; i < size; ++i) {
    const auto code_point = static_cast<char32_t>(chars[i]);
    if (code_point == 0) {
      Raise(PyExc_ValueError, "embedded null character in %s", what);
    }
    if (code_point > 0x10FFFF) {
      Raise(PyExc_ValueError, "character U+%x in %s is beyond Unicode",
            static_cast<unsigned int>(code_point), what);
    }
    platform::AppendUtf16(wide, code_point);
  }
  return wide;
}

#ifndef _WIN32
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `encoding`, in any letter case, is one of the standard library's
// names of `codec` (written in lower case).
bool Names(const char* encoding, std::initializer_list<const char*> codec) {
  for (const char* name : codec) {
    std::size_t i = 0;
    while (name[i] != 0 && Lower(encoding[i]) == name[i]) ++i;
    if (name[i] == 0 && encoding[i] == 0) return true;
  }
  return false;
}

}  // namespace
#endif

OwnedRef EncodeFilesystemName(platform::WideStringView name) {
#ifdef _WIN32
  const char* encoding = "mbcs";
#else
  const char* encoding = Py_FileSystemDefaultEncoding != nullptr
                             ? Py_FileSystemDefaultEncoding
                             : "utf-8";
  // The usual filesystem encodings, UTF-8 and ASCII, give an ASCII name's
  // own bytes, as their encoders would (the codec registry is asked at
  // every call otherwise, and the unicode object made only to be encoded:
  // the "refresh" targets).
  const bool ascii_name = std::all_of(
      name.begin(), name.end(), [](platform::WCHAR unit) { return unit < 0x80; });
  if (ascii_name && Names(encoding, {"utf-8", "utf8", "ansi_x3.4-1968",
                                     "ascii", "us-ascii"})) {
    std::string bytes(name.begin(), name.end());
    return OwnedRef::StealChecked(PyString_FromStringAndSize(
        bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  }
#endif
  OwnedRef unicode = UnicodeFromWide(name);
  return OwnedRef::StealChecked(
      PyUnicode_AsEncodedString(unicode.get(), encoding, nullptr));
}

}  // namespace volumes
