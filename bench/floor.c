/* The least that a C built-in can do when called: a METH_O function that
   returns None.  The benchmark's floor for a call of one argument. */
#include <Python.h>

static PyObject* noop(PyObject* self, PyObject* arg) {
  (void)self;
  (void)arg;
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"noop", noop, METH_O, "noop(x) -> None, doing nothing else."},
    {NULL, NULL, 0, NULL}};

PyMODINIT_FUNC initfloor(void) { Py_InitModule("floor", methods); }
