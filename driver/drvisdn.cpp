// drvisdn: the ISDN driver's device and the one I/O control request that
// carries every command block to it; the call-control commands.

#include "tolvanex.h"

// Called by the general thread at PASSIVE_LEVEL until it succeeds.
BOOLEAN OpenPimIsdn(PADAPTER pAdapter) {
    UNICODE_STRING Name;
    PFILE_OBJECT pFile;
    PDEVICE_OBJECT pDevice;

    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return FALSE; // the general thread never is; the object look-up would not be allowed
    Name.Buffer = const_cast<PWSTR>(PIMISDN_DEVICE_NAME);
    Name.Length = sizeof(PIMISDN_DEVICE_NAME) - sizeof(WCHAR);
    Name.MaximumLength = sizeof(PIMISDN_DEVICE_NAME);
    if (IoGetDeviceObjectPointer(&Name, FILE_ALL_ACCESS, &pFile, &pDevice) != STATUS_SUCCESS)
        return FALSE;
    // The file object's reference is what keeps the ISDN driver ours; it is
    // released at halt, which ends every request still held there.
    pAdapter->PimIsdnFileObject = pFile;
    SharedWrite(pAdapter->PimIsdnDeviceObject, pDevice);
    return TRUE;
}

// Called at halt (PASSIVE_LEVEL), once the threads are told to stop.
VOID ClosePimIsdn(PADAPTER pAdapter) {
    if (pAdapter->PimIsdnFileObject != NULL) {
        ObfDereferenceObject(pAdapter->PimIsdnFileObject);
        pAdapter->PimIsdnFileObject = NULL;
    }
}

// Carries one block to the ISDN driver and back, synchronously, with no
// time-out. PASSIVE_LEVEL only; 0 is success, 1 a failure of the exchange
// itself, anything else the ISDN driver's own status.
ULONG SendIoControlToPimIsdn(PADAPTER pAdapter, PVOID Block, ULONG Length) {
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    PIRP pIrp;
    NTSTATUS Status;
    PDEVICE_OBJECT pDevice = SharedRead(pAdapter->PimIsdnDeviceObject);

    if (pDevice == NULL)
        return 1;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return 1;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(IOCTL_PIMISDN_COMMAND, pDevice, Block, Length, Block, Length, FALSE, &Event,
                                         &IoStatus);
    if (pIrp == NULL)
        return 1;
    Status = IofCallDriver(pDevice, pIrp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, NULL);
        Status = IoStatus.u.Status;
    }
    if (Status != STATUS_SUCCESS)
        return 1;
    return static_cast<PISDN_CMD>(Block)->status;
}

// Every call-control command: a fresh zeroed 207-byte block, freed again
// before the routine returns.
static PISDN_CMD NewCommand(UCHAR Command, UCHAR Code) {
    PISDN_CMD pCmd;
    if (NdisAllocateMemory(reinterpret_cast<PVOID *>(&pCmd), ISDN_CMD_SIZE, 0, HighestAcceptableMax) !=
        NDIS_STATUS_SUCCESS)
        return NULL;
    ZeroBytes(pCmd, ISDN_CMD_SIZE);
    pCmd->command = Command;
    pCmd->code = Code;
    return pCmd;
}

static VOID FreeCommand(PISDN_CMD pCmd) { NdisFreeMemory(pCmd, ISDN_CMD_SIZE, 0); }

// Called by the general loop for a context in CTX_CALLING.
BOOLEAN ISDN_Call(PCTX pCtx, PADAPTER pAdapter) {
    PISDN_CMD pCmd = NewCommand(ISDN_CLASS_CONTROL, ISDN_CODE_CALL);
    BOOLEAN Ok;
    if (pCmd == NULL)
        return FALSE;
    pCmd->call_options[0] = pCmd->call_options[1] = pCmd->call_options[2] = pCmd->call_options[3] = 0;
    if (pAdapter->LocalAddressLength != 0)
        CopyString(pCmd->local_address, pAdapter->LocalAddress, ISDN_NUMBER_SIZE);
    CopyString(pCmd->called_number, pCtx->PhoneNumber, ISDN_NUMBER_SIZE);
    Ok = SendIoControlToPimIsdn(pAdapter, pCmd, ISDN_CMD_SIZE) == 0;
    if (Ok)
        SharedWrite(pCtx->hCom, pCmd->hCom);
    FreeCommand(pCmd);
    return Ok;
}

// Called by the listen thread on the context it allocated for an incoming call.
BOOLEAN ISDN_CallResp(PCTX pCtx, PADAPTER pAdapter) {
    PISDN_CMD pCmd;
    BOOLEAN Ok;
    if (!ValidHandle(SharedRead(pCtx->hCom)))
        return FALSE;
    if ((pCmd = NewCommand(ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP)) == NULL)
        return FALSE;
    pCmd->hCom = SharedRead(pCtx->hCom);
    CopyString(pCmd->called_number, pCtx->PhoneNumber, ISDN_NUMBER_SIZE);
    Ok = SendIoControlToPimIsdn(pAdapter, pCmd, ISDN_CMD_SIZE) == 0;
    FreeCommand(pCmd);
    return Ok;
}

// Called by the general loop. The address and subaddress are joined; a
// configuration too long for local_address is cut when it is read.
BOOLEAN ISDN_Listen(PADAPTER pAdapter) {
    PISDN_CMD pCmd = NewCommand(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN);
    ULONG At = 0;
    BOOLEAN Ok;
    if (pCmd == NULL)
        return FALSE;
    pCmd->call_options[0] = pCmd->call_options[1] = pCmd->call_options[2] = pCmd->call_options[3] = 0;
    if (pAdapter->LocalAddressLength != 0)
        At = CopyString(pCmd->local_address, pAdapter->LocalAddress, ISDN_NUMBER_SIZE);
    if (pAdapter->SubAddressLength != 0)
        CopyString(pCmd->local_address + At, pAdapter->SubAddress, ISDN_NUMBER_SIZE - At);
    Ok = SendIoControlToPimIsdn(pAdapter, pCmd, ISDN_CMD_SIZE) == 0;
    if (Ok)
        SharedWrite(pAdapter->Ctx[CTX_LISTEN].hCom, pCmd->hCom);
    FreeCommand(pCmd);
    return Ok;
}

// Called by the general loop; nothing is sent without a listen in place.
BOOLEAN ISDN_CancelListen(PADAPTER pAdapter) {
    PCTX pListen = &pAdapter->Ctx[CTX_LISTEN];
    PISDN_CMD pCmd;
    BOOLEAN Ok;
    if (!ValidHandle(SharedRead(pListen->hCom)))
        return FALSE;
    if ((pCmd = NewCommand(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN)) == NULL)
        return FALSE;
    pCmd->hCom = SharedRead(pListen->hCom);
    Ok = SendIoControlToPimIsdn(pAdapter, pCmd, ISDN_CMD_SIZE) == 0;
    if (Ok)
        SharedWrite(pListen->hCom, 0);
    FreeCommand(pCmd);
    return Ok;
}

// The handle stays in its context until the clearing is confirmed.
BOOLEAN ISDN_Clear(UCHAR hCom, PCSTR Number, PADAPTER pAdapter) {
    PISDN_CMD pCmd;
    BOOLEAN Ok;
    if (!ValidHandle(hCom))
        return FALSE;
    if ((pCmd = NewCommand(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR)) == NULL)
        return FALSE;
    pCmd->hCom = hCom;
    CopyString(pCmd->called_number, Number, ISDN_NUMBER_SIZE);
    Ok = SendIoControlToPimIsdn(pAdapter, pCmd, ISDN_CMD_SIZE) == 0;
    FreeCommand(pCmd);
    return Ok;
}

BOOLEAN ISDN_ClearResp(PCTX pCtx, PADAPTER pAdapter) {
    PISDN_CMD pCmd;
    BOOLEAN Ok;
    if (!ValidHandle(SharedRead(pCtx->hCom)))
        return FALSE;
    if ((pCmd = NewCommand(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR_RESP)) == NULL)
        return FALSE;
    pCmd->hCom = SharedRead(pCtx->hCom);
    Ok = SendIoControlToPimIsdn(pAdapter, pCmd, ISDN_CMD_SIZE) == 0;
    FreeCommand(pCmd);
    return Ok;
}

// ---- Data commands -----------------------------------------------------------------

// Called by the general thread's sending pass; one block per frame, all 2255
// bytes exchanged whatever the frame's length.
BOOLEAN ISDN_Send(PCTX pCtx, PADAPTER pAdapter, PUCHAR Data, USHORT Length) {
    PISDN_DATA_CMD pCmd;
    BOOLEAN Ok;
    if (!ValidHandle(SharedRead(pCtx->hCom)))
        return FALSE;
    if (Length > ISDN_MAX_DATA)
        return FALSE; // cannot be carried; the pass never asks it
    if (NdisAllocateMemory(reinterpret_cast<PVOID *>(&pCmd), ISDN_DATA_CMD_SIZE, 0, HighestAcceptableMax) !=
        NDIS_STATUS_SUCCESS)
        return FALSE;
    ZeroBytes(pCmd, ISDN_DATA_CMD_SIZE);
    pCmd->command = ISDN_CLASS_CONTROL;
    pCmd->code = ISDN_CODE_SEND;
    pCmd->hCom = SharedRead(pCtx->hCom);
    pCmd->data_length = Length;
    CopyBytes(pCmd->data, Data, Length);
    Ok = SendIoControlToPimIsdn(pAdapter, pCmd, ISDN_DATA_CMD_SIZE) == 0;
    NdisFreeMemory(pCmd, ISDN_DATA_CMD_SIZE, 0);
    return Ok;
}

// Called by the context's receive thread. Returns TRUE when the read
// succeeded (and was analysed) or there was no connection to read from;
// FALSE when a read was made and failed.
BOOLEAN ISDN_Receive(PCTX pCtx, PADAPTER pAdapter) {
    PISDN_DATA_CMD pCmd = &pCtx->RcvCmd;
    UCHAR hCom = SharedRead(pCtx->hCom);
    if (!ValidHandle(hCom))
        return TRUE;
    ZeroBytes(pCmd, ISDN_DATA_CMD_SIZE);
    pCmd->command = ISDN_CLASS_READ;
    pCmd->hCom = hCom;
    pCmd->data_length = ISDN_MAX_DATA;
    if (SendIoControlToPimIsdn(pAdapter, pCmd, ISDN_DATA_CMD_SIZE) != 0)
        return FALSE;
    AnalyseRcv(pCtx, pAdapter, pCmd);
    return TRUE;
}

// Hands a message to its handler, on the reading thread.
VOID AnalyseRcv(PCTX pCtx, PADAPTER pAdapter, PISDN_DATA_CMD pCmd) {
    // Reads are made at PASSIVE_LEVEL, so the level test always holds; it
    // keeps the events to callers that may log.
    BOOLEAN Trace = pAdapter->TraceLevel >= TRACE_DATAS && KeGetCurrentIrql() == PASSIVE_LEVEL;
    USHORT Length;

    switch (pCmd->code) {
    case APP_FLOW_ON:
        SharedWrite(pCtx->XmitOff, 0);
        break;
    case APP_FLOW_OFF:
        SharedWrite(pCtx->XmitOff, 1);
        break;
    case APP_CONN_IN: {
        if (Trace)
            RaiseEvent(pAdapter, 0, SECTION_ISDN, EVT_CONN_IN);
        // The listen is used up: the general loop listens again.
        SharedWrite(pAdapter->Ctx[CTX_LISTEN].hCom, ISDN_HCOM_NONE);
        SharedWrite(pAdapter->ListenRequest, 1);
        ULONG NumberLength = 0;
        while (NumberLength < ISDN_MAX_DIGITS && pCmd->called_number[NumberLength] != 0)
            NumberLength++;
        pCmd->called_number[NumberLength] = 0; // a number the ISDN driver did not end stops at 32
        ProcessConInd(pAdapter, pCmd->hCom, pCmd->called_number, NumberLength);
        break;
    }
    case APP_CONN_CO:
        if (Trace)
            RaiseEvent(pAdapter, 0, SECTION_ISDN, EVT_CONN_CO);
        ProcessConCon(pCtx, pAdapter);
        break;
    case APP_CLEAR_IN:
        if (Trace)
            RaiseEvent(pAdapter, 0, SECTION_ISDN, EVT_CLEAR_IN);
        ProcessDisInd(pCtx, pAdapter, pCmd->cause);
        break;
    case APP_CLEAR_CO:
        if (Trace)
            RaiseEvent(pAdapter, 0, SECTION_ISDN, EVT_CLEAR_CO);
        ProcessDisCon(pCtx, pAdapter);
        break;
    case APP_DATA_IN:
        // A length over the room the read offered is left to ProcessDatInd
        // to refuse; nothing past the data part is ever read.
        Length = pCmd->data_length;
        ProcessDatInd(pCtx, pAdapter, pCmd->data, Length);
        break;
    default:
        break;
    }
}
