// A small sample WAN miniport used by the host demonstration: it registers,
// starts one system thread that opens the ISDN device and keeps a read
// outstanding, arms a one-second timer, answers OID_WAN_GET_INFO, and takes
// everything down again at halt. Written as kernel code against platform/.

#include "ndis.h"
#include "ndiswan.h"
#include "pimisdn.h"

namespace sample {

struct ADAPTER {
    NDIS_HANDLE Handle;
    NDIS_MINIPORT_TIMER Timer;
    NDIS_SPIN_LOCK Lock;
    KEVENT StopEvent;
    PDEVICE_OBJECT Isdn;
    ULONG Ticks;
    UCHAR Running;
    UCHAR ThreadDone;
    ISDN_DATA_CMD Read;
};

ADAPTER *pAdapter;
NDIS_HANDLE hWrapper;

const NDIS_PHYSICAL_ADDRESS HighestAddress = {{0xFFFFFFFF, -1}};

VOID NTAPI SampleTimer(PVOID, PVOID Context, PVOID, PVOID) {
    ADAPTER *a = static_cast<ADAPTER *>(Context);
    a->Lock.OldIrql = KfAcquireSpinLock(&a->Lock.SpinLock);
    a->Ticks++;
    NdisSetTimer(&a->Timer, 1000);
    KfReleaseSpinLock(&a->Lock.SpinLock, a->Lock.OldIrql);
}

ULONG Exchange(ADAPTER *a, PVOID Block, ULONG Length) {
    KEVENT done;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_PIMISDN_COMMAND, a->Isdn, Block, Length, Block, Length, FALSE,
                                             &done, &iosb);
    if (!irp)
        return 1;
    NTSTATUS status = IofCallDriver(a->Isdn, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
        status = iosb.u.Status;
    }
    return status == STATUS_SUCCESS ? static_cast<PISDN_CMD>(Block)->status : 1;
}

VOID NTAPI SampleThread(PVOID Context) {
    ADAPTER *a = static_cast<ADAPTER *>(Context);
    UNICODE_STRING name;
    NdisInitUnicodeString(&name, PIMISDN_DEVICE_NAME);
    LARGE_INTEGER retry;
    retry.QuadPart = -50000000LL; // 5 s
    while (a->Running && !a->Isdn) {
        PFILE_OBJECT file;
        if (IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &a->Isdn) != STATUS_SUCCESS) {
            a->Isdn = nullptr;
            KeWaitForSingleObject(&a->StopEvent, Executive, KernelMode, FALSE, &retry);
        }
    }
    if (a->Running) {
        // One listen, then read what the line says until halt.
        ISDN_CMD *listen;
        if (NdisAllocateMemory(reinterpret_cast<PVOID *>(&listen), sizeof(ISDN_CMD), 0, HighestAddress) ==
            NDIS_STATUS_SUCCESS) {
            for (ULONG i = 0; i < sizeof(ISDN_CMD); i++)
                reinterpret_cast<PUCHAR>(listen)[i] = 0;
            listen->command = ISDN_CLASS_CONTROL;
            listen->code = ISDN_CODE_LISTEN;
            if (Exchange(a, listen, sizeof(ISDN_CMD)) == 0) {
                UCHAR hCom = listen->hCom;
                while (a->Running) {
                    for (ULONG i = 0; i < sizeof(ISDN_DATA_CMD); i++)
                        reinterpret_cast<PUCHAR>(&a->Read)[i] = 0;
                    a->Read.command = ISDN_CLASS_READ;
                    a->Read.hCom = hCom;
                    a->Read.data_length = ISDN_MAX_DATA;
                    if (Exchange(a, &a->Read, sizeof(ISDN_DATA_CMD)) != 0 || a->Read.code == APP_CLEAR_CO)
                        break;
                }
            }
            NdisFreeMemory(listen, sizeof(ISDN_CMD), 0);
        }
    }
    a->ThreadDone = 1;
}

NDIS_STATUS NTAPI SampleInitialize(PNDIS_STATUS, PUINT Selected, PNDIS_MEDIUM Media, UINT Count, NDIS_HANDLE Handle,
                                   NDIS_HANDLE) {
    UINT i = 0;
    while (i < Count && Media[i] != NdisMediumWan)
        i++;
    if (i == Count)
        return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *Selected = i;
    if (NdisAllocateMemory(reinterpret_cast<PVOID *>(&pAdapter), sizeof(ADAPTER), 0, HighestAddress) !=
        NDIS_STATUS_SUCCESS)
        return NDIS_STATUS_RESOURCES;
    for (ULONG b = 0; b < sizeof(ADAPTER); b++)
        reinterpret_cast<PUCHAR>(pAdapter)[b] = 0;
    pAdapter->Handle = Handle;
    pAdapter->Running = 1;
    KeInitializeSpinLock(&pAdapter->Lock.SpinLock);
    KeInitializeEvent(&pAdapter->StopEvent, SynchronizationEvent, FALSE);
    NdisMSetAttributes(Handle, pAdapter, TRUE, NdisInterfaceIsa);
    HANDLE thread;
    if (PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SampleThread, pAdapter) !=
        STATUS_SUCCESS)
        pAdapter->ThreadDone = 1;
    else
        ZwClose(thread);
    NdisMInitializeTimer(&pAdapter->Timer, Handle, SampleTimer, pAdapter);
    NdisSetTimer(&pAdapter->Timer, 1000);
    return NDIS_STATUS_SUCCESS;
}

VOID NTAPI SampleHalt(NDIS_HANDLE Context) {
    ADAPTER *a = static_cast<ADAPTER *>(Context);
    BOOLEAN cancelled;
    NdisMCancelTimer(&a->Timer, &cancelled);
    a->Running = 0;
    KeSetEvent(&a->StopEvent, 0, FALSE);
    while (!a->ThreadDone)
        KeStallExecutionProcessor(100000);
    NdisFreeMemory(a, sizeof(ADAPTER), 0);
}

NDIS_STATUS NTAPI SampleQuery(NDIS_HANDLE, NDIS_OID Oid, PVOID Buffer, ULONG Length, PULONG Written, PULONG Needed) {
    if (Oid != OID_WAN_GET_INFO)
        return NDIS_STATUS_INVALID_OID;
    if (Length < sizeof(NDIS_WAN_INFO)) {
        *Needed = sizeof(NDIS_WAN_INFO);
        return NDIS_STATUS_INVALID_LENGTH;
    }
    NDIS_WAN_INFO *info = static_cast<NDIS_WAN_INFO *>(Buffer);
    info->MaxFrameSize = 1500;
    info->MaxTransmit = 2;
    info->HeaderPadding = 5;
    info->TailPadding = 5;
    info->Endpoints = 2;
    info->MemoryFlags = 0;
    info->HighestAcceptableAddress = HighestAddress;
    info->FramingBits = TAPI_PROVIDER | PPP_FRAMING;
    info->DesiredACCM = 0;
    *Written = sizeof(NDIS_WAN_INFO);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI SampleSet(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return NDIS_STATUS_INVALID_OID; }
NDIS_STATUS NTAPI SampleReset(PBOOLEAN, NDIS_HANDLE) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS NTAPI SampleSend(NDIS_HANDLE, NDIS_HANDLE, PNDIS_WAN_PACKET) { return NDIS_STATUS_FAILURE; }

} // namespace sample

// Entry point of the sample miniport.
NTSTATUS SampleDriverEntry(_DRIVER_OBJECT *DriverObject, _UNICODE_STRING *RegistryPath) {
    using namespace sample;
    NdisInitializeWrapper(&hWrapper, DriverObject, RegistryPath, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS chars = {};
    chars.MajorNdisVersion = 3;
    chars.MinorNdisVersion = 0;
    chars.Reserved = NDIS_USE_WAN_WRAPPER;
    chars.InitializeHandler = SampleInitialize;
    chars.HaltHandler = SampleHalt;
    chars.QueryInformationHandler = SampleQuery;
    chars.SetInformationHandler = SampleSet;
    chars.ResetHandler = SampleReset;
    chars.WanSendHandler = SampleSend;
    return NdisMRegisterMiniport(hWrapper, &chars, sizeof chars) == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS
                                                                                         : STATUS_UNSUCCESSFUL;
}
