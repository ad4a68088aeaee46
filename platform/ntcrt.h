// The C memory routines: ntoskrnl.exe exports them, and the compiler may call them.
#pragma once

#include "ntdef.h"

#ifndef CDECL
#ifdef TOLVANEX_NT_BUILD
#define CDECL __cdecl
#else
#define CDECL
#endif
#endif

// glibc declares them noexcept, and a C++ redeclaration must agree.
#ifdef TOLVANEX_NT_BUILD
#define TOLVANEX_CRT_NOEXCEPT
#else
#define TOLVANEX_CRT_NOEXCEPT noexcept
#endif

#ifdef __cplusplus
extern "C" {
#endif

void *CDECL memcpy(void *Destination, const void *Source, size_t Length) TOLVANEX_CRT_NOEXCEPT;
void *CDECL memmove(void *Destination, const void *Source, size_t Length) TOLVANEX_CRT_NOEXCEPT;
void *CDECL memset(void *Destination, int Fill, size_t Length) TOLVANEX_CRT_NOEXCEPT;
int CDECL memcmp(const void *Buffer1, const void *Buffer2, size_t Length) TOLVANEX_CRT_NOEXCEPT;

#ifdef __cplusplus
}
#endif
