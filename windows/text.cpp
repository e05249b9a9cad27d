#include "windows/text.h"

#include <cstdint>

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

OwnedRef UnicodeFromWideBuffer(const platform::WCHAR* buffer,
                               std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && buffer[length] != 0) ++length;
  return UnicodeFromWide(platform::WideStringView(buffer, length));
}

platform::WideString WideFromUnicode(BorrowedRef unicode, const char* what) {
  const Py_UNICODE* chars = PyUnicode_AS_UNICODE(unicode.get());
  const Py_ssize_t size = PyUnicode_GET_SIZE(unicode.get());
  platform::WideString wide;
  wide.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
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

OwnedRef EncodeFilesystemName(BorrowedRef unicode) {
#ifdef _WIN32
  const char* encoding = "mbcs";
#else
  const char* encoding = Py_FileSystemDefaultEncoding != nullptr
                             ? Py_FileSystemDefaultEncoding
                             : "utf-8";
#endif
  return OwnedRef::StealChecked(
      PyUnicode_AsEncodedString(unicode.get(), encoding, nullptr));
}

}  // namespace volumes
