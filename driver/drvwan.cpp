// drvwan: the general and WAN information requests, the send path, the
// general loop's processing of the B-channel contexts and the delivery of
// received frames, line up and line down.

#include "tolvanex.h"

// Called through ZolQueryInformation at DISPATCH_LEVEL. The WAN, general and
// TAPI requests join here.
NDIS_STATUS ZolReqQueryInformation(PADAPTER pAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                   ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded) {
    return AnalyseOidTAPIRequest(pAdapter, TRUE, Oid, InformationBuffer, InformationBufferLength, BytesWritten,
                                 BytesNeeded);
}

NDIS_STATUS ZolReqSetInformation(PADAPTER pAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                 ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded) {
    return AnalyseOidTAPIRequest(pAdapter, FALSE, Oid, InformationBuffer, InformationBufferLength, BytesRead,
                                 BytesNeeded);
}

// NDISWAN's send handler, DISPATCH_LEVEL. Frames are refused until the send
// path joins.
NDIS_STATUS NTAPI ZolSend(NDIS_HANDLE MacBindingHandle, NDIS_HANDLE NdisLinkHandle, PNDIS_WAN_PACKET Packet) {
    (void)MacBindingHandle;
    (void)NdisLinkHandle;
    (void)Packet;
    return NDIS_STATUS_FAILURE;
}

// The driver never indicates a partial frame, so there is nothing to transfer.
NDIS_STATUS NTAPI ZolTransferData(VOID) { return NDIS_STATUS_FAILURE; }

// One pass of the general loop over B1 and B2, on the general thread at
// PASSIVE_LEVEL: places requested calls, sends what is queued, and clears
// what is being dropped or has timed out.
VOID ProcessActiveContexts(PADAPTER pAdapter) {
    for (int i = CTX_B1; i <= CTX_B2; i++) {
        PCTX pCtx = &pAdapter->Ctx[i];
        USHORT State = SharedRead(pCtx->State);
        UCHAR hCom = SharedRead(pCtx->hCom);

        if (State == CTX_UNUSED || State == CTX_FREE)
            continue;

        if (State == CTX_CLEARING) {
            // A clearing without a handle has no confirmation to wait for:
            // TAPI already knows the call is idle, so the context is freed.
            if (ValidHandle(hCom))
                ISDN_Clear(hCom, pCtx->PhoneNumber, pAdapter);
            else
                KillContext(pCtx, KILL_REASON_CLEARED, pAdapter);
            continue;
        }

        if (SharedRead(pCtx->TimeoutCount) != 0) {
            if (State == CTX_CALL_REQUESTED) {
                SharedWrite(pCtx->State, CTX_CALLING);
                ISDN_Call(pCtx, pAdapter);
            } else if (State == CTX_OPEN || State == CTX_CONNECTED) {
                ProcessOpenContext(pCtx, pAdapter);
            }
            continue;
        }

        // Timed out.
        if (State == CTX_CALL_REQUESTED)
            KillContext(pCtx, KILL_REASON_TIMEOUT, pAdapter);
        else if (ValidHandle(hCom))
            ISDN_Clear(hCom, pCtx->PhoneNumber, pAdapter);
        else if (pCtx->pGway == NULL || pCtx->pGway->CallSeen == 0)
            KillContext(pCtx, KILL_REASON_TIMEOUT, pAdapter);
    }
}

// The sending pass of one connected context, on the general thread. The
// state changes that open and close the pass are made under the lock, the
// same lock KillContext tests under, so a release either defers to the
// pass or happens before it starts.
VOID ProcessOpenContext(PCTX pCtx, PADAPTER pAdapter) {
    PCHAIN_DESCR pDescr;
    NDIS_STATUS Status;
    USHORT Remembered;

    AcquireSpinLock(&pAdapter->Lock);
    if (pCtx->State != CTX_OPEN && pCtx->State != CTX_CONNECTED) {
        ReleaseSpinLock(&pAdapter->Lock);
        return;
    }
    pCtx->State = CTX_OPEN_SENDING_DATA;
    ReleaseSpinLock(&pAdapter->Lock);

    for (;;) {
        if (SharedRead(pCtx->XmitOff) == 1)
            break;
        AcquireSpinLock(&pAdapter->Lock);
        pDescr = QueueHead(&pCtx->SendQueue);
        ReleaseSpinLock(&pAdapter->Lock);
        if (pDescr == NULL)
            break;
        Status = NDIS_STATUS_SUCCESS;
        if (pDescr->Length <= MAX_SEND_FRAME) {
            Status = ISDN_Send(pCtx, pAdapter, pDescr->Data, pDescr->Length) ? NDIS_STATUS_SUCCESS
                                                                              : NDIS_STATUS_FAILURE;
            ZolCompleteSend(pDescr, pAdapter, Status);
        }
        ChainRemove(pAdapter, pDescr);
        FreeChainDescr(pAdapter, pDescr);
        if (Status == NDIS_STATUS_FAILURE)
            break;
        if (SharedRead(pCtx->State) != CTX_OPEN_SENDING_DATA)
            break;
    }

    AcquireSpinLock(&pAdapter->Lock);
    Remembered = pCtx->State;
    pCtx->State = CTX_OPEN;
    ReleaseSpinLock(&pAdapter->Lock);
    if (Remembered == CTX_CLEARING)
        KillContext(pCtx, pCtx->KillReason, pAdapter);
}

// Delivers the received frames to NDISWAN in arrival order, on the general
// thread. Each frame leaves RxQueue under the lock before it is indicated,
// so a release emptying the queue meanwhile never frees the frame in hand.
VOID FeedProtocol(PADAPTER pAdapter) {
    PCHAIN_DESCR pDescr;
    NDIS_STATUS Status;

    for (;;) {
        pDescr = ChainRemoveHead(pAdapter, &pAdapter->RxQueue);
        if (pDescr == NULL)
            return;

        NdisMWanIndicateReceive(&Status, pAdapter->MiniportAdapterHandle,
                                reinterpret_cast<NDIS_HANDLE>(static_cast<ULONG_PTR>(pDescr->NdisLinkContext)),
                                pDescr->Data, pDescr->Length);
        if (Status == NDIS_STATUS_SUCCESS) {
            NdisMWanIndicateReceiveComplete(
                pAdapter->MiniportAdapterHandle,
                reinterpret_cast<NDIS_HANDLE>(static_cast<ULONG_PTR>(pDescr->NdisLinkContext)));
        } else {
            // NDISWAN cannot take our frames: both calls are cleared.
            SharedWrite(pAdapter->Ctx[CTX_B1].TimeoutCount, 0);
            SharedWrite(pAdapter->Ctx[CTX_B2].TimeoutCount, 0);
        }
        if (pAdapter->TraceLevel > TRACE_FULL)
            RaiseDataEvent(pAdapter, EVT_DATA_RECEIVED, pDescr->Length, pDescr->NdisLinkContext);
        FreeChainDescr(pAdapter, pDescr);
    }
}
