// NDIS 3.0 miniport interface (NDIS.SYS): the operations, handler types and
// records the driver uses, with their NT signatures.
#pragma once

#include "ntkernel.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef int NDIS_STATUS, *PNDIS_STATUS;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;
typedef ANSI_STRING NDIS_ANSI_STRING, *PNDIS_ANSI_STRING;
typedef PHYSICAL_ADDRESS NDIS_PHYSICAL_ADDRESS;

// ---- Status codes -----------------------------------------------------------

#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000L)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103L)
#define NDIS_STATUS_WAN_LINE_UP ((NDIS_STATUS)0x40010008L)
#define NDIS_STATUS_WAN_LINE_DOWN ((NDIS_STATUS)0x40010009L)
#define NDIS_STATUS_TAPI_INDICATION ((NDIS_STATUS)0x40010080L)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001L)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009AL)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BBL)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004L)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005L)

// ---- Media and attributes ---------------------------------------------------

typedef enum _NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3,
    NdisMediumLocalTalk = 4,
    NdisMediumDix = 5,
    NdisMediumArcnetRaw = 6,
    NdisMediumArcnet878_2 = 7
} NDIS_MEDIUM, *PNDIS_MEDIUM;

typedef enum _NDIS_INTERFACE_TYPE {
    NdisInterfaceInternal = 0,
    NdisInterfaceIsa = 1
} NDIS_INTERFACE_TYPE;

// ---- WAN packets --------------------------------------------------------------

typedef struct _NDIS_WAN_PACKET {
    LIST_ENTRY WanPacketQueue;
    PUCHAR CurrentBuffer; // first byte of the frame
    ULONG CurrentLength;  // bytes of the frame
    PUCHAR StartBuffer;
    PUCHAR EndBuffer;
    PVOID ProtocolReserved1;
    PVOID ProtocolReserved2;
    PVOID ProtocolReserved3;
    PVOID ProtocolReserved4;
    PVOID MacReserved1;
    PVOID MacReserved2;
    PVOID MacReserved3;
    PVOID MacReserved4;
} NDIS_WAN_PACKET, *PNDIS_WAN_PACKET;

// ---- Miniport handlers and characteristics -----------------------------------------

typedef BOOLEAN(NTAPI *W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI *W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI *W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                  PUINT SelectedMediumIndex,
                                                  PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                  NDIS_HANDLE MiniportAdapterHandle,
                                                  NDIS_HANDLE WrapperConfigurationContext);
typedef VOID(NTAPI *W_ISR_HANDLER)(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                                   NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI *W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                         NDIS_OID Oid, PVOID InformationBuffer,
                                                         ULONG InformationBufferLength,
                                                         PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI *W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                   NDIS_HANDLE MiniportAdapterContext,
                                                   NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI *W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                             NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI *WM_SEND_HANDLER)(NDIS_HANDLE MacBindingHandle, NDIS_HANDLE NdisLinkHandle,
                                             PNDIS_WAN_PACKET Packet);
typedef NDIS_STATUS(NTAPI *W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                       NDIS_OID Oid, PVOID InformationBuffer,
                                                       ULONG InformationBufferLength,
                                                       PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI *WM_TRANSFER_DATA_HANDLER)(VOID);

#define NDIS_USE_WAN_WRAPPER 0x00000001

// The NDIS 3.0 characteristics: 60 bytes on the 32-bit NT build.
typedef struct _NDIS_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UINT Reserved; // flags: NDIS_USE_WAN_WRAPPER
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    WM_SEND_HANDLER WanSendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    WM_TRANSFER_DATA_HANDLER WanTransferDataHandler;
} NDIS_MINIPORT_CHARACTERISTICS, *PNDIS_MINIPORT_CHARACTERISTICS;

// The length NDIS 3.0 expects: the 32-bit record's size. The host build has
// 64-bit handler pointers, so there the length is the native record's size.
#define NDIS30_CHARACTERISTICS_NT_SIZE 60
#ifdef TOLVANEX_NT_BUILD
static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == NDIS30_CHARACTERISTICS_NT_SIZE,
              "NDIS 3.0 characteristics are 60 bytes");
#endif

VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                 PVOID SystemSpecific2, PVOID SystemSpecific3);
NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                        PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                        UINT CharacteristicsLength);
VOID NTAPI NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                              BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType);

// ---- Configuration ------------------------------------------------------------------

VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                 NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

// ---- Memory -------------------------------------------------------------------------

NDIS_STATUS NTAPI NdisAllocateMemory(PVOID *VirtualAddress, UINT Length, UINT MemoryFlags,
                                     NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

// ---- Miniport timer -------------------------------------------------------------------

typedef VOID(NTAPI *PNDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext,
                                          PVOID SystemSpecific2, PVOID SystemSpecific3);

// Opaque storage of the size NT gives a KTIMER plus KDPC and links; the
// wrapper keeps its own bookkeeping keyed by the record's address.
typedef struct _NDIS_MINIPORT_TIMER {
    ULONG_PTR Reserved[24];
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NTAPI NdisSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);

// ---- Spin lock record (the driver's wrappers use the HAL calls) -------------------

typedef struct _NDIS_SPIN_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql;
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;

// ---- Strings --------------------------------------------------------------------------

VOID NTAPI NdisInitUnicodeString(PNDIS_STRING DestinationString, PCWSTR SourceString);
VOID NTAPI NdisInitAnsiString(PNDIS_ANSI_STRING DestinationString, PCSTR SourceString);
NDIS_STATUS NTAPI NdisUnicodeStringToAnsiString(PNDIS_ANSI_STRING DestinationString,
                                                PNDIS_STRING SourceString);
BOOLEAN NTAPI NdisEqualString(PNDIS_STRING String1, PNDIS_STRING String2, BOOLEAN CaseInsensitive);

// ---- Indications and completions ---------------------------------------------------------

VOID NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                               PVOID StatusBuffer, UINT StatusBufferSize);
VOID NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);
VOID NTAPI NdisMWanIndicateReceive(PNDIS_STATUS Status, NDIS_HANDLE MiniportAdapterHandle,
                                   NDIS_HANDLE NdisLinkContext, PUCHAR PacketBuffer,
                                   UINT PacketSize);
VOID NTAPI NdisMWanIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle,
                                           NDIS_HANDLE NdisLinkContext);
VOID NTAPI NdisMWanSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_WAN_PACKET Packet,
                                NDIS_STATUS Status);

#ifdef __cplusplus
}
#endif
