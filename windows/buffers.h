// The owner of a buffer that one call obtains from the interpreter's
// allocator, so that it is released exactly once on every way out.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "windows/error_boundary.h"
#include "windows/refs.h"

namespace volumes {

// A block of T from the interpreter's allocator (PyMem_Malloc / PyMem_Free).
template <class T>
class PyMemBuffer {
 public:
  PyMemBuffer() = default;
  PyMemBuffer(const PyMemBuffer&) = delete;
  PyMemBuffer& operator=(const PyMemBuffer&) = delete;
  ~PyMemBuffer() { PyMem_Free(data_); }

  // Releases the block held, then takes one of `count` elements, or raises
  // MemoryError "Could not allocate %s bytes." holding none.  The size is
  // worked out in 64 bits, so a count whose size does not fit the
  // interpreter's sizes fails rather than wrapping into a small block.
  void Allocate(std::uint64_t count) {
    PyMem_Free(data_);
    data_ = nullptr;
    const std::uint64_t bytes = count * sizeof(T);
    if (bytes <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      data_ = static_cast<T*>(PyMem_Malloc(static_cast<std::size_t>(bytes)));
    }
    if (data_ == nullptr) {
      Raise(PyExc_MemoryError, "Could not allocate %s bytes.",
            std::to_string(bytes).c_str());
    }
  }

  T* get() const noexcept { return data_; }

 private:
  T* data_ = nullptr;
};

}  // namespace volumes
