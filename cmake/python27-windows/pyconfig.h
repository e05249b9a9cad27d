/* The Python 2.7 interpreter of Windows, as an extension module built with
   mingw-w64 sees it: python27.dll, narrow (UCS2) Unicode in wchar_t, a
   32-bit long on both 32- and 64-bit Windows, and a Py_ssize_t as wide as
   a pointer.  It stands in for the pyconfig.h of the interpreter's own
   Windows build; every other header is the interpreter's, unchanged. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN32)
#error "This pyconfig.h describes Python 2.7 on Windows only."
#endif

#define MS_WIN32
#define MS_WINDOWS
#ifdef _WIN64
#define MS_WIN64
#endif
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* Everything of the interpreter is in python27.dll. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define Py_USING_UNICODE
#define Py_UNICODE_SIZE 2
#define HAVE_WCHAR_H
#define HAVE_USABLE_WCHAR_T
#define Py_WIN_WIDE_FILENAMES

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T SIZEOF_INT
#ifdef _WIN64
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#else
#define SIZEOF_VOID_P 4
#define SIZEOF_SIZE_T 4
#define SIZEOF_UINTPTR_T 4
#endif

#define HAVE_LONG_LONG

/* Py_ssize_t is Py_intptr_t, which is intptr_t. */
#define HAVE_STDINT_H
#define HAVE_UINTPTR_T
#define HAVE_INTPTR_T

#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_STDARG_PROTOTYPES
#define HAVE_PROTOTYPES
#define STDC_HEADERS 1
#define HAVE_COPYSIGN 1
#define HAVE_HYPOT 1
#define HAVE_ROUND 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

#endif /* Py_CONFIG_H */
