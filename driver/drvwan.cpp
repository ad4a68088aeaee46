// drvwan: the general and WAN information requests, the send path, the
// general loop's processing of the B-channel contexts and the delivery of
// received frames, line up and line down.

#include "tolvanex.h"

// ---- WAN information requests -----------------------------------------------------------

// Answered for OID_GEN_SUPPORTED_LIST, in this order.
static const NDIS_OID ZolGlobalSupportedOids[] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_WAN_PROTOCOL_TYPE,
    OID_WAN_MEDIUM_SUBTYPE,
    OID_WAN_HEADER_FORMAT,
    OID_WAN_CURRENT_ADDRESS,
    OID_WAN_GET_INFO,
    OID_WAN_GET_LINK_INFO,
    OID_WAN_GET_COMP_INFO,
    OID_WAN_SET_LINK_INFO,
    OID_WAN_SET_COMP_INFO,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_PRIVATE_RECONFIGURE,
    OID_PRIVATE_RESERVED,
};
static_assert(sizeof(ZolGlobalSupportedOids) == 132, "33 supported OIDs");

// Returned with its NUL.
static const CHAR ZolDescriptor[] = "ZOL NALK WAN TAPI Miniport driver";
static_assert(sizeof(ZolDescriptor) == 34, "vendor description and its NUL");

// The six letters, no terminator.
static const UCHAR ZolTapiWanAddress[6] = {'T', 'o', 'l', 'v', 'a', 'n'};

static const UCHAR ZolVendorId[4] = {0xFF, 0xFF, 0xFF, 0x00};

static BOOLEAN IsLinkHandle(ULONG Handle, PADAPTER pAdapter) {
    return LookForWanContext(reinterpret_cast<NDIS_HANDLE>(static_cast<ULONG_PTR>(Handle)), pAdapter);
}

// OID_WAN_GET_LINK_INFO: the link handle is checked before the length, so a
// stale handle is refused whatever the buffer. A buffer too short to hold
// the handle cannot name a link and is answered as too short.
static NDIS_STATUS QueryLinkInfo(PADAPTER pAdapter, PVOID InformationBuffer, ULONG InformationBufferLength,
                                 PULONG BytesWritten, PULONG BytesNeeded) {
    ULONG Handle;
    PCTX pCtx;
    USHORT State;

    if (InformationBufferLength < sizeof(NDIS_HANDLE32)) {
        *BytesWritten = 0;
        *BytesNeeded = sizeof(NDIS_WAN_GET_LINK_INFO);
        return NDIS_STATUS_BUFFER_TOO_SHORT;
    }
    CopyBytes(&Handle, InformationBuffer, sizeof(Handle)); // NDIS gives no alignment
    if (!IsLinkHandle(Handle, pAdapter))
        return NDIS_STATUS_FAILURE;
    pCtx = ZolContextOf(pAdapter, Handle);
    State = SharedRead(pCtx->State);
    // CTX_CONNECTED is refused: the link is not announced as open until the
    // general loop's next pass over it.
    if (State != CTX_OPEN && State != CTX_OPEN_SENDING_DATA)
        return NDIS_STATUS_FAILURE;
    if (InformationBufferLength < sizeof(NDIS_WAN_GET_LINK_INFO)) {
        *BytesWritten = 0;
        *BytesNeeded = sizeof(NDIS_WAN_GET_LINK_INFO);
        return NDIS_STATUS_BUFFER_TOO_SHORT;
    }
    CopyBytes(InformationBuffer, &pCtx->LinkInfo, sizeof(NDIS_WAN_GET_LINK_INFO));
    *BytesWritten = sizeof(NDIS_WAN_GET_LINK_INFO);
    return NDIS_STATUS_SUCCESS;
}

// Called by ZolQueryInformation at DISPATCH_LEVEL. Answers the general and
// WAN queries from constants and the records; every other query, the TAPI
// ones above all, goes to the TAPI dispatcher.
NDIS_STATUS ZolReqQueryInformation(PADAPTER pAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                   ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded) {
    ULONG Value = 0;
    USHORT Version = 0x0300; // NDIS 3.0
    const VOID *pAnswer = &Value;
    ULONG Length = sizeof(ULONG);

    switch (Oid) {
    case OID_GEN_SUPPORTED_LIST:
        pAnswer = ZolGlobalSupportedOids;
        Length = sizeof(ZolGlobalSupportedOids);
        break;
    case OID_GEN_HARDWARE_STATUS:
        Value = NdisHardwareStatusReady;
        break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
        Value = NdisMediumWan;
        break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_CURRENT_LOOKAHEAD:
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
    case OID_GEN_RECEIVE_BUFFER_SPACE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
        Value = 2048;
        break;
    case OID_GEN_MAXIMUM_FRAME_SIZE:
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
        Value = 1500;
        break;
    case OID_GEN_LINK_SPEED:
        Value = 640; // 64 kbit/s in units of 100 bit/s
        break;
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
        Value = 256;
        break;
    case OID_GEN_VENDOR_ID:
        pAnswer = ZolVendorId;
        Length = sizeof(ZolVendorId);
        break;
    case OID_GEN_VENDOR_DESCRIPTION:
        pAnswer = ZolDescriptor;
        Length = sizeof(ZolDescriptor);
        break;
    case OID_GEN_DRIVER_VERSION:
        pAnswer = &Version;
        Length = sizeof(Version);
        break;
    case OID_GEN_MAC_OPTIONS:
        Value = NDIS_MAC_OPTION_RECEIVE_SERIALIZED | NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK;
        break;
    case OID_GEN_XMIT_OK:
    case OID_GEN_RCV_OK:
    case OID_GEN_XMIT_ERROR:
    case OID_GEN_RCV_ERROR:
    case OID_GEN_RCV_NO_BUFFER:
    case OID_WAN_PROTOCOL_TYPE:
    case OID_WAN_GET_COMP_INFO:
    case OID_PRIVATE_RECONFIGURE:
        Value = 0; // no statistics, no protocol, no compression
        break;
    case OID_WAN_CURRENT_ADDRESS:
        pAnswer = ZolTapiWanAddress;
        Length = sizeof(ZolTapiWanAddress);
        break;
    case OID_WAN_MEDIUM_SUBTYPE:
        Value = NdisWanMediumIsdn;
        break;
    case OID_WAN_HEADER_FORMAT:
        Value = NdisWanHeaderEthernet;
        break;
    case OID_WAN_GET_INFO:
        pAnswer = &pAdapter->WanInfo;
        Length = sizeof(NDIS_WAN_INFO);
        break;
    case OID_WAN_GET_LINK_INFO:
        return QueryLinkInfo(pAdapter, InformationBuffer, InformationBufferLength, BytesWritten, BytesNeeded);
    default:
        return AnalyseOidTAPIRequest(pAdapter, FALSE, Oid, InformationBuffer, InformationBufferLength,
                                     BytesWritten, BytesNeeded);
    }

    if (InformationBufferLength < Length) {
        *BytesWritten = 0;
        *BytesNeeded = Length;
        return NDIS_STATUS_BUFFER_TOO_SHORT;
    }
    CopyBytes(InformationBuffer, pAnswer, Length);
    *BytesWritten = Length;
    // A reconfiguration is asked for only by a query that was answered. The
    // general loop takes it on its next turn; it is not woken for it.
    if (Oid == OID_PRIVATE_RECONFIGURE)
        SharedWrite(pAdapter->ReconfigRequest, 1);
    return NDIS_STATUS_SUCCESS;
}

// Stores nothing: NDISWAN may only confirm the value 1, which is not the
// medium subtype the query reports.
static NDIS_STATUS SetWanValueOne(PVOID InformationBuffer, ULONG InformationBufferLength, PULONG BytesRead,
                                  PULONG BytesNeeded) {
    ULONG Value;

    if (InformationBufferLength != sizeof(ULONG)) {
        *BytesRead = 0;
        *BytesNeeded = 0;
        return NDIS_STATUS_BUFFER_TOO_SHORT;
    }
    CopyBytes(&Value, InformationBuffer, sizeof(Value));
    return Value == 1 ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}

// Called by ZolSetInformation at DISPATCH_LEVEL. Keeps the WAN sets and the
// packet filter, and hands every other set to the TAPI dispatcher.
NDIS_STATUS ZolReqSetInformation(PADAPTER pAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                 ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded) {
    NDIS_STATUS Status;
    NDIS_WAN_SET_LINK_INFO LinkInfo;

    switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
        return NDIS_STATUS_INVALID_OID;
    case OID_WAN_MEDIUM_SUBTYPE:
    case OID_WAN_HEADER_FORMAT:
        Status = SetWanValueOne(InformationBuffer, InformationBufferLength, BytesRead, BytesNeeded);
        break;
    case OID_WAN_SET_LINK_INFO:
        if (InformationBufferLength != sizeof(NDIS_WAN_SET_LINK_INFO)) {
            *BytesRead = 0;
            *BytesNeeded = sizeof(NDIS_WAN_SET_LINK_INFO);
            return NDIS_STATUS_INVALID_LENGTH;
        }
        CopyBytes(&LinkInfo, InformationBuffer, sizeof(LinkInfo)); // NDIS gives no alignment
        Status = ZolSetLinkInfo(pAdapter, &LinkInfo);
        *BytesRead = sizeof(NDIS_WAN_SET_LINK_INFO);
        *BytesNeeded = sizeof(NDIS_WAN_SET_LINK_INFO);
        break;
    case OID_WAN_SET_COMP_INFO:
        Status = NDIS_STATUS_SUCCESS; // no compression to set up
        break;
    default:
        Status = AnalyseOidTAPIRequest(pAdapter, TRUE, Oid, InformationBuffer, InformationBufferLength, BytesRead,
                                       BytesNeeded);
        break;
    }
    if (Status == NDIS_STATUS_SUCCESS) {
        *BytesRead = InformationBufferLength;
        *BytesNeeded = 0;
    }
    return Status;
}

// Called by ZolReqSetInformation at DISPATCH_LEVEL. Stores NDISWAN's
// settings for a link whole, handle word included; the driver applies none
// of them to the frames. The context is read and written without the lock:
// LinkInfo is written only here and by InitContext.
NDIS_STATUS ZolSetLinkInfo(PADAPTER pAdapter, PNDIS_WAN_SET_LINK_INFO pInfo) {
    PCTX pCtx;
    USHORT State;

    if (!IsLinkHandle(pInfo->NdisLinkHandle, pAdapter))
        return NDIS_STATUS_INVALID_DATA;
    pCtx = ZolContextOf(pAdapter, pInfo->NdisLinkHandle);
    State = SharedRead(pCtx->State);
    if (State != CTX_OPEN && State != CTX_CONNECTED && State != CTX_OPEN_SENDING_DATA)
        return NDIS_STATUS_RESOURCES;
    CopyBytes(&pCtx->LinkInfo, pInfo, sizeof(NDIS_WAN_SET_LINK_INFO));
    return NDIS_STATUS_SUCCESS;
}

// ---- Send path ---------------------------------------------------------------------------

// TRUE when the link handle names B1 or B2 and that context is neither
// unused nor being cleared. Any IRQL up to DISPATCH_LEVEL.
BOOLEAN LookForWanContext(NDIS_HANDLE NdisLinkHandle, PADAPTER pAdapter) {
    PCTX pCtx = ZolContextOf(pAdapter, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(NdisLinkHandle)));
    if (pCtx == NULL)
        return FALSE;
    USHORT State = SharedRead(pCtx->State);
    return State != CTX_UNUSED && State != CTX_CLEARING;
}

static BOOLEAN InDataPhase(USHORT State) {
    return State == CTX_OPEN || State == CTX_CONNECTED || State == CTX_OPEN_SENDING_DATA;
}

// NDISWAN's send handler, normally at DISPATCH_LEVEL: queues the frame for
// the general thread and answers pending. A frame longer than the sending
// pass would send is refused at once, so no packet is ever kept without a
// completion owed for it.
NDIS_STATUS NTAPI ZolSend(NDIS_HANDLE MacBindingHandle, NDIS_HANDLE NdisLinkHandle, PNDIS_WAN_PACKET Packet) {
    PADAPTER pAdapter = static_cast<PADAPTER>(MacBindingHandle);
    PCTX pCtx;
    PCHAIN_DESCR pDescr;
    ULONG Length;
    UCHAR Dropped;

    if (!LookForWanContext(NdisLinkHandle, pAdapter)) {
        if (pAdapter->TraceLevel >= TRACE_DATAS)
            RaiseEvent(pAdapter, 0, SECTION_WAN, EVT_SEND_INVALID_LINK);
        return NDIS_STATUS_FAILURE;
    }
    pCtx = ZolContextOf(pAdapter, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(NdisLinkHandle)));
    // A call TAPI has dropped takes no more frames, as a clearing one does,
    // even while the sending pass that saw the drop is still ending.
    if (SharedRead(pCtx->Dropped))
        return NDIS_STATUS_FAILURE;
    if (!InDataPhase(SharedRead(pCtx->State)))
        return NDIS_STATUS_SUCCESS;

    Length = Packet->CurrentLength;
    if (Length > MAX_SEND_FRAME)
        return NDIS_STATUS_FAILURE;
    pDescr = AllocChainDescr(pAdapter, static_cast<USHORT>(Length));
    if (pDescr == NULL)
        return NDIS_STATUS_RESOURCES;
    pDescr->WanPacket = Packet;
    pDescr->Flink = pDescr->Blink = pDescr;
    CopyBytes(pDescr->Data, Packet->CurrentBuffer, Length);
    pDescr->Length = static_cast<USHORT>(Length);

    // The state is tested again under the lock: a release between the first
    // test and the append would otherwise leave the frame queued on a free
    // context, never completed.
    AcquireSpinLock(&pAdapter->Lock);
    if (!InDataPhase(SharedRead(pCtx->State)) || SharedRead(pCtx->Dropped)) {
        Dropped = SharedRead(pCtx->Dropped);
        ReleaseSpinLock(&pAdapter->Lock);
        FreeChainDescr(pAdapter, pDescr);
        return Dropped ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
    }
    ChainAdd(pAdapter, pCtx->SendQueue.Blink, pDescr);
    if (SharedRead(pCtx->TimeoutCount) != 0)
        SharedWrite(pCtx->TimeoutCount, pCtx->Timeout);
    ReleaseSpinLock(&pAdapter->Lock);

    if (pAdapter->TraceLevel > TRACE_FULL)
        RaiseDataEvent(pAdapter, EVT_DATA_SENT, Length,
                       static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(NdisLinkHandle)));
    ZolSetEvent(pAdapter);
    return NDIS_STATUS_PENDING;
}

// The driver never indicates a partial frame, so there is nothing to transfer.
NDIS_STATUS NTAPI ZolTransferData(VOID) { return NDIS_STATUS_FAILURE; }

// ---- Context processing and receive delivery ------------------------------------------------

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
            // TAPI already knows the call is idle, so the context is freed,
            // and its line with it.
            if (ValidHandle(hCom)) {
                ISDN_Clear(hCom, pCtx->PhoneNumber, pAdapter);
            } else {
                PGATEWAY pGway = pCtx->pGway;
                if (KillContextIn(pCtx, CTX_CLEARING, KILL_REASON_CLEARED, pAdapter))
                    ReleaseGatewayCall(pAdapter, pGway, pCtx);
            }
            continue;
        }

        if (SharedRead(pCtx->TimeoutCount) != 0) {
            if (State == CTX_CALL_REQUESTED) {
                // Under the lock: a drop that came since the look above wins.
                BOOLEAN Place;
                AcquireSpinLock(&pAdapter->Lock);
                Place = SharedRead(pCtx->State) == CTX_CALL_REQUESTED;
                if (Place)
                    SharedWrite(pCtx->State, CTX_CALLING);
                ReleaseSpinLock(&pAdapter->Lock);
                if (Place)
                    ISDN_Call(pCtx, pAdapter);
            } else if (State == CTX_OPEN || State == CTX_CONNECTED) {
                ProcessOpenContext(pCtx, pAdapter);
            }
            continue;
        }

        // Timed out.
        if (State == CTX_CALL_REQUESTED)
            EndUnplacedCall(pAdapter, pCtx, KILL_REASON_TIMEOUT);
        else if (ValidHandle(hCom))
            ISDN_Clear(hCom, pCtx->PhoneNumber, pAdapter);
        else if (pCtx->pGway == NULL || pCtx->pGway->CallSeen == 0)
            KillContextIn(pCtx, State, KILL_REASON_TIMEOUT, pAdapter);
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
    UCHAR Dropped;

    AcquireSpinLock(&pAdapter->Lock);
    if (SharedRead(pCtx->State) != CTX_OPEN && SharedRead(pCtx->State) != CTX_CONNECTED) {
        ReleaseSpinLock(&pAdapter->Lock);
        return;
    }
    SharedWrite(pCtx->State, CTX_OPEN_SENDING_DATA);
    ReleaseSpinLock(&pAdapter->Lock);

    for (;;) {
        if (SharedRead(pCtx->XmitOff) == 1)
            break;
        // A release or a TAPI drop that came in meanwhile ends the pass
        // before the next frame.
        if (SharedRead(pCtx->State) != CTX_OPEN_SENDING_DATA || SharedRead(pCtx->Dropped))
            break;
        AcquireSpinLock(&pAdapter->Lock);
        pDescr = QueueHead(&pCtx->SendQueue);
        ReleaseSpinLock(&pAdapter->Lock);
        if (pDescr == NULL)
            break;
        // The send handler refuses frames over MAX_SEND_FRAME, so a longer
        // one is never queued by it; the pass still frees one unsent and
        // without a completion rather than hand it to the ISDN driver.
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
    }

    // A release that came in is carried out now. A drop leaves the call
    // clearing, for the general loop to clear, and the frames behind the
    // one in hand are answered as failed: the line is down already.
    AcquireSpinLock(&pAdapter->Lock);
    Remembered = SharedRead(pCtx->State);
    Dropped = SharedRead(pCtx->Dropped);
    SharedWrite(pCtx->State, (Dropped && Remembered != CTX_CLEARING) ? CTX_CLEARING : CTX_OPEN);
    ReleaseSpinLock(&pAdapter->Lock);
    if (Remembered == CTX_CLEARING)
        KillContext(pCtx, pCtx->KillReason, pAdapter);
    else if (Dropped)
        FailQueuedSends(pAdapter, pCtx);
}

// Whether a B-channel context still has its line up on this link context.
// A frame whose line went down after it was queued (a TAPI drop) is not
// indicated: NDISWAN has let that link go.
static BOOLEAN LinkIsUp(PADAPTER pAdapter, ULONG Link) {
    for (int i = CTX_B1; i <= CTX_B2; i++) {
        PCTX pCtx = &pAdapter->Ctx[i];
        if (Link != 0 && SharedRead(pCtx->NdisLinkContext) == Link && SharedRead(pCtx->LineUp) == 1)
            return TRUE;
    }
    return FALSE;
}

// Delivers the received frames to NDISWAN in arrival order, on the general
// thread. Each frame leaves RxQueue under the lock before it is indicated,
// so a release emptying the queue meanwhile never frees the frame in hand.
// Frames never reach NDISWAN on a link that is not up.
VOID FeedProtocol(PADAPTER pAdapter) {
    PCHAIN_DESCR pDescr;
    NDIS_STATUS Status;

    for (;;) {
        pDescr = ChainRemoveHead(pAdapter, &pAdapter->RxQueue);
        if (pDescr == NULL)
            return;
        if (!LinkIsUp(pAdapter, pDescr->NdisLinkContext)) {
            AcquireSpinLock(&pAdapter->Lock);
            pAdapter->FramesWithoutLink++;
            ReleaseSpinLock(&pAdapter->Lock);
            FreeChainDescr(pAdapter, pDescr);
            continue;
        }

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

// ---- Line up and line down ------------------------------------------------------------
// Called on a receive thread (connection and clear confirmations) or on
// NDIS's request path (answer, drop); no lock is taken.

NDIS_STATUS ZolWanSendLineUp(PADAPTER pAdapter, PCTX pCtx) {
    NDIS_MAC_LINE_UP LineUp;
    if (SharedRead(pCtx->LineUp) == 1)
        return NDIS_STATUS_SUCCESS;
    ZeroBytes(&LineUp, sizeof(LineUp));
    LineUp.LinkSpeed = pCtx->LinkSpeed / 100;
    LineUp.Quality = NdisWanReliable;
    LineUp.SendWindow = 16;
    LineUp.ConnectionWrapperID = pCtx->pGway != NULL ? pCtx->pGway->htCall : 0;
    LineUp.NdisLinkHandle = ZolIdentity(pAdapter, pCtx);
    LineUp.NdisLinkContext = 0;
    ZolIndicateStatus(pAdapter, NDIS_STATUS_WAN_LINE_UP, &LineUp, sizeof(LineUp));
    // The link context first: a receive thread that sees the line up must
    // also see the link its frames go on.
    SharedWrite(pCtx->NdisLinkContext, LineUp.NdisLinkContext);
    SharedWrite(pCtx->LineUp, 1);
    return NDIS_STATUS_SUCCESS;
}

// Tested on NdisLinkContext, not LineUp: a second line-down for the same
// link is indicated again.
NDIS_STATUS ZolWanSendLineDown(PADAPTER pAdapter, PCTX pCtx) {
    NDIS_MAC_LINE_DOWN LineDown;
    if (SharedRead(pCtx->NdisLinkContext) == 0)
        return NDIS_STATUS_SUCCESS;
    // Down before NDISWAN hears it, so no frame is delivered in between.
    SharedWrite(pCtx->LineUp, 0);
    LineDown.NdisLinkContext = SharedRead(pCtx->NdisLinkContext);
    ZolIndicateStatus(pAdapter, NDIS_STATUS_WAN_LINE_DOWN, &LineDown, sizeof(LineDown));
    return NDIS_STATUS_SUCCESS;
}
