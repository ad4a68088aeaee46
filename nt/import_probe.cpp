// A minimal driver for the image checker's own tests, built twice with the
// driver's flags, script and message table: once importing a platform
// operation, once importing KeBugCheckEx, which platform/ does not declare.
// The checker must accept the first and reject the second.

#include "ntkernel.h"

#ifdef PROBE_FOREIGN_IMPORT
extern "C" VOID NTAPI KeBugCheckEx(ULONG Code, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);
#endif

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
#ifdef PROBE_FOREIGN_IMPORT
    KeBugCheckEx(0xDEAD, 0, 0, 0, 0);
#else
    KeStallExecutionProcessor(1);
#endif
    return STATUS_SUCCESS;
}
