// Sized integer types of the Windows LLP64 model, pinned for x86-64 Linux:
// LONG, ULONG and DWORD stay 32 bits so records and files keep their sizes.
#pragma once

#include <w32rt/api.h>

typedef int8_t INT8, *PINT8;
typedef int16_t INT16, *PINT16;
typedef int32_t INT32, *PINT32;
typedef int64_t INT64, *PINT64;
typedef uint8_t UINT8, *PUINT8;
typedef uint16_t UINT16, *PUINT16;
typedef uint32_t UINT32, *PUINT32;
typedef uint64_t UINT64, *PUINT64;
typedef int32_t LONG32, *PLONG32;
typedef uint32_t ULONG32, *PULONG32, DWORD32, *PDWORD32;
typedef int64_t LONG64, *PLONG64;
typedef uint64_t ULONG64, *PULONG64, DWORD64, *PDWORD64;

typedef intptr_t INT_PTR, *PINT_PTR, LONG_PTR, *PLONG_PTR, SSIZE_T, *PSSIZE_T;
typedef uintptr_t UINT_PTR, *PUINT_PTR, ULONG_PTR, *PULONG_PTR, DWORD_PTR, *PDWORD_PTR, SIZE_T, *PSIZE_T;
