// A minimal driver for the image checker's own tests, built with the
// driver's flags, script and message table: once importing a platform
// operation, once importing KeBugCheckEx, which platform/ does not declare.
// The checker must accept the first and reject the second. A third imports a
// routine no ntoskrnl.exe has, for the host's loader to refuse.

#include "ntkernel.h"

#ifdef PROBE_FOREIGN_IMPORT
extern "C" VOID NTAPI KeBugCheckEx(ULONG Code, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);
#endif
#ifdef PROBE_BOGUS_IMPORT
extern "C" VOID NTAPI KeTolvanexNoSuchRoutine(ULONG Code);
#endif

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
#if defined(PROBE_FOREIGN_IMPORT)
    KeBugCheckEx(0xDEAD, 0, 0, 0, 0);
#elif defined(PROBE_BOGUS_IMPORT)
    KeTolvanexNoSuchRoutine(0xDEAD);
#else
    KeStallExecutionProcessor(1);
#endif
    return STATUS_SUCCESS;
}
