// python.exe for a Windows CPython 2.7 installation that came without one
// (python.org's python27.dll and standard library, copied): the command
// line handed to the interpreter whole, as python.org's own python.exe
// does.  The interpreter finds its installation through PYTHONHOME.
#include <Python.h>

int main(int argc, char** argv) { return Py_Main(argc, argv); }
