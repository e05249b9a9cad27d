#include "windows/guid_matcher.h"

#include <cstdint>

#include "windows/error_boundary.h"
#include "windows/module_state.h"
#include "windows/name_lookup.h"
#include "windows/names.h"
#include "windows/object_protocol.h"

namespace volumes {
namespace {

namespace names {
Name VOLUME_NAME_GUID_MATCHER("VOLUME_NAME_GUID_MATCHER");
Name re("re");
Name compile("compile");
Name match("match");
Name group("group");
Name encode("encode");
Name ascii("ascii");
}  // namespace names

// The matcher as start-up made it: while the global still binds it, the
// match of a name is made here (MatchedGuid).
ProcessRef start_up_matcher;

// What the start-up matcher's match(name).group(1).encode('ascii') gives
// for an exact str or unicode name: the GUID text as a byte string, or
// None where it does not match.  The pattern's \w is ASCII's (no flags),
// and its braces leave nothing to backtrack.
template <class Char>
OwnedRef MatchedGuid(const Char* name, Py_ssize_t size) {
  static constexpr char kPrefix[] = "\\\\?\\Volume{";
  constexpr Py_ssize_t kPrefixSize = sizeof kPrefix - 1;
  if (size < kPrefixSize) return NewNone();
  for (Py_ssize_t i = 0; i < kPrefixSize; ++i) {
    if (name[i] != static_cast<unsigned char>(kPrefix[i])) return NewNone();
  }
  const auto is_word = [](std::uint32_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') || c == '_' || c == '-';
  };
  Py_ssize_t end = kPrefixSize;
  while (end < size && is_word(static_cast<std::uint32_t>(name[end]))) ++end;
  if (end == kPrefixSize || end + 1 >= size || name[end] != '}' ||
      name[end + 1] != '\\') {
    return NewNone();
  }
  OwnedRef guid = OwnedRef::StealChecked(
      PyString_FromStringAndSize(nullptr, end - kPrefixSize));
  char* out = PyString_AS_STRING(guid.get());
  for (Py_ssize_t i = kPrefixSize; i < end; ++i) {
    *out++ = static_cast<char>(name[i]);
  }
  return guid;
}

}  // namespace

OwnedRef VolumeUuid(BorrowedRef volume_name) {
  OwnedRef matcher = LookupGlobal(names::VOLUME_NAME_GUID_MATCHER);
  PyObject* const name = volume_name.get();
  // The matcher start-up made, which nothing can change: the match is
  // made here (the "refresh" targets).
  if (matcher.get() == start_up_matcher.get()) {
    if (PyUnicode_CheckExact(name)) {
      return MatchedGuid(PyUnicode_AS_UNICODE(name), PyUnicode_GET_SIZE(name));
    }
    if (PyString_CheckExact(name)) {
      return MatchedGuid(reinterpret_cast<const unsigned char*>(
                             PyString_AS_STRING(name)),
                         PyString_GET_SIZE(name));
    }
  }
  OwnedRef match = CallMethod(matcher, names::match, {volume_name});
  // "If there is a match": the match's truth, as the host's `if` tests it.
  if (!IsTrue(match)) return NewNone();
  OwnedRef group_number = OwnedRef::StealChecked(PyInt_FromLong(1));
  OwnedRef guid = CallMethod(match, names::group, {group_number});
  return CallMethod(guid, names::encode, {BorrowedRef(names::ascii.get())});
}

void BuildVolumeNameGuidMatcher() {
  // Every backslash here is one character of the pattern.
  OwnedRef pattern = NewString("\\\\\\\\\\?\\\\Volume\\{([\\w-]+)\\}\\\\");
  OwnedRef compile = GlobalAttr(names::re, names::compile);
  OwnedRef matcher = Call(compile, {pattern});
  start_up_matcher.Reset(OwnedRef::NewReference(matcher));
  BindGlobal(names::VOLUME_NAME_GUID_MATCHER.get(), std::move(matcher));
}

}  // namespace volumes
