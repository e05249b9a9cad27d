// The one place where the platform's UTF-16 text and the interpreter's
// unicode meet.  Python 2.7 stores unicode as UTF-16 on Windows (UCS2) and as
// UTF-32 on Linux (UCS4); both builds go through here.
#pragma once

#include <Python.h>

#include <cstddef>

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

// A unicode object (exactly of type unicode) as UTF-16 for a kernel32 call.
// A NUL inside it would silently cut the string short there, so it raises
// ValueError "embedded null character in <what>" instead.
platform::WideString WideFromUnicode(BorrowedRef unicode, const char* what);

// A filesystem name as the host's byte string: encoded with "mbcs" where the
// interpreter has that codec (Windows), otherwise with its filesystem
// encoding (UTF-8 where it has none).
OwnedRef EncodeFilesystemName(BorrowedRef unicode);

}  // namespace volumes
