// drvmin: driver entry, the NDIS miniport handlers and the completion and
// indication routines every other module reaches NDIS through.

#include "tolvanex.h"

PADAPTER pGlobal_Adapter;
NDIS_HANDLE ZolDriver;
const NDIS_PHYSICAL_ADDRESS HighestAcceptableMax = {{0xFFFFFFFF, -1}};

// Called by the I/O manager at PASSIVE_LEVEL when the driver loads.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    NDIS_MINIPORT_CHARACTERISTICS Chars;

    NdisInitializeWrapper(&ZolDriver, DriverObject, RegistryPath, NULL);

    for (ULONG i = 0; i < sizeof(Chars); i++)
        reinterpret_cast<PUCHAR>(&Chars)[i] = 0;
    Chars.MajorNdisVersion = TOLVANEX_NDIS_MAJOR;
    Chars.MinorNdisVersion = TOLVANEX_NDIS_MINOR;
    Chars.Reserved = NDIS_USE_WAN_WRAPPER;
    Chars.CheckForHangHandler = ZolCheckForHang;
    Chars.HaltHandler = ZolHalt;
    Chars.InitializeHandler = ZolInitialize;
    Chars.QueryInformationHandler = ZolQueryInformation;
    Chars.ReconfigureHandler = ZolReconfigure;
    Chars.ResetHandler = ZolReset;
    Chars.WanSendHandler = ZolSend;
    Chars.SetInformationHandler = ZolSetInformation;
    Chars.WanTransferDataHandler = ZolTransferData;

    // The wrapper is left registered when NDIS refuses us.
    if (NdisMRegisterMiniport(ZolDriver, &Chars, sizeof(Chars)) != NDIS_STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

// Called once by NDIS at PASSIVE_LEVEL. A failure after the ADAPTER exists
// gives it back: NDIS never halts an adapter whose initialisation failed.
NDIS_STATUS NTAPI ZolInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray,
                                UINT MediumArraySize, NDIS_HANDLE MiniportAdapterHandle,
                                NDIS_HANDLE WrapperConfigurationContext) {
    (void)OpenErrorStatus;
    UINT Index;
    PADAPTER pAdapter;

    for (Index = 0; Index < MediumArraySize; Index++)
        if (MediumArray[Index] == NdisMediumWan)
            break;
    if (Index >= MediumArraySize)
        return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *SelectedMediumIndex = Index;

    if (NdisAllocateMemory(reinterpret_cast<PVOID *>(&pAdapter), sizeof(ADAPTER), 0, HighestAcceptableMax) !=
        NDIS_STATUS_SUCCESS)
        return NDIS_STATUS_RESOURCES;
    for (ULONG i = 0; i < sizeof(ADAPTER); i++)
        reinterpret_cast<PUCHAR>(pAdapter)[i] = 0;
    pGlobal_Adapter = pAdapter;

    pAdapter->MiniportAdapterHandle = MiniportAdapterHandle;
    pAdapter->WrapperConfigurationContext = WrapperConfigurationContext;
    pAdapter->Timeout = DEFAULT_TIMEOUT;
    pAdapter->TraceLevel = TRACE_FULL;
    pAdapter->ThreadsCreated = 0;
    AllocateSpinLock(&pAdapter->Lock);
    InitChainQueue(&pAdapter->RxQueue);
    pAdapter->WanInfo.MaxFrameSize = 1500;
    pAdapter->WanInfo.MaxTransmit = 2;
    pAdapter->WanInfo.HeaderPadding = 5;
    pAdapter->WanInfo.TailPadding = 5;
    pAdapter->WanInfo.Endpoints = 2;
    pAdapter->WanInfo.MemoryFlags = 0;
    pAdapter->WanInfo.HighestAcceptableAddress = HighestAcceptableMax;
    pAdapter->WanInfo.FramingBits =
        TAPI_PROVIDER | PPP_COMPRESS_PROTOCOL_FIELD | PPP_COMPRESS_ADDRESS_CONTROL | PPP_FRAMING;
    pAdapter->WanInfo.DesiredACCM = 0;
    pAdapter->DeviceIDBase = 0;
    pAdapter->MediaModes = LINEMEDIAMODE_DIGITALDATA;
    KeInitializeEvent(&pAdapter->TimerIdleEvent, NotificationEvent, FALSE);

    NdisMSetAttributes(MiniportAdapterHandle, pAdapter, TRUE, NdisInterfaceIsa);

    if (InitializeNdisSymbolicLink(pAdapter) != STATUS_SUCCESS) {
        FreeZolResources(pAdapter);
        FreeAdapterMemory(pAdapter);
        pGlobal_Adapter = NULL;
        return NDIS_STATUS_FAILURE;
    }

    if (InitializeDriverParameters(pAdapter) != NDIS_STATUS_SUCCESS) {
        ZolDeleteSymbolicLink();
        FreeZolResources(pAdapter);
        FreeAdapterMemory(pAdapter);
        pGlobal_Adapter = NULL;
        return NDIS_STATUS_FAILURE;
    }

    // A partial failure is not a failure of initialisation, but the threads
    // it did create are stopped at once rather than left without an owner.
    if (CreateOurThreads(pAdapter))
        pAdapter->ThreadsCreated = 1;
    else
        StopOurThreads(pAdapter);

    NdisMInitializeTimer(&pAdapter->Timer, MiniportAdapterHandle, ZolTimerFunction, pAdapter);
    NdisSetTimer(&pAdapter->Timer, SUPERVISION_PERIOD_MS);

    return NDIS_STATUS_SUCCESS;
}

// Called by NDIS at PASSIVE_LEVEL. Sends nothing to the ISDN driver and
// leaves calls that are still up as they are.
VOID NTAPI ZolHalt(NDIS_HANDLE MiniportAdapterContext) {
    PADAPTER pAdapter = static_cast<PADAPTER>(MiniportAdapterContext);

    StopSupervisionTimer(pAdapter);
    FreeZolResources(pAdapter);
    ReleaseAllBuffers(pAdapter);
    ZolDeleteSymbolicLink();
    FreeAdapterMemory(pAdapter);
}

// Called by NDIS at DISPATCH_LEVEL, where the transport refuses every
// command: in practice only contexts whose call was never sent are released.
NDIS_STATUS NTAPI ZolReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
    (void)AddressingReset;
    PADAPTER pAdapter = static_cast<PADAPTER>(MiniportAdapterContext);

    for (int i = CTX_B1; i <= CTX_B2; i++) {
        PCTX pCtx = &pAdapter->Ctx[i];
        switch (SharedRead(pCtx->State)) {
        case CTX_UNUSED:
        case CTX_FREE:
        case CTX_CLEARING:
            break;
        case CTX_CALL_REQUESTED:
            EndUnplacedCall(pAdapter, pCtx, KILL_REASON_TIMEOUT);
            break;
        default:
            // NDIS resets at DISPATCH_LEVEL, where the transport refuses the
            // clear, so such a call is left as it is; the release is for a
            // clear the ISDN driver took.
            if (ISDN_Clear(SharedRead(pCtx->hCom), pCtx->PhoneNumber, pAdapter))
                KillContext(pCtx, KILL_REASON_TIMEOUT, pAdapter);
            break;
        }
    }
    return NDIS_STATUS_SUCCESS;
}

// Reconfiguration goes through the general loop instead.
NDIS_STATUS NTAPI ZolReconfigure(PNDIS_STATUS OpenErrorStatus, NDIS_HANDLE MiniportAdapterContext,
                                 NDIS_HANDLE WrapperConfigurationContext) {
    (void)OpenErrorStatus;
    (void)MiniportAdapterContext;
    (void)WrapperConfigurationContext;
    return NDIS_STATUS_NOT_SUPPORTED;
}

// NDIS never resets the adapter for a hang.
BOOLEAN NTAPI ZolCheckForHang(NDIS_HANDLE MiniportAdapterContext) {
    (void)MiniportAdapterContext;
    return FALSE;
}

// Stops the worker threads; also the teardown of a failed initialisation.
VOID FreeZolResources(PADAPTER pAdapter) {
    KillGeneralThread(pAdapter);
    StopOurThreads(pAdapter);
}

VOID FreeAdapterMemory(PADAPTER pAdapter) {
    FreeSpinLock(&pAdapter->Lock);
    NdisFreeMemory(pAdapter, sizeof(ADAPTER), 0);
}

VOID ZolCloseConfig(NDIS_HANDLE ConfigurationHandle) { NdisCloseConfiguration(ConfigurationHandle); }

// Called by NDIS at DISPATCH_LEVEL, one request at a time; answered at once.
NDIS_STATUS NTAPI ZolQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                      ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded) {
    return ZolReqQueryInformation(static_cast<PADAPTER>(MiniportAdapterContext), Oid, InformationBuffer,
                                  InformationBufferLength, BytesWritten, BytesNeeded);
}

NDIS_STATUS NTAPI ZolSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                    ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded) {
    return ZolReqSetInformation(static_cast<PADAPTER>(MiniportAdapterContext), Oid, InformationBuffer,
                                InformationBufferLength, BytesRead, BytesNeeded);
}

// Hands a queued frame's packet back to NDISWAN with Status. A descriptor
// without a packet has nothing to complete; freeing the descriptor is the
// caller's.
VOID ZolCompleteSend(PCHAIN_DESCR pDescr, PADAPTER pAdapter, NDIS_STATUS Status) {
    if (pDescr->WanPacket != NULL)
        NdisMWanSendComplete(pAdapter->MiniportAdapterHandle, pDescr->WanPacket, Status);
}

// Each indication is completed at once: the driver never batches them.
NDIS_STATUS ZolIndicateStatus(PADAPTER pAdapter, NDIS_STATUS GeneralStatus, PVOID StatusBuffer,
                              UINT StatusBufferSize) {
    NdisMIndicateStatus(pAdapter->MiniportAdapterHandle, GeneralStatus, StatusBuffer, StatusBufferSize);
    NdisMIndicateStatusComplete(pAdapter->MiniportAdapterHandle);
    return NDIS_STATUS_SUCCESS;
}
