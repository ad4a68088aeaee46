// drvoid: the TAPI OID requests for lines, addresses, devices and calls, and
// the analysis of dial strings.
//
// Every request here is answered at once, on NDIS's request path at
// DISPATCH_LEVEL, without a word to the ISDN driver: calls are placed and
// cleared by the general thread from the context states set here. The make
// call and the drop take the lock to set their context's state. NDIS TAPI
// normally hands over whole, consistent records; a buffer that does not
// hold the record a request reads or writes, or a variable part that points
// outside the buffer, is refused before anything is read or changed.

#include "tolvanex.h"

// Texts of the line capabilities.
static const CHAR ProviderInfo[14] = {'I', 'S', 'D', 'N', 0, 'T', 'O', 'L', 'V', 'A', 'N', 'E', 'X', 0};
static const CHAR LineNamePrefix[18] = {'Z', 'O', 'L', ' ', 'N', 'A', 'L', 'K', ' ',
                                        'C', 'h', 'a', 'n', 'n', 'e', 'l', ' ', 'B'};
// The line name: the prefix, the channel digit and a NUL.
#define LINE_NAME_SIZE (sizeof(LineNamePrefix) + 2)
// Capabilities with both texts, and with the request's head.
#define DEV_CAPS_NEEDED (sizeof(LINE_DEV_CAPS) + sizeof(ProviderInfo) + LINE_NAME_SIZE)
#define DEV_CAPS_WRITTEN (offsetof(NDIS_TAPI_GET_DEV_CAPS, LineDevCaps) + DEV_CAPS_NEEDED)

// What the capabilities and the call information report: 0x4357 and 0x01040ECE.
#define TAPI_CALL_STATES                                                                                               \
    (LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED | LINECALLSTATE_DIALING |                    \
     LINECALLSTATE_BUSY | LINECALLSTATE_CONNECTED | LINECALLSTATE_PROCEEDING | LINECALLSTATE_DISCONNECTED)
#define TAPI_LINE_STATES                                                                                               \
    (LINEDEVSTATE_RINGING | LINEDEVSTATE_CONNECTED | LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_INSERVICE |              \
     LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE | LINEDEVSTATE_NUMCALLS |                      \
     LINEDEVSTATE_REINIT | LINEDEVSTATE_REMOVED)

// Bits per second of one B channel.
#define TAPI_RATE 64000

// The answers of the two identification requests, VAR_STRING included:
// the configuration "ISDN" and a NUL; a call's htCall, "isdn" and a NUL; a
// line's device ID.
#define DEV_CONFIG_NEEDED (sizeof(VAR_STRING) + sizeof("ISDN"))
#define CALL_ID_NEEDED (sizeof(VAR_STRING) + sizeof(ULONG) + sizeof("isdn"))
#define LINE_ID_NEEDED (sizeof(VAR_STRING) + sizeof(ULONG))

// Where the call parameters sit in the byte-packed make-call request.
#define MAKE_CALL_PARAMS_AT offsetof(NDIS_TAPI_MAKE_CALL, LineCallParams)

static_assert(DEV_CAPS_NEEDED == 270 && DEV_CAPS_WRITTEN == 282, "line capabilities");
static_assert(DEV_CONFIG_NEEDED == 29 && CALL_ID_NEEDED == 33 && LINE_ID_NEEDED == 28, "identification answers");
static_assert(MAKE_CALL_PARAMS_AT == 25, "make-call parameters");

// ---- Bounds of requests -------------------------------------------------------------------

// A buffer shorter than the record the request reads or writes.
static NDIS_STATUS RefuseLength(ULONG Needed, PULONG BytesNeeded) {
    *BytesNeeded = Needed;
    return NDIS_STATUS_INVALID_LENGTH;
}

// Size bytes at Offset lie inside a buffer of Length bytes.
static BOOLEAN Inside(ULONG Offset, ULONG Size, ULONG Length) {
    return Offset <= Length && Size <= Length - Offset;
}

// The ulTotalSize of a result record that starts Head bytes into the buffer
// must not reach past the buffer: the variable part is written up to it.
// Length is at least Head + the fixed record when this is asked.
static BOOLEAN TotalSizeFits(ULONG Head, ULONG TotalSize, ULONG Length, PULONG BytesNeeded) {
    if (TotalSize <= Length - Head)
        return TRUE;
    *BytesNeeded = TotalSize > 0xFFFFFFFF - Head ? 0xFFFFFFFF : Head + TotalSize;
    return FALSE;
}

static VOID PutUlong(PUCHAR Destination, ULONG Value) {
    Destination[0] = static_cast<UCHAR>(Value);
    Destination[1] = static_cast<UCHAR>(Value >> 8);
    Destination[2] = static_cast<UCHAR>(Value >> 16);
    Destination[3] = static_cast<UCHAR>(Value >> 24);
}

// A device class is named by its first characters; bytes past the buffer
// never match.
static BOOLEAN ClassIs(PUCHAR Request, ULONG Length, ULONG Offset, PCSTR Name, ULONG Count) {
    if (!Inside(Offset, Count, Length))
        return FALSE;
    return Mystrnicmp(Name, reinterpret_cast<PCSTR>(Request + Offset), Count) == 0;
}

// ---- Line and device requests ---------------------------------------------------------------

// Every handler runs once the dispatcher (TapiRequests, at the end) has
// found its record whole in the buffer.

static NDIS_STATUS TapiProviderInitialize(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG BytesWritten, PULONG) {
    PNDIS_TAPI_PROVIDER_INITIALIZE pReq = static_cast<PNDIS_TAPI_PROVIDER_INITIALIZE>(Buffer);

    pAdapter->DeviceIDBase = pReq->ulDeviceIDBase;
    pReq->ulNumLineDevs = pAdapter->AddressIndex;
    pReq->ulProviderID = ZolIdentity(pAdapter, pAdapter);
    *BytesWritten = sizeof(NDIS_TAPI_PROVIDER_INITIALIZE);
    return NDIS_STATUS_SUCCESS;
}

// Opening a line is also what starts listening for incoming calls.
static NDIS_STATUS TapiOpen(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG BytesWritten, PULONG) {
    PNDIS_TAPI_OPEN pReq = static_cast<PNDIS_TAPI_OPEN>(Buffer);
    PGATEWAY pGway;

    pGway = FindNewInboundTapiEntry(pAdapter, pReq->ulDeviceID);
    if (pGway == NULL)
        return NDIS_STATUS_TAPI_RESOURCEUNAVAIL;
    // The thread stop at halt acts only when this is 1.
    if (pAdapter->ThreadsCreated == 0)
        pAdapter->ThreadsCreated = 1;
    SharedWrite(pAdapter->ListenRequest, 1);
    AcquireSpinLock(&pAdapter->Lock); // against the copy an incoming call makes
    pGway->htLine = pReq->htLine;
    pGway->htCall = 0;
    pGway->DeviceID = pReq->ulDeviceID;
    ReleaseSpinLock(&pAdapter->Lock);
    pReq->hdLine = ZolIdentity(pAdapter, pGway);
    *BytesWritten = sizeof(NDIS_TAPI_OPEN);
    return NDIS_STATUS_SUCCESS;
}

// A call still up on the line is left to the drop, the network or its
// time-out; only TAPI's handles go.
static NDIS_STATUS TapiClose(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG, PULONG) {
    PNDIS_TAPI_CLOSE pReq = static_cast<PNDIS_TAPI_CLOSE>(Buffer);
    PGATEWAY pGway;
    PCTX pCtx;

    pGway = FindIsdnTapiEntry(pReq->hdLine, pAdapter);
    if (pGway == NULL)
        return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    ZolTapiIndicateStatus(pAdapter, pGway, LINECALLSTATE_IDLE); // while the handles still hold
    AcquireSpinLock(&pAdapter->Lock); // against an incoming call looking for a line
    pGway->htLine = 0;
    ReleaseSpinLock(&pAdapter->Lock);
    // The line's last call may be over and its channel another line's now.
    pCtx = LookForTapiContext(pGway->hdCall, pAdapter);
    if (pCtx != NULL && pCtx->pGway == pGway) {
        SharedWrite(pCtx->htLine, 0);
        SharedWrite(pCtx->htCall, 0);
    }
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetDevCaps(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG BytesWritten, PULONG) {
    PNDIS_TAPI_GET_DEV_CAPS pReq = static_cast<PNDIS_TAPI_GET_DEV_CAPS>(Buffer);
    PLINE_DEV_CAPS pCaps = &pReq->LineDevCaps;
    PUCHAR pCapsBytes = reinterpret_cast<PUCHAR>(pCaps);
    CHAR LineName[LINE_NAME_SIZE];
    ULONG TotalSize, Room, Count;

    TotalSize = pCaps->ulTotalSize;
    if (FindGatewayByDeviceID(pAdapter, pReq->ulDeviceID) == NULL)
        return NDIS_STATUS_TAPI_NODRIVER;
    if (TotalSize < sizeof(LINE_DEV_CAPS))
        return NDIS_STATUS_TAPI_STRUCTURETOOSMALL;

    ZeroBytes(pCaps, TotalSize);
    pCaps->ulTotalSize = TotalSize;

    // The channel digit: '1' plus the remainder of the device ID's low
    // byte, taken as signed, divided by 2.
    CopyBytes(LineName, LineNamePrefix, sizeof(LineNamePrefix));
    LineName[sizeof(LineNamePrefix)] =
        static_cast<CHAR>('1' + static_cast<LONG>(static_cast<signed char>(pReq->ulDeviceID & 0xFF)) % 2);
    LineName[sizeof(LineNamePrefix) + 1] = 0;

    pCaps->ulUsedSize = sizeof(LINE_DEV_CAPS);
    pCaps->ulNeededSize = DEV_CAPS_NEEDED;
    Room = TotalSize - sizeof(LINE_DEV_CAPS);
    if (Room != 0) {
        Count = Room < sizeof(ProviderInfo) ? Room : sizeof(ProviderInfo);
        CopyBytes(pCapsBytes + sizeof(LINE_DEV_CAPS), ProviderInfo, Count);
        pCaps->ulProviderInfoSize = Count;
        pCaps->ulProviderInfoOffset = sizeof(LINE_DEV_CAPS);
        pCaps->ulUsedSize += Count;
        Room -= Count;
    }
    if (Room != 0) {
        Count = Room < LINE_NAME_SIZE ? Room : LINE_NAME_SIZE;
        CopyBytes(pCapsBytes + pCaps->ulUsedSize, LineName, Count);
        pCaps->ulLineNameSize = Count;
        pCaps->ulLineNameOffset = pCaps->ulUsedSize;
        pCaps->ulUsedSize += Count;
    }

    pCaps->ulPermanentLineID = ZolIdentity(pAdapter, pAdapter);
    pCaps->ulStringFormat = STRINGFORMAT_ASCII;
    pCaps->ulAddressModes = LINEADDRESSMODE_ADDRESSID;
    pCaps->ulNumAddresses = 1;
    pCaps->ulBearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_DATA;
    pCaps->ulMaxRate = TAPI_RATE;
    pCaps->ulMediaModes = LINEMEDIAMODE_DIGITALDATA;
    pCaps->ulAnswerMode = LINEANSWERMODE_DROP;
    pCaps->ulMaxNumActiveCalls = 1;
    pCaps->ulLineStates = TAPI_LINE_STATES;
    *BytesWritten = DEV_CAPS_WRITTEN; // the full answer, whatever fitted
    return NDIS_STATUS_SUCCESS;
}

// Records the address ID TAPI uses for the line: the address-state events
// carry it.
static NDIS_STATUS TapiGetAddressCaps(PADAPTER pAdapter, PVOID Buffer, ULONG Length, PULONG BytesWritten,
                                      PULONG BytesNeeded) {
    PNDIS_TAPI_GET_ADDRESS_CAPS pReq = static_cast<PNDIS_TAPI_GET_ADDRESS_CAPS>(Buffer);
    PLINE_ADDRESS_CAPS pCaps = &pReq->LineAddressCaps;
    PGATEWAY pGway;
    ULONG AddressLength;

    pGway = FindGatewayByDeviceID(pAdapter, pReq->ulDeviceID);
    if (pGway == NULL)
        return NDIS_STATUS_TAPI_NODRIVER;
    AcquireSpinLock(&pAdapter->Lock); // against the copy an incoming call makes
    pGway->AddressID = pReq->ulAddressID;
    pGway->DeviceID = pReq->ulDeviceID;
    ReleaseSpinLock(&pAdapter->Lock);

    // The address text and its NUL; it never holds more than 15 characters.
    AddressLength = 0;
    while (AddressLength < sizeof(pGway->Address) - 1 && pGway->Address[AddressLength] != 0)
        AddressLength++;
    AddressLength++;
    pCaps->ulUsedSize = sizeof(LINE_ADDRESS_CAPS);
    pCaps->ulNeededSize = sizeof(LINE_ADDRESS_CAPS) + AddressLength;
    if (pCaps->ulTotalSize >= pCaps->ulNeededSize) {
        PUCHAR pText = reinterpret_cast<PUCHAR>(pCaps) + sizeof(LINE_ADDRESS_CAPS);
        CopyBytes(pText, pGway->Address, AddressLength - 1);
        pText[AddressLength - 1] = 0;
        pCaps->ulAddressSize = AddressLength;
        pCaps->ulAddressOffset = sizeof(LINE_ADDRESS_CAPS);
        pCaps->ulUsedSize += AddressLength;
    }

    pCaps->ulLineDeviceID = pReq->ulDeviceID;
    pCaps->ulDevSpecificSize = 0;
    pCaps->ulDevSpecificOffset = 0;
    pCaps->ulAddressSharing = LINEADDRESSSHARING_PRIVATE;
    pCaps->ulAddressStates = LINEADDRESSSTATE_OTHER | LINEADDRESSSTATE_INUSEZERO | LINEADDRESSSTATE_INUSEONE |
                             LINEADDRESSSTATE_INUSEMANY | LINEADDRESSSTATE_NUMCALLS;
    pCaps->ulCallInfoStates = LINECALLINFOSTATE_APPSPECIFIC;
    pCaps->ulCallStates = TAPI_CALL_STATES;
    pCaps->ulDialToneModes = LINEDIALTONEMODE_UNAVAIL;
    pCaps->ulBusyModes = LINEBUSYMODE_UNAVAIL;
    pCaps->ulSpecialInfo = LINESPECIALINFO_UNAVAIL;
    pCaps->ulDisconnectModes =
        LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_UNKNOWN | LINEDISCONNECTMODE_BUSY | LINEDISCONNECTMODE_NOANSWER;
    pCaps->ulMaxNumActiveCalls = 1;
    pCaps->ulMaxNumOnHoldCalls = 0;
    pCaps->ulMaxNumOnHoldPendingCalls = 0;
    pCaps->ulMaxNumConference = 0;
    pCaps->ulMaxNumTransConf = 0;
    pCaps->ulAddrCapFlags = LINEADDRCAPFLAGS_DIALED;
    pCaps->ulCallFeatures = LINECALLFEATURE_ACCEPT | LINECALLFEATURE_ANSWER | LINECALLFEATURE_COMPLETECALL |
                            LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP;
    ZeroBytes(&pCaps->ulRemoveFromConfCaps,
              sizeof(LINE_ADDRESS_CAPS) - offsetof(LINE_ADDRESS_CAPS, ulRemoveFromConfCaps));
    *BytesWritten = Length;
    *BytesNeeded = Length;
    return NDIS_STATUS_SUCCESS;
}

// The line has one address, 0, whatever TAPI names.
static NDIS_STATUS TapiGetAddressID(PADAPTER pAdapter, PVOID Buffer, ULONG Length, PULONG BytesWritten,
                                    PULONG BytesNeeded) {
    PNDIS_TAPI_GET_ADDRESS_ID pReq = static_cast<PNDIS_TAPI_GET_ADDRESS_ID>(Buffer);

    if (FindIsdnTapiEntry(pReq->hdLine, pAdapter) == NULL)
        return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    pReq->ulAddressID = 0;
    *BytesWritten = Length;
    *BytesNeeded = Length;
    return NDIS_STATUS_SUCCESS;
}

// The address is in use while the line's call is in any state but idle.
static NDIS_STATUS TapiGetAddressStatus(PADAPTER pAdapter, PVOID Buffer, ULONG Length, PULONG BytesWritten,
                                        PULONG BytesNeeded) {
    PNDIS_TAPI_GET_ADDRESS_STATUS pReq = static_cast<PNDIS_TAPI_GET_ADDRESS_STATUS>(Buffer);
    PLINE_ADDRESS_STATUS pStatus = &pReq->LineAddressStatus;
    PCTX pCtx;

    *BytesWritten = Length;
    *BytesNeeded = Length;
    pStatus->ulNeededSize = sizeof(LINE_ADDRESS_STATUS);
    pStatus->ulUsedSize = sizeof(LINE_ADDRESS_STATUS);
    pStatus->ulNumInUse = 0;
    pStatus->ulNumActiveCalls = 0;
    pStatus->ulAddressFeatures = LINEADDRFEATURE_MAKECALL;
    pStatus->ulNumRingsNoAnswer = 999;
    pCtx = LookForTapiContextByHdline(pReq->hdLine, pAdapter);
    if (pCtx != NULL && pCtx->pGway != NULL && pCtx->pGway->CallState != LINECALLSTATE_IDLE) {
        pStatus->ulNumInUse = 1;
        pStatus->ulNumActiveCalls = 1;
        pStatus->ulAddressFeatures = 0;
    }
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetLineDevStatus(PADAPTER pAdapter, PVOID Buffer, ULONG Length, PULONG BytesWritten,
                                        PULONG BytesNeeded) {
    PNDIS_TAPI_GET_LINE_DEV_STATUS pReq = static_cast<PNDIS_TAPI_GET_LINE_DEV_STATUS>(Buffer);
    PLINE_DEV_STATUS pStatus = &pReq->LineDevStatus;
    PCTX pCtx;

    pCtx = LookForTapiContextByHdline(pReq->hdLine, pAdapter);
    pStatus->ulNumActiveCalls = (pCtx != NULL && SharedRead(pCtx->State) == CTX_OPEN) ? 1 : 0;
    pStatus->ulLineFeatures = LINEFEATURE_MAKECALL;
    pStatus->ulRingMode = 0;
    pStatus->ulDevStatusFlags = LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE;
    *BytesWritten = Length;
    *BytesNeeded = Length;
    return NDIS_STATUS_SUCCESS;
}

// No extension: the device ID is not looked at.
static NDIS_STATUS TapiGetExtensionID(PADAPTER, PVOID Buffer, ULONG, PULONG BytesWritten, PULONG) {
    PNDIS_TAPI_GET_EXTENSION_ID pReq = static_cast<PNDIS_TAPI_GET_EXTENSION_ID>(Buffer);

    pReq->LineExtensionID.ulExtensionID0 = 0;
    pReq->LineExtensionID.ulExtensionID1 = 0;
    pReq->LineExtensionID.ulExtensionID2 = 0;
    pReq->LineExtensionID.ulExtensionID3 = 0;
    *BytesWritten = sizeof(NDIS_TAPI_GET_EXTENSION_ID);
    return NDIS_STATUS_SUCCESS;
}

// The same configuration for every device and class: "ISDN".
static NDIS_STATUS TapiGetDevConfig(PADAPTER, PVOID Buffer, ULONG Length, PULONG BytesWritten, PULONG BytesNeeded) {
    PNDIS_TAPI_GET_DEV_CONFIG pReq = static_cast<PNDIS_TAPI_GET_DEV_CONFIG>(Buffer);
    PVAR_STRING pConfig = &pReq->DeviceConfig;
    PUCHAR pString = reinterpret_cast<PUCHAR>(pConfig) + sizeof(VAR_STRING);

    pConfig->ulNeededSize = DEV_CONFIG_NEEDED;
    if (pConfig->ulTotalSize < DEV_CONFIG_NEEDED) {
        pConfig->ulUsedSize = pConfig->ulTotalSize;
        pConfig->ulStringSize = 0;
        pConfig->ulStringOffset = 0;
        *BytesWritten = Length;
        *BytesNeeded = Length;
        return NDIS_STATUS_SUCCESS;
    }
    pConfig->ulUsedSize = DEV_CONFIG_NEEDED;
    pConfig->ulStringFormat = STRINGFORMAT_BINARY;
    pConfig->ulStringSize = 4;
    pConfig->ulStringOffset = sizeof(VAR_STRING);
    CopyBytes(pString, "ISDN", 4);
    pString[4] = 0;
    return NDIS_STATUS_SUCCESS;
}

// The ndis class of a call is its TAPI handle and "isdn"; the tapi/line
// class of a line is its device ID, known once a call has bound a context
// to the line.
static NDIS_STATUS TapiGetID(PADAPTER pAdapter, PVOID Buffer, ULONG Length, PULONG BytesWritten, PULONG BytesNeeded) {
    PNDIS_TAPI_GET_ID pReq = static_cast<PNDIS_TAPI_GET_ID>(Buffer);
    PVAR_STRING pID = &pReq->DeviceID;
    PUCHAR pString = reinterpret_cast<PUCHAR>(pID) + sizeof(VAR_STRING);
    PUCHAR pRequest = static_cast<PUCHAR>(Buffer);
    BOOLEAN ClassNdis, ClassLine;
    PCTX pCtx;

    ClassNdis = ClassIs(pRequest, Length, pReq->ulDeviceClassOffset, "ndis", 4);
    ClassLine = !ClassNdis && ClassIs(pRequest, Length, pReq->ulDeviceClassOffset, "tapi/line", 9);
    if (!ClassNdis && !ClassLine)
        return NDIS_STATUS_TAPI_INVALDEVICECLASS;

    switch (pReq->ulSelect) {
    case LINECALLSELECT_CALL:
        pCtx = LookForTapiContext(pReq->hdCall, pAdapter);
        if (pCtx == NULL)
            return NDIS_STATUS_TAPI_INVALCALLHANDLE;
        if (!ClassNdis)
            return NDIS_STATUS_TAPI_INVALDEVICECLASS;
        pID->ulUsedSize = sizeof(VAR_STRING);
        pID->ulNeededSize = CALL_ID_NEEDED;
        if (pID->ulTotalSize >= CALL_ID_NEEDED) {
            pID->ulStringFormat = STRINGFORMAT_BINARY;
            pID->ulStringSize = CALL_ID_NEEDED - sizeof(VAR_STRING);
            pID->ulStringOffset = sizeof(VAR_STRING);
            pID->ulUsedSize = CALL_ID_NEEDED;
            PutUlong(pString, pCtx->pGway != NULL ? pCtx->pGway->htCall : 0);
            CopyBytes(pString + 4, "isdn", 4);
            pString[8] = 0;
            *BytesWritten = Length;
            *BytesNeeded = Length;
        }
        return NDIS_STATUS_SUCCESS;

    case LINECALLSELECT_LINE:
        pCtx = LookForTapiContextByHdline(pReq->hdLine, pAdapter);
        if (pCtx == NULL)
            return NDIS_STATUS_TAPI_INVALLINEHANDLE;
        if (!ClassLine)
            return NDIS_STATUS_TAPI_INVALDEVICECLASS;
        pID->ulUsedSize = sizeof(VAR_STRING);
        pID->ulNeededSize = LINE_ID_NEEDED;
        if (pID->ulTotalSize >= LINE_ID_NEEDED) {
            pID->ulStringFormat = STRINGFORMAT_BINARY;
            pID->ulStringSize = LINE_ID_NEEDED - sizeof(VAR_STRING);
            pID->ulStringOffset = sizeof(VAR_STRING);
            pID->ulUsedSize = LINE_ID_NEEDED;
            PutUlong(pString, FindDeviceIDByGateway(pAdapter, pReq->hdLine));
            *BytesWritten = Length;
            *BytesNeeded = Length;
        }
        return NDIS_STATUS_SUCCESS;

    case LINECALLSELECT_ADDRESS: return NDIS_STATUS_TAPI_INVALDEVICECLASS;

    default: return NDIS_STATUS_FAILURE;
    }
}

static NDIS_STATUS TapiSetAppSpecific(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG, PULONG) {
    PNDIS_TAPI_SET_APP_SPECIFIC pReq = static_cast<PNDIS_TAPI_SET_APP_SPECIFIC>(Buffer);
    PCTX pCtx;

    pCtx = LookForTapiContext(pReq->hdCall, pAdapter);
    if (pCtx == NULL)
        return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    pCtx->AppSpecific = pReq->ulAppSpecific;
    return NDIS_STATUS_SUCCESS;
}

// ---- Call requests ----------------------------------------------------------------------------

// The characters of a dial string that are dialled: digits, 'a' to 'f' in
// either case and '*'. Everything else (blanks, dashes, brackets, '+', '#',
// other letters) is decoration.
static BOOLEAN IsDialled(CHAR c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '*';
}

// Filters a dial string into the gateway's PhoneNumber, keeping the dialled
// characters in order. The string is first terminated in place at Length.
// Returns 1 when the number is taken (an empty one too), 0 when more than
// 32 characters are kept, which leaves PhoneNumber cleared. Called by the
// make-call request, DISPATCH_LEVEL.
USHORT AnalysePhoneNumber(PADAPTER pAdapter, PGATEWAY pGway, PUSHORT Speed, PCHAR DestAddress, ULONG Length) {
    (void)pAdapter;
    ULONG Kept = 0;
    ULONG i;

    DestAddress[Length] = 0;
    ZeroBytes(pGway->PhoneNumber, NUMBER_SIZE);
    pGway->PhoneNumberLength = 0;

    for (i = 0; i < Length; i++)
        if (IsDialled(DestAddress[i]))
            Kept++;
    if (Kept > NUMBER_SIZE - 1)
        return 0;

    *Speed = TAPI_RATE;
    Kept = 0;
    for (i = 0; i < Length; i++)
        if (IsDialled(DestAddress[i]))
            pGway->PhoneNumber[Kept++] = DestAddress[i];
    pGway->PhoneNumberLength = static_cast<UCHAR>(Kept);
    return 1;
}

// Only takes a context for the call, which AllocOutgoingCall publishes:
// the general thread places it on its next turn. TAPI hears of the call
// again when it connects or ends.
static NDIS_STATUS TapiMakeCall(PADAPTER pAdapter, PVOID Buffer, ULONG Length, PULONG BytesWritten, PULONG) {
    // Byte-packed: fields are read by value, never through their address.
    PNDIS_TAPI_MAKE_CALL pReq = static_cast<PNDIS_TAPI_MAKE_CALL>(Buffer);
    PGATEWAY pGway;
    PCTX pCtx;
    USHORT Speed = 0;
    ULONG DestSize, DestOffset, CommentSize, CommentOffset;
    BOOLEAN UseComment;

    pGway = FindIsdnTapiEntry(pReq->hdLine, pAdapter);
    if (pGway == NULL)
        return NDIS_STATUS_TAPI_INVALLINEHANDLE;
    if (pGway->htCall != 0)
        return NDIS_STATUS_TAPI_INUSE;

    // A comment outside the request refuses the call before anything changes.
    CommentSize = pReq->LineCallParams.ulCommentSize;
    CommentOffset = pReq->LineCallParams.ulCommentOffset;
    UseComment = pReq->bUseDefaultLineCallParams == 0 && CommentSize != 0;
    if (UseComment && (CommentOffset > Length - MAKE_CALL_PARAMS_AT ||
                       !Inside(MAKE_CALL_PARAMS_AT + CommentOffset, CommentSize, Length)))
        return NDIS_STATUS_TAPI_INVALCALLPARAMS;

    // ulDestAddressSize counts the terminating zero, so 0 names no string.
    DestSize = pReq->ulDestAddressSize;
    DestOffset = pReq->ulDestAddressOffset;
    if (DestSize == 0 || !Inside(DestOffset, DestSize, Length))
        return NDIS_STATUS_TAPI_INVALADDRESS;
    if (AnalysePhoneNumber(pAdapter, pGway, &Speed, static_cast<PCHAR>(Buffer) + DestOffset, DestSize - 1) == 0)
        return NDIS_STATUS_TAPI_INVALADDRESS;

    // The comment is only reported back; one longer than Comment is cut.
    if (!UseComment)
        CommentSize = 0;
    else if (CommentSize > sizeof(pCtx->Comment))
        CommentSize = sizeof(pCtx->Comment);

    pGway->Usage = USAGE_CLIENT_AND_SERVER;
    pCtx = AllocOutgoingCall(pAdapter, pGway, pReq->htCall, Speed,
                             UseComment ? static_cast<PUCHAR>(Buffer) + MAKE_CALL_PARAMS_AT + CommentOffset : NULL,
                             CommentSize);
    if (pCtx == NULL)
        return NDIS_STATUS_TAPI_RESOURCEUNAVAIL;
    pReq->hdCall = ZolIdentity(pAdapter, pCtx);
    *BytesWritten = sizeof(NDIS_TAPI_MAKE_CALL);
    return NDIS_STATUS_SUCCESS;
}

// An incoming call was accepted towards the ISDN driver before TAPI was
// offered it: answering only brings the link up and reports it.
static NDIS_STATUS TapiAnswer(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG, PULONG) {
    PNDIS_TAPI_ANSWER pReq = static_cast<PNDIS_TAPI_ANSWER>(Buffer);
    PCTX pCtx;

    pCtx = LookForTapiContext(pReq->hdCall, pAdapter);
    if (pCtx == NULL || SharedRead(pCtx->htCall) == 0 || pCtx->pGway == NULL)
        return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    ZolTapiDeviceStatus(pAdapter, pCtx->pGway, LINEDEVSTATE_CONNECTED);
    ZolWanSendLineUp(pAdapter, pCtx);
    ZolTapiIndicateStatus(pAdapter, pCtx->pGway, LINECALLSTATE_CONNECTED);
    return NDIS_STATUS_SUCCESS;
}

// Never fails. A call not yet placed is released at once; any other is
// left to the general thread to clear, and to the clear confirmation to
// release.
static NDIS_STATUS TapiDrop(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG, PULONG) {
    PNDIS_TAPI_DROP pReq = static_cast<PNDIS_TAPI_DROP>(Buffer);
    PCTX pCtx;
    USHORT State;

    pCtx = LookForTapiContext(pReq->hdCall, pAdapter);
    if (pCtx == NULL)
        return NDIS_STATUS_SUCCESS;
    ZolWanSendLineDown(pAdapter, pCtx);
    if (pCtx->pGway != NULL)
        ZolTapiIndicateStatus(pAdapter, pCtx->pGway, LINECALLSTATE_IDLE);

    // Tested and marked under the lock, under which a sending pass starts
    // and ends. A running pass owns the state, and a clearing mark it finds
    // at its end is a deferred release that would free the call without
    // clearing it: the drop is noted for the pass instead, which stops at
    // its next frame, fails what is still queued and leaves the call
    // clearing for the general loop.
    AcquireSpinLock(&pAdapter->Lock);
    State = SharedRead(pCtx->State);
    if (State == CTX_OPEN_SENDING_DATA)
        SharedWrite(pCtx->Dropped, 1);
    else if (State != CTX_FREE && State != CTX_CLEARING)
        SharedWrite(pCtx->State, CTX_CLEARING);
    ReleaseSpinLock(&pAdapter->Lock);

    switch (State) {
    case CTX_FREE:
    case CTX_CLEARING: break;
    case CTX_CALL_REQUESTED: // never placed: nothing to clear
        if (pCtx->pGway != NULL)
            ClearLineCall(pAdapter, pCtx->pGway);
        KillContextIn(pCtx, CTX_CLEARING, KILL_REASON_CLEARED, pAdapter); // unless the loop freed it first
        break;
    default:
        SharedWrite(pCtx->htLine, 0);
        SharedWrite(pCtx->htCall, 0);
        break;
    }
    return NDIS_STATUS_SUCCESS;
}

// The context is released by the clearing, not here.
static NDIS_STATUS TapiCloseCall(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG, PULONG) {
    PNDIS_TAPI_CLOSE_CALL pReq = static_cast<PNDIS_TAPI_CLOSE_CALL>(Buffer);

    if (LookForTapiContext(pReq->hdCall, pAdapter) == NULL)
        return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetCallInfo(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG BytesWritten, PULONG) {
    PNDIS_TAPI_GET_CALL_INFO pReq = static_cast<PNDIS_TAPI_GET_CALL_INFO>(Buffer);
    PLINE_CALL_INFO pInfo = &pReq->LineCallInfo;
    PCTX pCtx;

    pCtx = LookForTapiContext(pReq->hdCall, pAdapter);
    if (pCtx == NULL)
        return NDIS_STATUS_TAPI_INVALCALLHANDLE;

    pInfo->ulNeededSize = sizeof(LINE_CALL_INFO);
    pInfo->ulUsedSize = sizeof(LINE_CALL_INFO);
    pInfo->hLine = ZolIdentity(pAdapter, pCtx);
    pInfo->ulLineDeviceID = pCtx->DeviceID;
    pInfo->ulAddressID = pCtx->AddressID;
    pInfo->ulBearerMode = LINEBEARERMODE_DATA;
    pInfo->ulRate = TAPI_RATE;
    pInfo->ulAppSpecific = pCtx->AppSpecific;
    pInfo->ulCallStates = TAPI_CALL_STATES;
    // Incoming calls are reported outbound too.
    pInfo->ulOrigin = LINECALLORIGIN_OUTBOUND;
    pInfo->ulReason = LINECALLREASON_DIRECT;
    // CommentSize never exceeds Comment, so the sum cannot wrap.
    if (pInfo->ulTotalSize >= sizeof(LINE_CALL_INFO) + pCtx->CommentSize) {
        CopyBytes(reinterpret_cast<PUCHAR>(pInfo) + sizeof(LINE_CALL_INFO), pCtx->Comment, pCtx->CommentSize);
        pInfo->ulCommentSize = pCtx->CommentSize;
        pInfo->ulCommentOffset = sizeof(LINE_CALL_INFO);
        pInfo->ulNeededSize = sizeof(LINE_CALL_INFO) + pCtx->CommentSize;
        pInfo->ulUsedSize = sizeof(LINE_CALL_INFO) + pCtx->CommentSize;
    }
    *BytesWritten = sizeof(NDIS_TAPI_GET_CALL_INFO);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS TapiGetCallStatus(PADAPTER pAdapter, PVOID Buffer, ULONG, PULONG BytesWritten, PULONG) {
    PNDIS_TAPI_GET_CALL_STATUS pReq = static_cast<PNDIS_TAPI_GET_CALL_STATUS>(Buffer);
    PLINE_CALL_STATUS pStatus = &pReq->LineCallStatus;
    PCTX pCtx;

    pCtx = LookForTapiContext(pReq->hdCall, pAdapter);
    if (pCtx == NULL)
        return NDIS_STATUS_TAPI_INVALCALLHANDLE;
    pStatus->ulNeededSize = sizeof(LINE_CALL_STATUS);
    pStatus->ulUsedSize = sizeof(LINE_CALL_STATUS);
    // A context not bound to a line carries no call.
    pStatus->ulCallState = pCtx->pGway != NULL ? pCtx->pGway->CallState : LINECALLSTATE_IDLE;
    *BytesWritten = sizeof(NDIS_TAPI_GET_CALL_STATUS);
    return NDIS_STATUS_SUCCESS;
}

// ---- The dispatcher ---------------------------------------------------------------------------

// Requests answered the same way whatever they carry.
static NDIS_STATUS TapiOperationUnavailable(PADAPTER, PVOID, ULONG, PULONG, PULONG BytesNeeded) {
    *BytesNeeded = 0;
    return NDIS_STATUS_TAPI_OPERATIONUNAVAIL;
}

// The address ID stays as TAPI sent it.
static NDIS_STATUS TapiGetCallAddressID(PADAPTER, PVOID, ULONG, PULONG, PULONG) {
    return NDIS_STATUS_SUCCESS;
}

// Accepted and ignored.
static NDIS_STATUS TapiSetCallParams(PADAPTER, PVOID, ULONG Length, PULONG BytesWritten, PULONG BytesNeeded) {
    *BytesWritten = Length;
    *BytesNeeded = Length;
    return NDIS_STATUS_SUCCESS;
}

typedef NDIS_STATUS (*TAPI_HANDLER)(PADAPTER pAdapter, PVOID Buffer, ULONG Length, PULONG BytesWritten,
                                    PULONG BytesNeeded);

// One TAPI request. Its handler runs only once the buffer holds MinLength
// bytes and, when the request writes a variable-size result record at
// ResultAt, the ulTotalSize that record claims.
typedef struct _TAPI_REQUEST {
    NDIS_OID Oid;
    BOOLEAN IsSet;
    ULONG MinLength;
    ULONG ResultAt; // 0: no such record
    TAPI_HANDLER Handler;
} TAPI_REQUEST;

#define TAPI_QUERY(Oid, Record, Handler)                                                                               \
    { Oid, FALSE, sizeof(Record), 0, Handler }
#define TAPI_QUERY_PART(Oid, Record, UpTo, Handler)                                                                    \
    { Oid, FALSE, offsetof(Record, UpTo), 0, Handler }
#define TAPI_QUERY_RESULT(Oid, Record, Result, Handler)                                                                \
    { Oid, FALSE, sizeof(Record), offsetof(Record, Result), Handler }
#define TAPI_SET(Oid, Record, Handler)                                                                                 \
    { Oid, TRUE, sizeof(Record), 0, Handler }
#define TAPI_SET_PART(Oid, Record, UpTo, Handler)                                                                      \
    { Oid, TRUE, offsetof(Record, UpTo), 0, Handler }
#define TAPI_ANY_LENGTH(Oid, Handler)                                                                                  \
    { Oid, FALSE, 0, 0, Handler }

// A set request not listed has no effect and succeeds: OID_TAPI_ACCEPT,
// OID_TAPI_PROVIDER_SHUTDOWN, OID_TAPI_SET_DEFAULT_MEDIA_DETECTION,
// OID_TAPI_SET_DEV_CONFIG, OID_TAPI_SET_STATUS_MESSAGES and unknown OIDs.
// A query not listed is an invalid OID.
static const TAPI_REQUEST TapiRequests[] = {
    TAPI_ANY_LENGTH(OID_TAPI_CONFIG_DIALOG, TapiOperationUnavailable),
    TAPI_ANY_LENGTH(OID_TAPI_DEV_SPECIFIC, TapiOperationUnavailable),
    TAPI_ANY_LENGTH(OID_TAPI_NEGOTIATE_EXT_VERSION, TapiOperationUnavailable),
    TAPI_QUERY_RESULT(OID_TAPI_GET_ADDRESS_CAPS, NDIS_TAPI_GET_ADDRESS_CAPS, LineAddressCaps, TapiGetAddressCaps),
    TAPI_QUERY_PART(OID_TAPI_GET_ADDRESS_ID, NDIS_TAPI_GET_ADDRESS_ID, szAddress, TapiGetAddressID),
    TAPI_QUERY(OID_TAPI_GET_ADDRESS_STATUS, NDIS_TAPI_GET_ADDRESS_STATUS, TapiGetAddressStatus),
    TAPI_ANY_LENGTH(OID_TAPI_GET_CALL_ADDRESS_ID, TapiGetCallAddressID),
    TAPI_QUERY_RESULT(OID_TAPI_GET_CALL_INFO, NDIS_TAPI_GET_CALL_INFO, LineCallInfo, TapiGetCallInfo),
    TAPI_QUERY(OID_TAPI_GET_CALL_STATUS, NDIS_TAPI_GET_CALL_STATUS, TapiGetCallStatus),
    TAPI_QUERY_RESULT(OID_TAPI_GET_DEV_CAPS, NDIS_TAPI_GET_DEV_CAPS, LineDevCaps, TapiGetDevCaps),
    TAPI_QUERY_RESULT(OID_TAPI_GET_DEV_CONFIG, NDIS_TAPI_GET_DEV_CONFIG, DeviceConfig, TapiGetDevConfig),
    TAPI_QUERY(OID_TAPI_GET_EXTENSION_ID, NDIS_TAPI_GET_EXTENSION_ID, TapiGetExtensionID),
    TAPI_QUERY_RESULT(OID_TAPI_GET_ID, NDIS_TAPI_GET_ID, DeviceID, TapiGetID),
    TAPI_QUERY(OID_TAPI_GET_LINE_DEV_STATUS, NDIS_TAPI_GET_LINE_DEV_STATUS, TapiGetLineDevStatus),
    TAPI_QUERY(OID_TAPI_MAKE_CALL, NDIS_TAPI_MAKE_CALL, TapiMakeCall),
    TAPI_QUERY(OID_TAPI_OPEN, NDIS_TAPI_OPEN, TapiOpen),
    TAPI_QUERY(OID_TAPI_PROVIDER_INITIALIZE, NDIS_TAPI_PROVIDER_INITIALIZE, TapiProviderInitialize),
    TAPI_ANY_LENGTH(OID_TAPI_SET_CALL_PARAMS, TapiSetCallParams),
    TAPI_SET_PART(OID_TAPI_ANSWER, NDIS_TAPI_ANSWER, UserUserInfo, TapiAnswer),
    TAPI_SET(OID_TAPI_CLOSE, NDIS_TAPI_CLOSE, TapiClose),
    TAPI_SET(OID_TAPI_CLOSE_CALL, NDIS_TAPI_CLOSE_CALL, TapiCloseCall),
    TAPI_SET_PART(OID_TAPI_DROP, NDIS_TAPI_DROP, UserUserInfo, TapiDrop),
    TAPI_SET(OID_TAPI_SET_APP_SPECIFIC, NDIS_TAPI_SET_APP_SPECIFIC, TapiSetAppSpecific),
};

// The driver's one entry for NDIS TAPI requests: ZolReqQueryInformation and
// ZolReqSetInformation hand over every OID the WAN path does not keep.
// DISPATCH_LEVEL; every request completes here, none is pended. Set
// requests leave BytesDone at 0.
NDIS_STATUS AnalyseOidTAPIRequest(PADAPTER pAdapter, BOOLEAN IsSet, NDIS_OID Oid, PVOID InformationBuffer,
                                  ULONG InformationBufferLength, PULONG BytesDone, PULONG BytesNeeded) {
    const ULONG Length = InformationBufferLength;
    ULONG i;

    *BytesDone = 0;
    for (i = 0; i < sizeof(TapiRequests) / sizeof(TapiRequests[0]); i++) {
        const TAPI_REQUEST *pRequest = &TapiRequests[i];
        if (pRequest->Oid != Oid || pRequest->IsSet != IsSet)
            continue;
        if (Length < pRequest->MinLength)
            return RefuseLength(pRequest->MinLength, BytesNeeded);
        if (pRequest->ResultAt != 0) {
            // ulTotalSize opens every result record.
            ULONG TotalSize = *reinterpret_cast<PULONG>(static_cast<PUCHAR>(InformationBuffer) + pRequest->ResultAt);
            if (!TotalSizeFits(pRequest->ResultAt, TotalSize, Length, BytesNeeded))
                return NDIS_STATUS_INVALID_LENGTH;
        }
        return pRequest->Handler(pAdapter, InformationBuffer, Length, BytesDone, BytesNeeded);
    }
    if (IsSet)
        return NDIS_STATUS_SUCCESS;
    *BytesNeeded = 0;
    return NDIS_STATUS_INVALID_OID;
}
