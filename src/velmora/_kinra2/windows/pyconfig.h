/* Configuration of CPython's headers for compiling this extension module for
   Windows x64 with mingw-w64, against the limited API only. It replaces the
   pyconfig.h of the (Linux) install whose headers are used: the rest of those
   headers is platform-neutral, this file states what differs. Written for
   this project; not taken from a Windows Python. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__MINGW64__)
#error "this pyconfig.h is for Windows x64 with mingw-w64 only"
#endif
#ifndef Py_LIMITED_API
#error "this pyconfig.h serves the limited API only"
#endif

/* The platform. */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define PLATFORM "win32"

/* The interpreter is python3.dll / python312.dll: everything is imported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits, pointers and sizes are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define LONG_BIT 32

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1

#endif /* Py_CONFIG_H */
