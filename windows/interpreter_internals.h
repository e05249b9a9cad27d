// CPython 2.7's internals that the module reads or fills in itself, here
// alone: its dicts' tables, a string's cached hash, an object member's
// slot, and the thread's handled exception.  Each is what the interpreter's
// own code does, for a benchmark target that needs the speed (or, for the
// handled exception, for what no API sets); their layouts, as python.org's
// 2.7 builds for Windows have them, are asserted in
// interpreter_internals.cpp, and the interpreter's other structures that
// the module's macros read in tests/windows/python27_layout.cpp.
#pragma once

#include <Python.h>

#include <optional>

#include "windows/error_boundary.h"
#include "windows/names.h"
#include "windows/refs.h"

namespace volumes {

// --- Dicts ---------------------------------------------------------------------

// dict.get(key) of an exact dict: a borrowed value, or null for a missing
// key; the errors of hashing and comparing the key raised.  Through the
// dict's own lookup, as dict.get goes: unlike PyDict_GetItem it reports an
// exception raised while comparing keys (the IsFAT hit and
// GetVolumeEntryForVolumeID targets).
BorrowedRef DictGet(BorrowedRef dict, BorrowedRef key);

// What a dict binds to `name` now, or null when it binds nothing.  It
// remembers where the name was found, and while the dict's table still
// holds the name there no lookup is made: that test is inline, the lookup
// is not (the module's own functions called through their globals: the
// FindVolumeID targets).
class DictSlot {
 public:
  BorrowedRef Find(PyObject* dict, const Name& name) {
    auto* const table = reinterpret_cast<PyDictObject*>(dict);
    PyDictEntry* const entries = table->ma_table;
    // A dict has one slot per key: a slot of the current table that holds
    // the name holds its binding.
    if (last_ >= entries && last_ <= entries + table->ma_mask &&
        last_->me_key == name.get() && last_->me_value != nullptr) {
      return BorrowedRef(last_->me_value);
    }
    return Look(table, name);
  }

 private:
  BorrowedRef Look(PyDictObject* table, const Name& name);

  PyDictEntry* last_ = nullptr;
};

// --- An object member's slot ----------------------------------------------------

// Where `type` keeps the object member `name`, when reading the slot is
// what the attribute protocol gives: a type of the interpreter's or of an
// extension (a class that code can change is not), reading attributes
// generically, whose `name` is an object member, as the stat results keep
// st_dev (the FindVolumeID targets).  Nothing otherwise.
std::optional<Py_ssize_t> ObjectMemberOffset(PyTypeObject* type,
                                             const Name& name);

// The member at `offset` of `object`, as the member descriptor reads it.
inline OwnedRef ObjectMemberAt(PyObject* object, Py_ssize_t offset) {
  PyObject* const value =
      *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset);
  // An empty object member reads as None.
  return value != nullptr ? OwnedRef::NewReference(BorrowedRef(value))
                          : NewNone();
}

// --- The thread's handled exception ----------------------------------------------

// For the lifetime of this object, `caught` is the exception being handled
// on this thread, as inside an except clause: sys.exc_info() returns it, so
// that logging.exception can show its traceback.  The thread's previous
// handled exception comes back afterwards.
class HandledException {
 public:
  explicit HandledException(const CaughtException& caught) noexcept
      : thread_(PyThreadState_GET()) {
    saved_type_ = OwnedRef::StealNullable(thread_->exc_type);
    saved_value_ = OwnedRef::StealNullable(thread_->exc_value);
    saved_traceback_ = OwnedRef::StealNullable(thread_->exc_traceback);
    thread_->exc_type = OwnedRef::NewReference(caught.type()).release();
    thread_->exc_value = OwnedRef::NewReference(caught.value()).release();
    thread_->exc_traceback =
        OwnedRef::NewReference(caught.traceback()).release();
  }
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;
  ~HandledException() {
    OwnedRef type = OwnedRef::StealNullable(thread_->exc_type);
    OwnedRef value = OwnedRef::StealNullable(thread_->exc_value);
    OwnedRef traceback = OwnedRef::StealNullable(thread_->exc_traceback);
    thread_->exc_type = saved_type_.release();
    thread_->exc_value = saved_value_.release();
    thread_->exc_traceback = saved_traceback_.release();
  }

 private:
  PyThreadState* thread_;
  OwnedRef saved_type_;
  OwnedRef saved_value_;
  OwnedRef saved_traceback_;
};

}  // namespace volumes
