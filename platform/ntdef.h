// Basic NT types, status codes and calling conventions shared by every
// platform declaration. Layouts follow the 32-bit NT definitions where a
// record crosses a published interface.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(__i386__)
#define NTAPI __stdcall
#define FASTCALL __fastcall
#define TOLVANEX_NT_BUILD 1
#elif defined(__i386__)
// The 32-bit host: its routines must match what the NT image imports.
#define NTAPI __attribute__((__stdcall__))
#define FASTCALL __attribute__((__fastcall__))
#else
#define NTAPI
#define FASTCALL
#endif

#define IN
#define OUT
#define OPTIONAL

typedef void VOID, *PVOID;
typedef unsigned char UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN;
typedef char CHAR, *PCHAR;
typedef const char *PCSTR;
typedef uint16_t USHORT, *PUSHORT;
typedef int16_t SHORT;
typedef uint32_t ULONG, *PULONG, UINT, *PUINT, DWORD;
typedef int32_t LONG, *PLONG, INT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG ACCESS_MASK;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef void *HANDLE, **PHANDLE;

// Wide characters are 16 bits on every build.
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const char16_t *PCWSTR;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS;
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without a terminating NUL
    USHORT MaximumLength; // bytes of Buffer
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// IRQL levels the driver meets.
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

// NT status values used by the driver and the host.
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
