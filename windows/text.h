// The one place where the platform's UTF-16 text and the interpreter's
// unicode meet.  A Python 2.7 stores unicode as its build chose,
// Py_UNICODE_SIZE: UTF-16 (UCS2, as python.org's builds for Windows do) or
// UTF-32 (UCS4, as most Linux builds do); both go through here.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <unordered_map>

#include "platform/wide_string.h"
#include "windows/refs.h"

namespace volumes {

// A unicode object holding exactly these UTF-16 characters.  Surrogate pairs
// become one character on UCS4 builds; a lone surrogate is kept as it is.
OwnedRef UnicodeFromWide(platform::WideStringView text);

// The characters of a buffer of `capacity` characters up to its first NUL
// (all of them when it holds none).
OwnedRef UnicodeFromWideBuffer(const platform::WCHAR* buffer,
                               std::size_t capacity);
platform::WideStringView WideBufferText(const platform::WCHAR* buffer,
                                        std::size_t capacity);

// Unicode objects made from texts, kept from one round to the next, so that
// a round that meets the texts of the last one makes no new object: the
// volume names and mount points that a table refresh makes again and again
// (the "refresh" targets), and which the table keeps.  Unicode objects
// cannot change, and the host takes equal ones alike.  It lives as long as
// the process, as the objects it holds must.
class UnicodeRounds {
 public:
  // The object of `text`: this round's, the last round's, or a new one.
  OwnedRef Get(platform::WideStringView text);
  // What neither this round nor the last met goes.
  void EndRound();

 private:
  struct Text {
    platform::WideString text;
    OwnedRef object;
    unsigned round;  // the last one that met it
  };
  // Keyed by a view of the entry's own text, which stays where it is.
  std::unordered_map<platform::WideStringView, std::unique_ptr<Text>,
                     std::hash<platform::WideStringView>,
                     platform::SameWideText>
      texts_;
  unsigned round_ = 0;
  static constexpr std::size_t kMostTexts = 1 << 16;
};

// A unicode object (exactly of type unicode) as UTF-16 for a kernel32 call.
// A NUL inside it would silently cut the string short there, so it raises
// ValueError "embedded null character in <what>" instead.
platform::WideString WideFromUnicode(BorrowedRef unicode, const char* what);

// A filesystem name as the host's byte string: its unicode object encoded
// with "mbcs" where the interpreter has that codec (Windows), otherwise with
// its filesystem encoding (UTF-8 where it has none).
OwnedRef EncodeFilesystemName(platform::WideStringView name);

}  // namespace volumes
