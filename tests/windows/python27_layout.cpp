// The interpreter's structures that the module reads or fills in directly,
// through the headers' macros or its own code, laid out as python27.dll
// lays them out.  The headers come from any Python 2.7 (see
// cmake/python27_windows.cmake): these assertions fail the Windows builds
// when they describe another interpreter than python.org's 2.7.18 build
// (MSVC 2008), 32-bit (where the host runs) or 64-bit.  A field that the
// module starts to read directly belongs here, or, for what it reads by
// its own code, beside that code (windows/interpreter_internals.cpp).
//
// Compiled, never linked: it holds no code.
#include <Python.h>
#include <structmember.h>

#include <cstddef>

namespace {

#if defined(_WIN64)
#define LAYOUT(type, field, offset32, offset64) \
  static_assert(offsetof(type, field) == (offset64), #type "." #field)
#define SIZE(type, size32, size64) \
  static_assert(sizeof(type) == (size64), "sizeof(" #type ")")
#else
#define LAYOUT(type, field, offset32, offset64) \
  static_assert(offsetof(type, field) == (offset32), #type "." #field)
#define SIZE(type, size32, size64) \
  static_assert(sizeof(type) == (size32), "sizeof(" #type ")")
#endif

// Every field below is a pointer, int, long (4 bytes on both) or
// Py_ssize_t (as wide as a pointer).
static_assert(sizeof(int) == 4 && sizeof(long) == 4, "int and long");
static_assert(sizeof(Py_ssize_t) == sizeof(void*), "Py_ssize_t");
static_assert(sizeof(Py_UNICODE) == 2, "Py_UNICODE is UTF-16");

// Reference counts and types: Py_INCREF, Py_DECREF (which calls
// tp_dealloc), Py_TYPE, and every type test.
LAYOUT(PyObject, ob_refcnt, 0, 0);
LAYOUT(PyObject, ob_type, 4, 8);
SIZE(PyObject, 8, 16);
LAYOUT(PyVarObject, ob_size, 8, 16);

// The method type is a static PyTypeObject of the module's: the interpreter
// reads all of it.  Slots that the module sets or reads.
SIZE(PyTypeObject, 196, 392);
LAYOUT(PyTypeObject, tp_name, 12, 24);
LAYOUT(PyTypeObject, tp_basicsize, 16, 32);
LAYOUT(PyTypeObject, tp_dealloc, 24, 48);
LAYOUT(PyTypeObject, tp_repr, 44, 88);
LAYOUT(PyTypeObject, tp_as_number, 48, 96);
LAYOUT(PyTypeObject, tp_call, 64, 128);
LAYOUT(PyTypeObject, tp_flags, 84, 168);
LAYOUT(PyTypeObject, tp_doc, 88, 176);
LAYOUT(PyTypeObject, tp_traverse, 92, 184);
LAYOUT(PyTypeObject, tp_clear, 96, 192);
LAYOUT(PyTypeObject, tp_members, 120, 240);
LAYOUT(PyTypeObject, tp_descr_get, 136, 272);
LAYOUT(PyTypeObject, tp_version_tag, 192, 384);

// Integer conversion of objects that are not int or long.
LAYOUT(PyNumberMethods, nb_int, 72, 144);
LAYOUT(PyNumberMethods, nb_long, 76, 152);

// The module's tables handed to the interpreter.
LAYOUT(PyMethodDef, ml_name, 0, 0);
LAYOUT(PyMethodDef, ml_meth, 4, 8);
LAYOUT(PyMethodDef, ml_flags, 8, 16);
LAYOUT(PyMethodDef, ml_doc, 12, 24);
SIZE(PyMethodDef, 16, 32);
LAYOUT(PyMemberDef, name, 0, 0);
LAYOUT(PyMemberDef, type, 4, 8);
LAYOUT(PyMemberDef, offset, 8, 16);
LAYOUT(PyMemberDef, flags, 12, 24);
LAYOUT(PyMemberDef, doc, 16, 32);
SIZE(PyMemberDef, 20, 40);

// PyCFunction_GET_FUNCTION.
LAYOUT(PyCFunctionObject, m_ml, 8, 16);


// A string's size and characters.
LAYOUT(PyStringObject, ob_sval, 20, 32);

// PyUnicode_AS_UNICODE and PyUnicode_GET_SIZE.
LAYOUT(PyUnicodeObject, length, 8, 16);
LAYOUT(PyUnicodeObject, str, 12, 24);

// PyInt_AS_LONG.
LAYOUT(PyIntObject, ob_ival, 8, 16);

// PyTuple_GET_ITEM, PyTuple_SET_ITEM, PyList_GET_ITEM.
LAYOUT(PyTupleObject, ob_item, 12, 24);
LAYOUT(PyListObject, ob_item, 12, 24);



}  // namespace
