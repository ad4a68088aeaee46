// drvuti: channel contexts and buffer chains, TAPI device registration and
// RAS ports, the handle lookups, TAPI status indications and the driver's
// own string routines.

#include "tolvanex.h"

// ---- Buffer chains ---------------------------------------------------------------------

PCHAIN_DESCR AllocChainDescr(PADAPTER pAdapter, USHORT Capacity) {
    PCHAIN_DESCR pDescr;
    ULONG Size = sizeof(CHAIN_DESCR) + Capacity;

    AcquireSpinLock(&pAdapter->Lock);
    if (NdisAllocateMemory(reinterpret_cast<PVOID *>(&pDescr), Size, 0, HighestAcceptableMax) !=
        NDIS_STATUS_SUCCESS) {
        ReleaseSpinLock(&pAdapter->Lock);
        return NULL;
    }
    pDescr->Signature = reinterpret_cast<ULONG_PTR>(pDescr);
    pDescr->Length = 0;
    pDescr->Data = reinterpret_cast<PUCHAR>(pDescr + 1);
    pDescr->AllocSize = static_cast<USHORT>(Size);
    ReleaseSpinLock(&pAdapter->Lock);
    return pDescr;
}

// Refuses, and frees nothing, when the signature is not the descriptor's own
// address: a second release, or memory that is not a descriptor.
BOOLEAN FreeChainDescr(PADAPTER pAdapter, PCHAIN_DESCR pDescr) {
    AcquireSpinLock(&pAdapter->Lock);
    if (pDescr == NULL) {
        ReleaseSpinLock(&pAdapter->Lock);
        return TRUE;
    }
    if (pDescr->Signature != reinterpret_cast<ULONG_PTR>(pDescr)) {
        if (pDescr->Signature == 0)
            pDescr->Signature = ~static_cast<ULONG_PTR>(0);
        ReleaseSpinLock(&pAdapter->Lock);
        return FALSE;
    }
    pDescr->Signature = 0;
    NdisFreeMemory(pDescr, pDescr->AllocSize, 0);
    ReleaseSpinLock(&pAdapter->Lock);
    return TRUE;
}

VOID InitChainQueue(PCHAIN_QUEUE pQueue) {
    pQueue->Flink = reinterpret_cast<PCHAIN_DESCR>(pQueue);
    pQueue->Blink = reinterpret_cast<PCHAIN_DESCR>(pQueue);
}

// The caller holds the lock. The element is the queue head or a descriptor
// in the queue; the head's first two fields line up with a descriptor's.
VOID ChainAdd(PADAPTER pAdapter, PCHAIN_DESCR pElement, PCHAIN_DESCR pDescr) {
    (void)pAdapter;
    pDescr->Flink = pElement->Flink;
    pDescr->Blink = pElement;
    pElement->Flink->Blink = pDescr;
    pElement->Flink = pDescr;
}

static VOID Unlink(PCHAIN_DESCR pDescr) {
    pDescr->Flink->Blink = pDescr->Blink;
    pDescr->Blink->Flink = pDescr->Flink;
    pDescr->Flink = pDescr->Blink = pDescr;
}

VOID ChainRemove(PADAPTER pAdapter, PCHAIN_DESCR pDescr) {
    AcquireSpinLock(&pAdapter->Lock);
    Unlink(pDescr);
    ReleaseSpinLock(&pAdapter->Lock);
}

// Takes the first descriptor out of a queue under the lock; NULL when empty.
PCHAIN_DESCR ChainRemoveHead(PADAPTER pAdapter, PCHAIN_QUEUE pQueue) {
    AcquireSpinLock(&pAdapter->Lock);
    PCHAIN_DESCR pDescr = QueueHead(pQueue);
    if (pDescr != NULL)
        Unlink(pDescr);
    ReleaseSpinLock(&pAdapter->Lock);
    return pDescr;
}

// The first descriptor of a queue, or NULL when it is empty. Caller holds the lock.
PCHAIN_DESCR QueueHead(PCHAIN_QUEUE pQueue) {
    if (pQueue->Flink == reinterpret_cast<PCHAIN_DESCR>(pQueue))
        return NULL;
    return pQueue->Flink;
}

static_assert(offsetof(CHAIN_QUEUE, Flink) == offsetof(CHAIN_DESCR, Flink) &&
                  offsetof(CHAIN_QUEUE, Blink) == offsetof(CHAIN_DESCR, Blink),
              "a queue head links like a descriptor");

// ---- Contexts ------------------------------------------------------------------------------

VOID InitContext(PCTX pCtx) {
    ZeroBytes(pCtx, sizeof(CTX));
    pCtx->State = CTX_FREE;
    pCtx->hCom = ISDN_HCOM_NONE;
    pCtx->RxState = RX_IDLE;
    InitChainQueue(&pCtx->SendQueue);
    pCtx->LineUp = 0;
    pCtx->Inbound = 0;
    pCtx->XmitOff = 0;
    pCtx->LinkInfo.MaxSendFrameSize = 1500;
    pCtx->LinkInfo.MaxRecvFrameSize = 1500;
    pCtx->LinkInfo.HeaderPadding = 0;
    pCtx->LinkInfo.TailPadding = 0;
    pCtx->LinkInfo.SendFramingBits = PPP_FRAMING | PPP_COMPRESS_ADDRESS_CONTROL | PPP_COMPRESS_PROTOCOL_FIELD;
    pCtx->LinkInfo.RecvFramingBits = PPP_FRAMING | PPP_COMPRESS_ADDRESS_CONTROL | PPP_COMPRESS_PROTOCOL_FIELD;
    pCtx->LinkInfo.SendCompressionBits = 0;
    pCtx->LinkInfo.RecvCompressionBits = 0;
    pCtx->LinkInfo.SendACCM = 0;
    pCtx->LinkInfo.RecvACCM = 0;
}

// B1 before B2; the listen context is never handed out. A context handed
// out stays reserved until it is released, even while an incoming call
// leaves it in CTX_FREE, and the choice is made under the lock: two calls
// arriving together never get the same context.
PCTX AllocationContext(PADAPTER pAdapter) {
    AcquireSpinLock(&pAdapter->Lock);
    for (int i = CTX_B1; i <= CTX_B2; i++) {
        PCTX pCtx = &pAdapter->Ctx[i];
        if ((pCtx->State == CTX_UNUSED || pCtx->State == CTX_FREE) && !pCtx->Reserved) {
            InitContext(pCtx);
            pCtx->Reserved = 1;
            ReleaseSpinLock(&pAdapter->Lock);
            return pCtx;
        }
    }
    ReleaseSpinLock(&pAdapter->Lock);
    return NULL;
}

PCTX AllocContext(PADAPTER pAdapter, PGATEWAY pGway) {
    PCTX pCtx = AllocationContext(pAdapter);
    if (pCtx == NULL)
        return NULL;
    *static_cast<GATEWAY_LEAD *>(pCtx) = *static_cast<GATEWAY_LEAD *>(pGway);
    return pCtx;
}

// Releases a context, or defers the release to the end of a running sending
// pass. The test of State and its change are made under the lock, the same
// lock under which a pass starts and ends, so the two never interleave.
VOID KillContext(PCTX pCtx, ULONG Reason, PADAPTER pAdapter) {
    PCHAIN_DESCR pDescr;

    AcquireSpinLock(&pAdapter->Lock);
    if (pCtx->State == CTX_UNUSED || pCtx->State == CTX_FREE) {
        pCtx->Reserved = 0; // an incoming call given up before it connected
        ReleaseSpinLock(&pAdapter->Lock);
        return;
    }
    if (pCtx->State == CTX_OPEN_SENDING_DATA) {
        pCtx->State = CTX_CLEARING;
        pCtx->KillReason = Reason;
        ReleaseSpinLock(&pAdapter->Lock);
        return;
    }
    pCtx->State = CTX_FREE;
    pCtx->Reserved = 0;
    ReleaseSpinLock(&pAdapter->Lock);

    for (int i = 0; i < MAX_RX_BUFFER; i++) {
        pDescr = pCtx->RxDescr[i];
        pCtx->RxDescr[i] = NULL;
        FreeChainDescr(pAdapter, pDescr);
    }

    for (;;) {
        AcquireSpinLock(&pAdapter->Lock);
        pDescr = QueueHead(&pAdapter->RxQueue);
        ReleaseSpinLock(&pAdapter->Lock);
        if (pDescr == NULL)
            break;
        ChainRemove(pAdapter, pDescr);
        FreeChainDescr(pAdapter, pDescr);
    }

    for (;;) {
        AcquireSpinLock(&pAdapter->Lock);
        pDescr = QueueHead(&pCtx->SendQueue);
        ReleaseSpinLock(&pAdapter->Lock);
        if (pDescr == NULL)
            break;
        if (pAdapter->MiniportAdapterHandle != NULL)
            ZolCompleteSend(pDescr, pAdapter, NDIS_STATUS_FAILURE);
        ChainRemove(pAdapter, pDescr);
        FreeChainDescr(pAdapter, pDescr);
    }
}

// ---- TAPI device registration and RAS ports ---------------------------------------------

// Reads the RAS port list into the line devices; joins with the registry work.
NTSTATUS ProcessTapiDevicesSection(PADAPTER pAdapter) {
    (void)pAdapter;
    return STATUS_SUCCESS;
}

// Resets both line devices; called on reconfiguration.
NTSTATUS ProcessPortsInit(PADAPTER pAdapter) {
    (void)pAdapter;
    return STATUS_SUCCESS;
}

// ---- String and number routines ----------------------------------------------------------

// Digits of Value in Base, most significant first, no leading zeros, then a
// zero character. The buffer holds 9 characters at least.
NDIS_STATUS NdisIntegerToUnicodeString(ULONG Value, ULONG Base, PNDIS_STRING String) {
    ULONG Place = Base * Base * Base * Base * Base * Base * Base; // Base to the power 7
    USHORT n = 0;
    BOOLEAN Started = FALSE;
    for (;;) {
        ULONG Digit = Value / Place;
        Value %= Place;
        if (Digit != 0 || Started || Place == 1) {
            String->Buffer[n++] = static_cast<WCHAR>(Digit < 10 ? u'0' + Digit : u'A' + Digit - 10);
            Started = TRUE;
        }
        if (Place == 1)
            break;
        Place /= Base;
    }
    String->Buffer[n] = 0;
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return NDIS_STATUS_SUCCESS;
}
