/* The interpreter's configuration as a 64-bit Windows build of CPython
   describes it, for compiling the modules for Windows on another system
   (.ci/cross). Only what the public headers read is here: the platform, the
   DLL the interpreter lives in, the sizes of the C types, threads. A release
   build: Py_DEBUG stays undefined. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN64 1
#define MS_WIN32 1
#define MS_WINDOWS 1
#define NT_THREADS 1
#define WITH_THREAD 1

/* Functions and data come from python3XY.dll: the headers declare them
   __declspec(dllimport) and PyMODINIT_FUNC exports the init function. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL 1
#define HAVE_DYNAMIC_LOADING 1

#define PLATFORM "win32"

/* LLP64: long stays 32 bits. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_PID_T 4
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8

/* No ssize_t in the Windows headers: Py_ssize_t is declared here. */
typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#if defined(_MSC_VER)
typedef int pid_t;
#endif

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
/* wchar_t is UTF-16 there, not one code point per character. */
#define HAVE_NON_UNICODE_WCHAR_T_REPRESENTATION 1
#define PYLONG_BITS_IN_DIGIT 30

#endif /* Py_CONFIG_H */
