// drvreg: driver parameters from the registry, the device's symbolic link,
// the spin-lock wrappers and the event hook.

#include "eventsink.h"
#include "tolvanex.h"

// ---- Spin-lock wrappers ------------------------------------------------------------
// The previous IRQL is kept in the lock itself, so a lock is never nested.

VOID AllocateSpinLock(PNDIS_SPIN_LOCK pLock) { KeInitializeSpinLock(&pLock->SpinLock); }

VOID FreeSpinLock(PNDIS_SPIN_LOCK pLock) { (void)pLock; }

// Any IRQL up to DISPATCH_LEVEL; raises to DISPATCH_LEVEL.
VOID AcquireSpinLock(PNDIS_SPIN_LOCK pLock) { pLock->OldIrql = KfAcquireSpinLock(&pLock->SpinLock); }

VOID ReleaseSpinLock(PNDIS_SPIN_LOCK pLock) { KfReleaseSpinLock(&pLock->SpinLock, pLock->OldIrql); }

// ---- Driver parameters -----------------------------------------------------------------

// Called by ZolInitialize at PASSIVE_LEVEL. The registry reading joins here;
// until then the starting values of the ADAPTER stand.
NDIS_STATUS InitializeDriverParameters(PADAPTER pAdapter) {
    (void)pAdapter;
    return NDIS_STATUS_SUCCESS;
}

// Reloads the local ISDN parameters; called by the general loop on
// reconfiguration.
VOID GetLocalISDNParams(PADAPTER pAdapter) { (void)pAdapter; }

// ---- Symbolic link -------------------------------------------------------------------

NTSTATUS InitializeNdisSymbolicLink(PADAPTER pAdapter) {
    (void)pAdapter;
    return STATUS_SUCCESS;
}

VOID ZolDeleteSymbolicLink(PADAPTER pAdapter) { (void)pAdapter; }

// ---- Event hook ----------------------------------------------------------------------

// Accepts every event and never fails. Callers test the trace level first.
// Any IRQL up to DISPATCH_LEVEL.
VOID ZolNdisWriteErrorLogEntry(PADAPTER pAdapter, ULONG ErrorCode, ULONG NumberOfStrings, ULONG Section,
                               ULONG EventId, PVOID Strings) {
    PlatformEventSink(pAdapter ? pAdapter->MiniportAdapterHandle : NULL, ErrorCode, Section, EventId,
                      NumberOfStrings, static_cast<PNDIS_STRING>(Strings));
}

// A data event with the frame's length and link as hexadecimal insertion
// strings, in two 16-character buffers.
VOID RaiseDataEvent(PADAPTER pAdapter, ULONG EventId, ULONG Length, ULONG Link) {
    WCHAR LengthText[16] = u"000000000000000";
    WCHAR LinkText[16] = u"000000000000000";
    NDIS_STRING Strings[2];
    Strings[0].Buffer = LengthText;
    Strings[0].MaximumLength = sizeof(LengthText);
    Strings[1].Buffer = LinkText;
    Strings[1].MaximumLength = sizeof(LinkText);
    NdisIntegerToUnicodeString(Length, 16, &Strings[0]);
    NdisIntegerToUnicodeString(Link, 16, &Strings[1]);
    ZolNdisWriteErrorLogEntry(pAdapter, 0, 2, SECTION_WAN, EventId, Strings);
}
