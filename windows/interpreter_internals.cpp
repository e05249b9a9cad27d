#include "windows/interpreter_internals.h"

#include <structmember.h>

#include <cstddef>

namespace volumes {
namespace {

// A key's hash as the dict computes it; a string keeps its own once
// computed.
long HashOf(PyObject* key) {
  long hash = PyString_CheckExact(key)
                  ? reinterpret_cast<PyStringObject*>(key)->ob_shash
                  : -1;
  if (hash == -1) {
    hash = PyObject_Hash(key);
    if (hash == -1) throw PyError();
  }
  return hash;
}

}  // namespace

BorrowedRef DictGet(BorrowedRef dict, BorrowedRef key) {
  auto* const table = reinterpret_cast<PyDictObject*>(dict.get());
  PyDictEntry* const entry =
      table->ma_lookup(table, key.get(), HashOf(key.get()));
  if (entry == nullptr) throw PyError();
  return BorrowedRef(entry->me_value);
}

BorrowedRef DictSlot::Look(PyDictObject* table, const Name& name) {
  PyDictEntry* const slot =
      table->ma_lookup(table, name.get(), HashOf(name.get()));
  if (slot == nullptr) {
    // A key's comparison raised; the caller looks again as the interpreter
    // does.
    PyErr_Clear();
    last_ = nullptr;
    return BorrowedRef();
  }
  last_ = slot->me_value != nullptr ? slot : nullptr;
  return BorrowedRef(slot->me_value);
}

std::optional<Py_ssize_t> ObjectMemberOffset(PyTypeObject* type,
                                             const Name& name) {
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 ||
      type->tp_getattro != PyObject_GenericGetAttr) {
    return std::nullopt;
  }
  PyObject* const descriptor = _PyType_Lookup(type, name.get());
  if (descriptor == nullptr || Py_TYPE(descriptor) != &PyMemberDescr_Type) {
    return std::nullopt;
  }
  const PyMemberDef* const member =
      reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
  if (member->type != T_OBJECT) return std::nullopt;
  return member->offset;
}

#ifdef _WIN32
// The layouts read above, as python.org's 2.7.18 builds lay them out,
// 32-bit (where the host runs) and 64-bit: a Windows build against the
// headers of another interpreter fails here.
#ifdef _WIN64
#define LAYOUT(type, field, offset32, offset64) \
  static_assert(offsetof(type, field) == (offset64), #type "." #field)
#else
#define LAYOUT(type, field, offset32, offset64) \
  static_assert(offsetof(type, field) == (offset32), #type "." #field)
#endif
LAYOUT(PyDictObject, ma_mask, 16, 32);
LAYOUT(PyDictObject, ma_table, 20, 40);
LAYOUT(PyDictObject, ma_lookup, 24, 48);
LAYOUT(PyDictEntry, me_hash, 0, 0);
LAYOUT(PyDictEntry, me_key, 4, 8);
LAYOUT(PyDictEntry, me_value, 8, 16);
static_assert(sizeof(PyDictEntry) == 3 * sizeof(void*), "sizeof(PyDictEntry)");
LAYOUT(PyStringObject, ob_shash, 12, 24);
LAYOUT(PyMemberDescrObject, d_member, 16, 32);
LAYOUT(PyMemberDef, type, 4, 8);
LAYOUT(PyMemberDef, offset, 8, 16);
LAYOUT(PyThreadState, exc_type, 52, 96);
LAYOUT(PyThreadState, exc_value, 56, 104);
LAYOUT(PyThreadState, exc_traceback, 60, 112);
#undef LAYOUT
#endif

}  // namespace volumes
