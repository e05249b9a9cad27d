// What a subsystem adds to the module.  Each subsystem lists what it
// registers, every list in the order of creation; start-up (volumes.cpp)
// walks the subsystems in their order and their lists in this order.
#pragma once

#include <Python.h>

#include <cstddef>

#include "windows/calling_convention.h"

namespace volumes {

// A table whose length the compiler counts.
template <class T>
class List {
 public:
  constexpr List() = default;
  template <std::size_t N>
  constexpr List(T (&items)[N]) : items_(items), size_(N) {}

  constexpr T* begin() const { return items_; }
  constexpr T* end() const { return items_ + size_; }

 private:
  T* items_ = nullptr;
  std::size_t size_ = 0;
};

// A class of the module: made by `type` with the one base `object`, its
// namespace holding __module__, __qualname__, __doc__ and then its methods,
// and passed through the host's service.Singleton.
struct ClassDef {
  const char* name;
  const char* doc;
  List<const Callable> methods;
};

// The method table entries are the interpreter's: it keeps pointers to
// them, not to const, in the functions it makes.
struct Subsystem {
  // Built-in functions made together with the module, from its method table.
  List<PyMethodDef> module_table;
  // Makes the subsystem's own state, once the module's constants exist.
  void (*start)() = nullptr;
  // Built-in functions bound once every subsystem has started.
  List<PyMethodDef> functions;
  // Classes bound once every function is.
  List<const ClassDef> classes;
};

}  // namespace volumes
