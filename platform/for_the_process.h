// The one way the platform layer keeps an object for the process's life:
// every machine, and whatever a call can reach through one (the table of
// open enumerations, the simulated machine's parse cache and journal), is
// made at its first use and never destroyed.  A call may come from any
// thread at any time, while the process's statics are destroyed at exit
// included, so no object that a call can reach may go before the process.
#pragma once

#include <new>

namespace platform {

// The process's one T, made by T() at the first call; a constructor that
// throws leaves it to be made at the next call.  Its storage is static, so
// that making it allocates nothing T does not.
template <class T>
T& ForTheProcess() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* const object = new (storage) T();
  return *object;
}

}  // namespace platform
