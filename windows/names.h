// A name that the module's code uses (a parameter, an attribute, a
// keyword, a global) as the interpreter's interned string.  Each is
// declared beside the code that uses it, a callable's parameters with the
// callable; start-up interns every one before anything is called, so that
// no call interns or makes a string to look a name up.
//
// The C++ identifier is the Python name, but for a leading underscore,
// which it drops, and a double underscore, which C++ reserves: "__enter__"
// is declared as dunder_enter, "_PopulateVolumeTable" as PopulateVolumeTable.
#pragma once

#include <Python.h>

#include "windows/refs.h"

namespace volumes {

class Name {
 public:
  // Declared with static storage only: every Name is listed, as it is
  // made, for start-up to intern.
  explicit Name(const char* text) noexcept;
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  const char* text() const noexcept { return text_; }
  // The interned string, once start-up has made it.
  PyObject* get() const noexcept { return object_.get(); }

 private:
  friend void InternNames();

  const char* const text_;
  // Kept for the life of the process, so that it stays interned and its
  // pointer stays valid.
  ProcessRef object_;
  Name* const next_;
};

// Start-up: interns every Name of the module.
void InternNames();

}  // namespace volumes
