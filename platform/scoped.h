// A value of the system's that its owner gives back once, on every way out:
// a descriptor, a handle.  Each system names its own (scoped_posix.h,
// scoped_windows.h).  Part of the layer's bottom: it includes nothing.
#pragma once

namespace platform {

// `kNone` holds nothing; `Release` is the system's call that gives a value
// back.
template <class T, T kNone, void (*Release)(T)>
class Scoped {
 public:
  Scoped() noexcept = default;
  explicit Scoped(T value) noexcept : value_(value) {}
  Scoped(Scoped&& other) noexcept : value_(other.Take()) {}
  Scoped& operator=(Scoped&& other) noexcept {
    Reset(other.Take());
    return *this;
  }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;
  ~Scoped() { Reset(); }

  T get() const noexcept { return value_; }
  // Where a call writes the value it makes.
  T* out() noexcept {
    Reset();
    return &value_;
  }
  T Take() noexcept {
    const T value = value_;
    value_ = kNone;
    return value;
  }
  void Reset(T value = kNone) noexcept {
    if (value_ != kNone) Release(value_);
    value_ = value;
  }

 private:
  T value_ = kNone;
};

}  // namespace platform
