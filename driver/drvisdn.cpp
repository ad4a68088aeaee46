// drvisdn: the ISDN driver's device and the one I/O control request that
// carries every command block to it; the call-control commands.

#include "tolvanex.h"

// Called by the general thread at PASSIVE_LEVEL until it succeeds.
BOOLEAN OpenPimIsdn(PADAPTER pAdapter) {
    UNICODE_STRING Name;
    PFILE_OBJECT pFile;
    PDEVICE_OBJECT pDevice;

    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return FALSE;
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
    if (!ValidHandle(pCtx->hCom))
        return FALSE;
    if ((pCmd = NewCommand(ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP)) == NULL)
        return FALSE;
    pCmd->hCom = pCtx->hCom;
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
    pCmd->hCom = pListen->hCom;
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
    if (!ValidHandle(pCtx->hCom))
        return FALSE;
    if ((pCmd = NewCommand(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR_RESP)) == NULL)
        return FALSE;
    pCmd->hCom = pCtx->hCom;
    Ok = SendIoControlToPimIsdn(pAdapter, pCmd, ISDN_CMD_SIZE) == 0;
    FreeCommand(pCmd);
    return Ok;
}
