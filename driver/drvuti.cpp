// drvuti: channel contexts and buffer chains, TAPI device registration and
// RAS ports, the handle lookups, TAPI status indications and the driver's
// own string routines.

#include "tolvanex.h"

// ---- Buffer chains ---------------------------------------------------------------------

// A new descriptor belongs to its caller alone until it is linked into a
// queue, so it is allocated and set up without the lock. Any IRQL up to
// DISPATCH_LEVEL.
PCHAIN_DESCR AllocChainDescr(PADAPTER pAdapter, USHORT Capacity) {
    PCHAIN_DESCR pDescr;
    ULONG Size = sizeof(CHAIN_DESCR) + Capacity;

    if (NdisAllocateMemory(reinterpret_cast<PVOID *>(&pDescr), Size, 0, HighestAcceptableMax) != NDIS_STATUS_SUCCESS)
        return NULL;
    pDescr->Signature = reinterpret_cast<ULONG_PTR>(pDescr);
    pDescr->Length = 0;
    pDescr->Data = reinterpret_cast<PUCHAR>(pDescr + 1);
    pDescr->AllocSize = static_cast<USHORT>(Size);
    AcquireSpinLock(&pAdapter->Lock);
    pAdapter->DescrInUse++;
    ReleaseSpinLock(&pAdapter->Lock);
    return pDescr;
}

// Refuses, and frees nothing, when the signature is not the descriptor's own
// address: a second release, or memory that is not a descriptor. The
// signature is tested and cleared under the lock, so of two releases of the
// same descriptor only one frees it; the memory goes back after the lock
// is released.
BOOLEAN FreeChainDescr(PADAPTER pAdapter, PCHAIN_DESCR pDescr) {
    if (pDescr == NULL)
        return TRUE;
    AcquireSpinLock(&pAdapter->Lock);
    if (pDescr->Signature != reinterpret_cast<ULONG_PTR>(pDescr)) {
        if (pDescr->Signature == 0)
            pDescr->Signature = ~static_cast<ULONG_PTR>(0);
        ReleaseSpinLock(&pAdapter->Lock);
        return FALSE;
    }
    pDescr->Signature = 0;
    pAdapter->DescrInUse--;
    ReleaseSpinLock(&pAdapter->Lock);
    NdisFreeMemory(pDescr, pDescr->AllocSize, 0);
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
    SharedWrite(pCtx->State, CTX_FREE);
    SharedWrite(pCtx->hCom, ISDN_HCOM_NONE);
    pCtx->RxState = RX_IDLE;
    InitChainQueue(&pCtx->SendQueue);
    SharedWrite(pCtx->LineUp, 0);
    pCtx->Inbound = 0;
    SharedWrite(pCtx->XmitOff, 0);
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
static PCTX TakeContext(PADAPTER pAdapter) { // the caller holds the lock
    for (int i = CTX_B1; i <= CTX_B2; i++) {
        PCTX pCtx = &pAdapter->Ctx[i];
        if ((SharedRead(pCtx->State) == CTX_UNUSED || SharedRead(pCtx->State) == CTX_FREE) && !pCtx->Reserved) {
            InitContext(pCtx);
            pCtx->Reserved = CTX_RESERVED;
            return pCtx;
        }
    }
    return NULL;
}

PCTX AllocationContext(PADAPTER pAdapter) {
    AcquireSpinLock(&pAdapter->Lock);
    PCTX pCtx = TakeContext(pAdapter);
    ReleaseSpinLock(&pAdapter->Lock);
    return pCtx;
}

// A call TAPI asks for on a line: the context is chosen, filled in and
// published CTX_CALL_REQUESTED in one hold of the lock, the lock under
// which the general loop places a call and the timer counts, so neither
// ever sees a half-made call. The line's fields are set after the copy of
// its leading ones, as AllocContext leaves them. NULL when both channels
// are taken. DISPATCH_LEVEL.
PCTX AllocOutgoingCall(PADAPTER pAdapter, PGATEWAY pGway, ULONG htCall, ULONG LinkSpeed, const UCHAR *Comment,
                       ULONG CommentSize) {
    AcquireSpinLock(&pAdapter->Lock);
    PCTX pCtx = TakeContext(pAdapter);
    if (pCtx != NULL) {
        *static_cast<GATEWAY_LEAD *>(pCtx) = *static_cast<GATEWAY_LEAD *>(pGway);
        pCtx->pGway = pGway;
        SharedWrite(pCtx->TimeoutCount, pCtx->Timeout);
        pCtx->LinkSpeed = LinkSpeed;
        CopyBytes(pCtx->Comment, Comment, CommentSize);
        pCtx->CommentSize = CommentSize;
        pGway->CallSeen = 1;
        pGway->htCall = htCall;
        pGway->hdCall = ZolIdentity(pAdapter, pCtx);
        SharedWrite(pCtx->State, CTX_CALL_REQUESTED);
    }
    ReleaseSpinLock(&pAdapter->Lock);
    return pCtx;
}

// The line's leading fields are copied under the lock under which the TAPI
// requests and a reconfiguration write them, so the copy is never half old.
PCTX AllocContext(PADAPTER pAdapter, PGATEWAY pGway) {
    AcquireSpinLock(&pAdapter->Lock);
    PCTX pCtx = TakeContext(pAdapter);
    if (pCtx != NULL)
        *static_cast<GATEWAY_LEAD *>(pCtx) = *static_cast<GATEWAY_LEAD *>(pGway);
    ReleaseSpinLock(&pAdapter->Lock);
    return pCtx;
}

// Releases a context, or defers the release to the end of a running sending
// pass. The test of State and its change are made under the lock, the same
// lock under which a pass starts and ends, so the two never interleave.
VOID KillContext(PCTX pCtx, ULONG Reason, PADAPTER pAdapter) { KillContextIn(pCtx, CTX_ANY_STATE, Reason, pAdapter); }

// KillContext for a context the caller saw in State: nothing happens unless
// it is still in that state under the lock, so a release decided on an old
// look never lands on a call that has taken the context since. TRUE when
// the context was released or its release deferred to the sending pass.
BOOLEAN KillContextIn(PCTX pCtx, USHORT State, ULONG Reason, PADAPTER pAdapter) {
    PCHAIN_DESCR pDescr;

    AcquireSpinLock(&pAdapter->Lock);
    if (State != CTX_ANY_STATE && SharedRead(pCtx->State) != State) {
        ReleaseSpinLock(&pAdapter->Lock);
        return FALSE;
    }
    if (SharedRead(pCtx->State) == CTX_UNUSED || SharedRead(pCtx->State) == CTX_FREE) {
        if (pCtx->Reserved == CTX_RESERVED)
            pCtx->Reserved = CTX_NOT_RESERVED; // an incoming call given up before it connected
        ReleaseSpinLock(&pAdapter->Lock);
        return FALSE;
    }
    if (SharedRead(pCtx->State) == CTX_OPEN_SENDING_DATA) {
        SharedWrite(pCtx->State, CTX_CLEARING);
        pCtx->KillReason = Reason;
        ReleaseSpinLock(&pAdapter->Lock);
        return TRUE;
    }
    // Free, but not to be handed out until its buffers are back: a new
    // call's InitContext must not wipe the queues being emptied here.
    SharedWrite(pCtx->State, CTX_FREE);
    pCtx->Reserved = CTX_RELEASING;
    ReleaseSpinLock(&pAdapter->Lock);

    for (int i = 0; i < MAX_RX_BUFFER; i++) {
        pDescr = pCtx->RxDescr[i];
        pCtx->RxDescr[i] = NULL;
        FreeChainDescr(pAdapter, pDescr);
    }

    // Each frame is taken out in the same hold of the lock that finds it, so
    // a delivery or another release can never take the same one.
    while ((pDescr = ChainRemoveHead(pAdapter, &pAdapter->RxQueue)) != NULL)
        FreeChainDescr(pAdapter, pDescr);

    FailQueuedSends(pAdapter, pCtx);

    AcquireSpinLock(&pAdapter->Lock);
    pCtx->Reserved = CTX_NOT_RESERVED;
    ReleaseSpinLock(&pAdapter->Lock);
    return TRUE;
}

// The line device lets its call go with the call's context, so that it takes
// the next one. pGway is the context's line as it stood before the release
// (the context may belong to another line's call by now); a line that names
// another call keeps it.
VOID ReleaseGatewayCall(PADAPTER pAdapter, PGATEWAY pGway, PCTX pCtx) {
    if (pGway != NULL && pGway->hdCall == ZolIdentity(pAdapter, pCtx))
        ClearLineCall(pAdapter, pGway);
}

// A line's call handle goes under the lock under which an incoming call
// looks for a line without one. Never called with the lock held.
VOID ClearLineCall(PADAPTER pAdapter, PGATEWAY pGway) {
    AcquireSpinLock(&pAdapter->Lock);
    pGway->htCall = 0;
    ReleaseSpinLock(&pAdapter->Lock);
}

// Releases a call TAPI asked for that was never placed (a reset, or its
// countdown ran out first). TAPI hears it disconnected, then idle, under the
// handles the line still holds, and the line takes the next call. Nothing
// happens unless the context is still CTX_CALL_REQUESTED under the lock.
VOID EndUnplacedCall(PADAPTER pAdapter, PCTX pCtx, ULONG Reason) {
    PGATEWAY pGway = pCtx->pGway;

    if (!KillContextIn(pCtx, CTX_CALL_REQUESTED, Reason, pAdapter))
        return;
    if (pGway != NULL && pGway->hdCall == ZolIdentity(pAdapter, pCtx)) {
        ZolTapiIndicateStatus(pAdapter, pGway, LINECALLSTATE_DISCONNECTED);
        ClearLineCall(pAdapter, pGway);
    }
}

// Completes every frame still queued on the context with
// NDIS_STATUS_FAILURE, in queue order, and frees it. Each frame leaves the
// queue in one hold of the lock, so a sending pass or another release never
// takes the same one. Never called with the lock held.
VOID FailQueuedSends(PADAPTER pAdapter, PCTX pCtx) {
    PCHAIN_DESCR pDescr;
    while ((pDescr = ChainRemoveHead(pAdapter, &pCtx->SendQueue)) != NULL) {
        ZolCompleteSend(pDescr, pAdapter, NDIS_STATUS_FAILURE);
        FreeChainDescr(pAdapter, pDescr);
    }
}

// Called by halt at PASSIVE_LEVEL once every thread has ended: gives back
// the receive buffers held ready in the three contexts, the frames waiting
// for delivery, and the frames waiting to be sent, whose packets are
// completed with failure. No command is sent and no call state changes.
VOID ReleaseAllBuffers(PADAPTER pAdapter) {
    PCHAIN_DESCR pDescr;
    for (int i = 0; i < MAX_CTX; i++) {
        PCTX pCtx = &pAdapter->Ctx[i];
        for (int j = 0; j < MAX_RX_BUFFER; j++) {
            pDescr = pCtx->RxDescr[j];
            pCtx->RxDescr[j] = NULL;
            FreeChainDescr(pAdapter, pDescr);
        }
        if (i == CTX_LISTEN || SharedRead(pCtx->State) == CTX_UNUSED)
            continue; // the listen context never queues frames to send
        FailQueuedSends(pAdapter, pCtx);
    }
    while ((pDescr = ChainRemoveHead(pAdapter, &pAdapter->RxQueue)) != NULL)
        FreeChainDescr(pAdapter, pDescr);
}

// ---- TAPI device registration and RAS ports ---------------------------------------------

static const WCHAR LinkageKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Linkage";
static const WCHAR RasTapiKey[] = u"\\Registry\\Machine\\Software\\Microsoft\\RAS\\TAPI DEVICES\\TOLVANEX";

// Usage words, matched on their leading characters (no terminator).
static const WCHAR UsageClient[] = u"Client";
static const WCHAR UsageClientAndServer[] = u"ClientAndServer";
static const WCHAR UsageServer[] = u"Server";

// Entry contexts of the RAS query.
#define PORT_INFO_ADDRESS 0
#define PORT_INFO_USAGE 1

// The longest port address: a three-digit adapter number, "-0p-00" and the zero.
#define PORT_ADDRESS_CHARS 10

// Registration failures are always raised; only the closing event depends
// on the trace level, and the caller tests it.
static VOID RaiseRegistrationEvent(PADAPTER pAdapter, ULONG EventId) {
    RaiseEvent(pAdapter, NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER, SECTION_CONFIGURATION, EventId);
}

// Writes the address of port Port (1 or 2) of adapter Adapter, with its zero
// character, from the text "01-01-00"; below 10 the tens digit is left out,
// from 100 on the hundreds digit comes first. Returns the characters written.
static ULONG BuildPortAddress(UCHAR Adapter, UCHAR Port, PWCHAR Out) {
    CHAR Text[] = "001-01-00";
    ULONG First = Adapter >= 100 ? 0 : Adapter >= 10 ? 1 : 2;
    ULONG n = 0;

    Text[0] = static_cast<CHAR>('0' + Adapter / 100);
    Text[1] = static_cast<CHAR>('0' + Adapter / 10 % 10);
    Text[2] = static_cast<CHAR>('0' + Adapter % 10);
    Text[4] = static_cast<CHAR>('0' + Port / 10);
    Text[5] = static_cast<CHAR>('0' + Port % 10);
    for (ULONG i = First; i < sizeof(Text); i++)
        Out[n++] = static_cast<WCHAR>(Text[i]);
    return n;
}

// Whether the string (Length bytes) begins with the characters of Word.
static BOOLEAN BeginsWith(const WCHAR *Text, ULONG Length, const WCHAR *Word, ULONG WordBytes) {
    return Length >= WordBytes && NdisCompareMemory(Text, Word, WordBytes) == WordBytes;
}

// Announces the TAPI device under the device map and reads the RAS port
// list into the line devices. Called once by InitializeDriverParameters at
// PASSIVE_LEVEL, before the worker threads exist. Returns the status of the
// last registry operation attempted; each failure raises its one event and
// ends the registration there.
NTSTATUS ProcessTapiDevicesSection(PADAPTER pAdapter) {
    RTL_QUERY_REGISTRY_TABLE Table[3];
    WCHAR RouteName[] = u"Route";
    WCHAR AddressName[] = u"Address";
    WCHAR UsageName[] = u"Usage";
    WCHAR TapiDevices[] = u"Tapi Devices";
    WCHAR PathBuffer[32];
    WCHAR Addresses[2 * PORT_ADDRESS_CHARS + 1];
    NDIS_STRING Path;
    NDIS_STRING Part;
    UCHAR AdapterNo = 0;
    ULONG n;
    NTSTATUS Status;

    ProcessPortsInit(pAdapter);

    // From here a gateway is a line device only once RAS lists an address for it.
    for (int i = 0; i < MAX_GATEWAY; i++) {
        pAdapter->Gateway[i].Used = GATEWAY_UNUSED;
        pAdapter->Gateway[i].CallState = LINECALLSTATE_IDLE;
    }

    ZeroBytes(Table, sizeof(Table));
    Table[0].QueryRoutine = AdapterNumber;
    Table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    Table[0].Name = RouteName;
    Status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, LinkageKey, Table, &AdapterNo, NULL);
    if (Status != STATUS_SUCCESS) {
        RaiseRegistrationEvent(pAdapter, EVT_NO_ROUTE);
        return Status;
    }

    Status = RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, TapiDevices);
    if (Status != STATUS_SUCCESS) {
        RaiseRegistrationEvent(pAdapter, EVT_NO_TAPI_DEVICES_KEY);
        return Status;
    }

    Path.Buffer = PathBuffer;
    Path.Length = 0;
    Path.MaximumLength = sizeof(PathBuffer);
    NdisInitUnicodeString(&Part, u"Tapi Devices\\");
    NdisCopyUnicodeString(&Path, &Part);
    NdisInitUnicodeString(&Part, u"TOLVANEX");
    NdisAppendUnicodeString(&Path, &Part);
    Status = RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, Path.Buffer);
    if (Status != STATUS_SUCCESS) {
        RaiseRegistrationEvent(pAdapter, EVT_NO_TAPI_SUBKEY);
        return Status;
    }

    WCHAR MediaType[] = u"ISDN";
    Status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, Path.Buffer, u"Media Type", REG_SZ, MediaType,
                                   sizeof(MediaType));
    if (Status != STATUS_SUCCESS) {
        RaiseRegistrationEvent(pAdapter, EVT_NO_MEDIA_TYPE);
        return Status;
    }

    n = BuildPortAddress(AdapterNo, 1, Addresses);
    n += BuildPortAddress(AdapterNo, 2, &Addresses[n]);
    Addresses[n++] = 0; // the empty string that ends the list
    Status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, Path.Buffer, u"Address", REG_MULTI_SZ, Addresses,
                                   n * sizeof(WCHAR));
    if (Status != STATUS_SUCCESS) {
        RaiseRegistrationEvent(pAdapter, EVT_NO_ADDRESS);
        return Status;
    }

    // Every "Address" string reaches PortInformation before the first "Usage" one.
    pAdapter->AddressIndex = 0;
    pAdapter->UsageIndex = 0;
    ZeroBytes(Table, sizeof(Table));
    Table[0].QueryRoutine = PortInformation;
    Table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    Table[0].Name = AddressName;
    Table[0].EntryContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(PORT_INFO_ADDRESS));
    Table[1].QueryRoutine = PortInformation;
    Table[1].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    Table[1].Name = UsageName;
    Table[1].EntryContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(PORT_INFO_USAGE));
    Status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, RasTapiKey, Table, pAdapter, NULL);
    if (Status != STATUS_SUCCESS)
        RaiseRegistrationEvent(pAdapter, EVT_NO_RAS_PORT);

    if (pAdapter->TraceLevel >= TRACE_FULL)
        RaiseRegistrationEvent(pAdapter, EVT_CONFIGURATION_DONE);
    return Status;
}

// Resets both line devices to the placeholder address, usage 2, the current
// time-out, and configured. Called by ProcessTapiDevicesSection and by the
// general thread on reconfiguration, at PASSIVE_LEVEL. The lock keeps an
// incoming call from copying a line half rewritten.
NTSTATUS ProcessPortsInit(PADAPTER pAdapter) {
    AcquireSpinLock(&pAdapter->Lock);
    for (USHORT i = 0; i < MAX_GATEWAY; i++) {
        InitAnsiPortName(i, pAdapter);
        pAdapter->Gateway[i].Timeout = pAdapter->Timeout;
        pAdapter->Gateway[i].Used = GATEWAY_CONFIGURED;
    }
    ReleaseSpinLock(&pAdapter->Lock);
    return STATUS_SUCCESS;
}

// The placeholder address and the default usage of one line device; an
// index without a gateway changes nothing. Called by ProcessPortsInit.
VOID InitAnsiPortName(USHORT Index, PADAPTER pAdapter) {
    if (Index >= MAX_GATEWAY)
        return;
    CopyString(pAdapter->Gateway[Index].Address, "xx-xx-xx", sizeof(pAdapter->Gateway[Index].Address));
    pAdapter->Gateway[Index].Usage = USAGE_CLIENT_AND_SERVER;
}

// Query routine for the Linkage "Route" value, once per string of it, at
// PASSIVE_LEVEL. The context is the 8-bit adapter number: the decimal
// digits among the data bytes, modulo 256, so the last string decides.
NTSTATUS NTAPI AdapterNumber(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                             PVOID EntryContext) {
    (void)ValueName;
    (void)ValueType;
    (void)EntryContext;
    PUCHAR pNumber = static_cast<PUCHAR>(Context);
    const UCHAR *Data = static_cast<const UCHAR *>(ValueData);

    *pNumber = 0;
    if (Data == NULL)
        return STATUS_SUCCESS;
    for (ULONG i = 0; i < ValueLength; i++)
        if (Data[i] >= '0' && Data[i] <= '9')
            *pNumber = static_cast<UCHAR>(*pNumber * 10 + (Data[i] - '0'));
    return STATUS_SUCCESS;
}

// Query routine for the RAS "Address" (entry context 0) and "Usage" (1)
// strings, at PASSIVE_LEVEL; the context is the ADAPTER. Each string goes to
// the next gateway of its list. There are two gateways: strings beyond the
// second, and data that are not a string, are passed over.
NTSTATUS NTAPI PortInformation(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                               PVOID Context, PVOID EntryContext) {
    (void)ValueName;
    PADAPTER pAdapter = static_cast<PADAPTER>(Context);
    const WCHAR *Text = static_cast<const WCHAR *>(ValueData);
    ULONG Units = ValueLength / sizeof(WCHAR);
    PGATEWAY pGway;

    if (ValueType != REG_SZ || Text == NULL)
        return STATUS_SUCCESS;

    if (reinterpret_cast<ULONG_PTR>(EntryContext) == PORT_INFO_ADDRESS) {
        NDIS_STRING AddressU;
        ANSI_STRING Ansi;
        CHAR AnsiText[sizeof(pGway->Address)];
        ULONG n = 0;

        if (pAdapter->AddressIndex >= MAX_GATEWAY)
            return STATUS_SUCCESS;
        pGway = &pAdapter->Gateway[pAdapter->AddressIndex];
        pGway->Used = GATEWAY_CONFIGURED;

        // An address longer than Address holds keeps its first 15 characters.
        while (n < Units && Text[n] != 0 && n < sizeof(AnsiText) - 1)
            n++;
        AddressU.Buffer = const_cast<PWSTR>(Text);
        AddressU.Length = static_cast<USHORT>(n * sizeof(WCHAR));
        AddressU.MaximumLength = AddressU.Length;
        pGway->AddressU = AddressU;
        Ansi.Buffer = AnsiText;
        Ansi.Length = 0;
        Ansi.MaximumLength = sizeof(AnsiText);
        if (NdisUnicodeStringToAnsiString(&Ansi, &AddressU) != NDIS_STATUS_SUCCESS || Ansi.Length >= sizeof(AnsiText))
            Ansi.Length = 0;
        AnsiText[Ansi.Length] = 0;
        CopyString(pGway->Address, AnsiText, sizeof(pGway->Address));

        // The string lives only as long as this call.
        AddressU.Buffer = NULL;
        AddressU.Length = 0;
        AddressU.MaximumLength = 0;
        pGway->AddressU = AddressU;
        pAdapter->AddressIndex++;
        return STATUS_SUCCESS;
    }

    if (reinterpret_cast<ULONG_PTR>(EntryContext) == PORT_INFO_USAGE) {
        if (pAdapter->UsageIndex >= MAX_GATEWAY)
            return STATUS_SUCCESS;
        pGway = &pAdapter->Gateway[pAdapter->UsageIndex];
        // In this order, so that "ClientAndServer" ends as 2.
        if (BeginsWith(Text, ValueLength, UsageClient, sizeof(UsageClient) - sizeof(WCHAR)))
            pGway->Usage = USAGE_CLIENT;
        if (BeginsWith(Text, ValueLength, UsageClientAndServer, sizeof(UsageClientAndServer) - sizeof(WCHAR)))
            pGway->Usage = USAGE_CLIENT_AND_SERVER;
        if (BeginsWith(Text, ValueLength, UsageServer, sizeof(UsageServer) - sizeof(WCHAR)))
            pGway->Usage = USAGE_SERVER;
        pAdapter->UsageIndex++;
    }
    return STATUS_SUCCESS;
}

// ---- String and number routines ----------------------------------------------------------
// None of these keeps state or allocates; any IRQL.

// 0 when the first Count characters of both texts match, 1 otherwise. Two
// characters match when their codes, taken as signed 8-bit values, are equal
// or 32 apart. Zero bytes are compared like the others: both texts must
// hold Count bytes.
USHORT Mystrnicmp(PCSTR Reference, PCSTR Text, ULONG Count) {
    for (ULONG i = 0; i < Count; i++) {
        LONG Difference = static_cast<LONG>(static_cast<signed char>(Reference[i])) -
                          static_cast<LONG>(static_cast<signed char>(Text[i]));
        if (Difference != 0 && Difference != 32 && Difference != -32)
            return 1;
    }
    return 0;
}

// Length when the two blocks hold the same Length bytes, else 0.
ULONG NdisCompareMemory(const VOID *Block1, const VOID *Block2, ULONG Length) {
    const UCHAR *p1 = static_cast<const UCHAR *>(Block1);
    const UCHAR *p2 = static_cast<const UCHAR *>(Block2);
    for (ULONG i = 0; i < Length; i++)
        if (p1[i] != p2[i])
            return 0;
    return Length;
}

// Puts Source's characters into Destination at byte Offset, then a zero
// character, and sets Destination's Length. Only whole characters are
// copied, and never more than Destination's MaximumLength holds with the
// zero: a caller who misjudged the room gets a cut string, not an overrun.
static VOID PutUnicodeString(PNDIS_STRING Destination, ULONG Offset, const NDIS_STRING *Source) {
    ULONG Capacity = Destination->MaximumLength & ~1u;
    ULONG Bytes = Source->Length & ~1u;

    Offset &= ~1u;
    if (Capacity < sizeof(WCHAR) || Offset > Capacity - sizeof(WCHAR))
        return;
    if (Bytes > Capacity - sizeof(WCHAR) - Offset)
        Bytes = Capacity - sizeof(WCHAR) - Offset;
    CopyBytes(Destination->Buffer + Offset / sizeof(WCHAR), Source->Buffer, Bytes);
    Destination->Buffer[(Offset + Bytes) / sizeof(WCHAR)] = 0;
    Destination->Length = static_cast<USHORT>(Offset + Bytes);
}

VOID NdisCopyUnicodeString(PNDIS_STRING Destination, const NDIS_STRING *Source) {
    Destination->Length = 0;
    PutUnicodeString(Destination, 0, Source);
}

NDIS_STATUS NdisAppendUnicodeString(PNDIS_STRING Destination, const NDIS_STRING *Source) {
    PutUnicodeString(Destination, Destination->Length, Source);
    return NDIS_STATUS_SUCCESS;
}

// Digits of Value in Base, most significant first, no leading zeros, then a
// zero character; the positions run from Base to the power 7 down to the
// units, so at most 8 digits (9 characters with the zero). Bases 2 to 16
// only: another base, or a buffer without room for the result, gets the
// empty string.
NDIS_STATUS NdisIntegerToUnicodeString(ULONG Value, ULONG Base, PNDIS_STRING String) {
    WCHAR Digits[8];
    ULONG Place = 1;
    USHORT n = 0;

    if (Base >= 2 && Base <= 16) {
        for (int i = 0; i < 7; i++)
            Place *= Base;
        for (;;) {
            ULONG Digit = Value / Place % Base;
            if (Digit != 0 || n != 0 || Place == 1)
                Digits[n++] = static_cast<WCHAR>(Digit < 10 ? u'0' + Digit : u'A' + (Digit - 10));
            if (Place == 1)
                break;
            Place /= Base;
        }
    }
    if ((n + 1u) * sizeof(WCHAR) > String->MaximumLength)
        n = 0;
    if (String->MaximumLength >= sizeof(WCHAR)) {
        CopyBytes(String->Buffer, Digits, n * sizeof(WCHAR));
        String->Buffer[n] = 0;
    }
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return NDIS_STATUS_SUCCESS;
}

// ---- Handle identities and lookups ------------------------------------------------------
// TAPI and NDISWAN carry our handles in 32-bit fields. A record's identity is
// its offset in the ADAPTER plus a non-zero base: it fits 32 bits on every
// build, differs between the ADAPTER, the two GATEWAYs and B1 and B2, and
// holds for the adapter's life. Identities are mapped back only by comparing
// them with those of the records themselves, so no handle from outside is
// ever turned into a pointer.

#define ZOL_IDENTITY_BASE 0x5A000000

// Any IRQL. 0 for anything that is not the ADAPTER, a GATEWAY or a B-channel
// CTX: the listen context is never a handle.
ULONG ZolIdentity(PADAPTER pAdapter, const VOID *Record) {
    if (Record == NULL)
        return 0;
    if (Record != pAdapter && Record != &pAdapter->Gateway[0] && Record != &pAdapter->Gateway[1] &&
        Record != &pAdapter->Ctx[CTX_B1] && Record != &pAdapter->Ctx[CTX_B2])
        return 0;
    return ZOL_IDENTITY_BASE +
           static_cast<ULONG>(static_cast<const UCHAR *>(Record) - reinterpret_cast<const UCHAR *>(pAdapter));
}

// The gateway, or the B-channel context, whose identity this is; NULL for
// any other value. Any IRQL.
PGATEWAY ZolGatewayOf(PADAPTER pAdapter, ULONG Identity) {
    if (Identity == 0)
        return NULL;
    for (int i = 0; i < MAX_GATEWAY; i++)
        if (ZolIdentity(pAdapter, &pAdapter->Gateway[i]) == Identity)
            return &pAdapter->Gateway[i];
    return NULL;
}

PCTX ZolContextOf(PADAPTER pAdapter, ULONG Identity) {
    if (Identity == 0)
        return NULL;
    for (int i = CTX_B1; i <= CTX_B2; i++)
        if (ZolIdentity(pAdapter, &pAdapter->Ctx[i]) == Identity)
            return &pAdapter->Ctx[i];
    return NULL;
}

// The lookups serve the TAPI requests (DISPATCH_LEVEL) and the receive
// threads (PASSIVE_LEVEL); they change nothing and take no lock.

// The index is unsigned, so a device ID below the base lands far above 1.
PGATEWAY FindGatewayByDeviceID(PADAPTER pAdapter, ULONG DeviceID) {
    ULONG Index = DeviceID - pAdapter->DeviceIDBase;
    if (Index >= MAX_GATEWAY || pAdapter->Gateway[Index].Used != GATEWAY_CONFIGURED)
        return NULL;
    return &pAdapter->Gateway[Index];
}

// For OID_TAPI_OPEN: a line already open is not offered again.
PGATEWAY FindNewInboundTapiEntry(PADAPTER pAdapter, ULONG DeviceID) {
    PGATEWAY pGway = FindGatewayByDeviceID(pAdapter, DeviceID);
    if (pGway == NULL || pGway->htLine != 0)
        return NULL;
    return pGway;
}

PGATEWAY FindIsdnTapiEntry(ULONG hdLine, PADAPTER pAdapter) {
    for (int i = 0; i < MAX_GATEWAY; i++) {
        PGATEWAY pGway = &pAdapter->Gateway[i];
        if (pGway->Used == GATEWAY_CONFIGURED && ZolIdentity(pAdapter, pGway) == hdLine)
            return pGway;
    }
    return NULL;
}

// Callers pass a line handle they have already matched. One that names no
// gateway gets an ID no line device has, rather than a read of whatever it
// points at.
ULONG FindDeviceIDByGateway(PADAPTER pAdapter, ULONG hdLine) {
    PGATEWAY pGway = ZolGatewayOf(pAdapter, hdLine);
    if (pGway == NULL)
        return 0xFFFFFFFF;
    return pGway->DeviceID;
}

// A released context (CTX_FREE) is still a call handle; the listen context never.
PCTX LookForTapiContext(ULONG hdCall, PADAPTER pAdapter) {
    PCTX pCtx = ZolContextOf(pAdapter, hdCall);
    if (pCtx == NULL || SharedRead(pCtx->State) == CTX_UNUSED)
        return NULL;
    return pCtx;
}

// B1 first, so B1 wins when both contexts point at the line. A released
// context keeps its pGway and is still found.
PCTX LookForTapiContextByHdline(ULONG hdLine, PADAPTER pAdapter) {
    PGATEWAY pGway = ZolGatewayOf(pAdapter, hdLine);
    if (pGway == NULL)
        return NULL;
    for (int i = CTX_B1; i <= CTX_B2; i++) {
        PCTX pCtx = &pAdapter->Ctx[i];
        if (SharedRead(pCtx->State) != CTX_UNUSED && pCtx->pGway == pGway)
            return pCtx;
    }
    return NULL;
}

// ---- TAPI status indications ------------------------------------------------------------
// Called from the TAPI requests (DISPATCH_LEVEL) and the receive threads
// (PASSIVE_LEVEL), never under the lock: each event goes up through
// NdisMIndicateStatus. The gateway's CallState is kept without the lock; one
// call's events come from one path at a time.

static VOID IndicateTapiEvent(PADAPTER pAdapter, PNDIS_TAPI_EVENT pEvent) {
    ZolIndicateStatus(pAdapter, NDIS_STATUS_TAPI_INDICATION, pEvent, sizeof(NDIS_TAPI_EVENT));
}

static VOID BuildTapiEvent(PNDIS_TAPI_EVENT pEvent, PGATEWAY pGway, ULONG Msg, ULONG Param1, ULONG Param2,
                           ULONG Param3) {
    pEvent->htLine = pGway->htLine;
    pEvent->htCall = pGway->htCall;
    pEvent->ulMsg = Msg;
    pEvent->ulParam1 = Param1;
    pEvent->ulParam2 = Param2;
    pEvent->ulParam3 = Param3;
}

// The event is sent even when the state is the one last reported; the
// address state follows only a change.
static VOID TapiCallStateEvent(PADAPTER pAdapter, PGATEWAY pGway, ULONG State) {
    NDIS_TAPI_EVENT Event;
    BOOLEAN Changed = FALSE;

    BuildTapiEvent(&Event, pGway, LINE_CALLSTATE, State, 0, pAdapter->MediaModes);
    if (pGway->CallState != State) {
        pGway->CallState = State;
        Changed = TRUE;
    }
    IndicateTapiEvent(pAdapter, &Event);
    if (Changed)
        ZolTapiAddressStatus(pAdapter, pGway, pGway->AddressID);
}

// NDIS TAPI writes its handle for the new call into ulParam2 before the
// indication returns.
static VOID TapiNewCallEvent(PADAPTER pAdapter, PGATEWAY pGway) {
    NDIS_TAPI_EVENT Event;

    BuildTapiEvent(&Event, pGway, LINE_NEWCALL, pGway->hdCall, 0, 0);
    Event.htCall = 0;
    IndicateTapiEvent(pAdapter, &Event);
    pGway->htCall = Event.ulParam2;
}

// DISCONNECTED is recorded without an address event: the IDLE that follows
// at once is the change TAPI hears about.
static VOID TapiDisconnectedEvent(PADAPTER pAdapter, PGATEWAY pGway) {
    NDIS_TAPI_EVENT Event;

    BuildTapiEvent(&Event, pGway, LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL,
                   pAdapter->MediaModes);
    pGway->CallState = LINECALLSTATE_DISCONNECTED;
    IndicateTapiEvent(pAdapter, &Event);
}

// Reports a call state, or announces an incoming call; any other code sends
// nothing.
VOID ZolTapiIndicateStatus(PADAPTER pAdapter, PGATEWAY pGway, ULONG Event) {
    if (pGway == NULL)
        return;
    switch (Event) {
    case LINECALLSTATE_IDLE:
    case LINECALLSTATE_DIALTONE:
    case LINECALLSTATE_DIALING:
    case LINECALLSTATE_CONNECTED:
        TapiCallStateEvent(pAdapter, pGway, Event);
        break;
    case LINE_NEWCALL:
        TapiNewCallEvent(pAdapter, pGway);
        TapiCallStateEvent(pAdapter, pGway, LINECALLSTATE_OFFERING);
        break;
    case LINECALLSTATE_DISCONNECTED:
        TapiDisconnectedEvent(pAdapter, pGway);
        TapiCallStateEvent(pAdapter, pGway, LINECALLSTATE_IDLE);
        break;
    default:
        break;
    }
}

VOID ZolTapiDeviceStatus(PADAPTER pAdapter, PGATEWAY pGway, ULONG State) {
    NDIS_TAPI_EVENT Event;

    if (pGway == NULL)
        return;
    BuildTapiEvent(&Event, pGway, LINE_LINEDEVSTATE, State, 1, 0);
    IndicateTapiEvent(pAdapter, &Event);
}

// Only IDLE and CONNECTED have an address state to report.
VOID ZolTapiAddressStatus(PADAPTER pAdapter, PGATEWAY pGway, ULONG AddressID) {
    NDIS_TAPI_EVENT Event;
    ULONG AddressState;

    if (pGway == NULL)
        return;
    if (pGway->CallState == LINECALLSTATE_IDLE)
        AddressState = LINEADDRESSSTATE_INUSEZERO;
    else if (pGway->CallState == LINECALLSTATE_CONNECTED)
        AddressState = LINEADDRESSSTATE_NUMCALLS;
    else
        return;
    BuildTapiEvent(&Event, pGway, LINE_ADDRESSSTATE, AddressID, AddressState, 0);
    IndicateTapiEvent(pAdapter, &Event);
}
