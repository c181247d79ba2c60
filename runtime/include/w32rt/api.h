// Calling convention and export decoration shared by every runtime header.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(W32RT_BUILDING)
#define W32RT_API __attribute__((visibility("default")))
#else
#define W32RT_API
#endif

#ifdef __cplusplus
#define W32RT_EXTERN_C extern "C"
#define W32RT_BEGIN_DECLS extern "C" {
#define W32RT_END_DECLS }
#else
#define W32RT_EXTERN_C extern
#define W32RT_BEGIN_DECLS
#define W32RT_END_DECLS
#endif

// Windows calling conventions have no meaning on x86-64 System V.
#define WINAPI
#define APIENTRY
#define CALLBACK
#define WMIAPI
#define STDAPI W32RT_EXTERN_C HRESULT
#define WINBASEAPI W32RT_API
#define WINADVAPI W32RT_API
#define WINUSERAPI W32RT_API
#define EXTERN_C W32RT_EXTERN_C
#define DECLSPEC_IMPORT
