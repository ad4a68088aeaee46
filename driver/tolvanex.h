// Tolvanex: the records, constants, globals and prototypes shared by the
// driver's seven modules.
//
// The lock rule: the ADAPTER's Lock is the driver's only spin lock. It guards
// the buffer chains and descriptors, the countdowns (TimeoutCount), and the
// start and end of a sending pass. It is never held across a call to the ISDN
// driver or to NDIS, never nested, and taken through AcquireSpinLock and
// ReleaseSpinLock only (the previous IRQL lives in the lock itself).
#pragma once

#include "ndis.h"
#include "ntcrt.h"
#include "ndistapi.h"
#include "ndiswan.h"
#include "pimisdn.h"

// ---- Constants ----------------------------------------------------------------

#define TOLVANEX_NDIS_MAJOR 3
#define TOLVANEX_NDIS_MINOR 0

// Context states.
#define CTX_UNUSED 0
#define CTX_FREE 1
#define CTX_CALL_REQUESTED 2
#define CTX_CALLING 3
#define CTX_OPEN 4
#define CTX_CLEARING 6
#define CTX_CONNECTED 7
#define CTX_OPEN_SENDING_DATA 9
#define CTX_ANY_STATE 0xFFFF // KillContextIn: whatever the state

// Reserved marks of a context (see AllocationContext and KillContext).
#define CTX_NOT_RESERVED 0
#define CTX_RESERVED 1
#define CTX_RELEASING 2

// A line's Usage: the calls it takes, from the RAS "Usage" value.
#define USAGE_SERVER 0            // incoming only
#define USAGE_CLIENT 1            // outgoing only
#define USAGE_CLIENT_AND_SERVER 2 // both

// A line's Used mark.
#define GATEWAY_UNUSED 0
#define GATEWAY_CONFIGURED 0xFF // a configured line device

// Context indexes in the ADAPTER.
#define CTX_B1 0
#define CTX_B2 1
#define CTX_LISTEN 2
#define MAX_CTX 3
#define MAX_BCHANNEL 2
#define MAX_GATEWAY 2

// Receive buffers held ready per context, and their size.
#define MAX_RX_BUFFER 2
#define RX_BUFFER_SIZE ISDN_MAX_DATA

// RxState of a context.
#define RX_IN_RECEIVE 1
#define RX_IDLE 2

// Descriptor Type of a received frame waiting for delivery.
#define DESCR_TYPE_RECEIVED 2

// Release reasons kept by KillContext.
#define KILL_REASON_CLEARED 0
#define KILL_REASON_TIMEOUT 4
#define KILL_REASON_EMERGENCY 5

// Defaults.
#define DEFAULT_TIMEOUT 1800 // seconds
#define TRACE_NONE 0
#define TRACE_ERRORS 1
#define TRACE_DATAS 2
#define TRACE_FULL 70 // 'F'
#define NUMBER_SIZE 33 // 32 characters and the NUL
#define MAX_SEND_FRAME 1600 // longer queued frames are dropped unsent

// Waits of the worker threads, in 100-ns units (relative).
#define WAIT_OPEN_RETRY (-100000000LL) // 10 s
#define WAIT_ONE_SECOND (-10000000LL)  // 1 s
#define STOP_BUSY_WAIT_US 50000        // 50 ms
#define SUPERVISION_PERIOD_MS 1000

// A refused listen is tried again after 1, 2, 4 ... seconds, at most
// LISTEN_RETRY_MAX_WAIT apart and LISTEN_RETRIES times in a row.
#define LISTEN_RETRIES 10
#define LISTEN_RETRY_MAX_WAIT 60

// Event sections (the subject of %3).
#define SECTION_CONFIGURATION 0
#define SECTION_ISDN 1
#define SECTION_WAN 3

// Event identifiers of the message table.
#define EVT_RECONFIGURATION_DONE 0x40000000
#define EVT_CONFIGURATION_DONE 0x40000007
#define EVT_ISDN_NOT_CONNECTED 0x40000008
#define EVT_CONN_IN 0x4000000D
#define EVT_CONN_CO 0x4000000E
#define EVT_CLEAR_CO 0x4000000F
#define EVT_CLEAR_IN 0x40000010
#define EVT_SEND_INVALID_LINK 0x40000012
#define EVT_DATA_RECEIVED 0x40000013
#define EVT_DATA_SENT 0x40000014
#define EVT_TIMEOUT_EXPIRED 0x40000015
#define EVT_NO_TAPI_DEVICES_KEY 0xC0000001
#define EVT_NO_TAPI_SUBKEY 0xC0000002
#define EVT_NO_MEDIA_TYPE 0xC0000003
#define EVT_NO_ADDRESS 0xC0000004
#define EVT_NO_ROUTE 0xC0000005
#define EVT_NO_RAS_PORT 0xC0000006
#define NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER 0xC0001393

// ---- Records ---------------------------------------------------------------------

struct _ADAPTER;

// A frame buffer: this header, then the data area, in one block.
typedef struct _CHAIN_DESCR {
    struct _CHAIN_DESCR *Flink; // next in its queue; itself when in none
    struct _CHAIN_DESCR *Blink; // previous in its queue; itself when in none
    ULONG_PTR Signature;        // own address while allocated, 0 once released
    USHORT Length;              // data bytes held
    USHORT AllocSize;           // header plus capacity
    USHORT Type;                // DESCR_TYPE_RECEIVED on the reception path
    ULONG NdisLinkContext;      // received frame: NDISWAN's link context
    PNDIS_WAN_PACKET WanPacket; // frame to send: the packet to complete
    PUCHAR Data;                // the byte right after this header
} CHAIN_DESCR, *PCHAIN_DESCR;

// A circular doubly linked queue of descriptors; the head takes part in the
// circle, so an empty queue points to itself.
typedef struct _CHAIN_QUEUE {
    PCHAIN_DESCR Flink; // first element
    PCHAIN_DESCR Blink; // last element
} CHAIN_QUEUE, *PCHAIN_QUEUE;

#pragma pack(push, 1)

// The leading fields a GATEWAY shares with the CTX of its call; AllocContext
// copies them as one block.
typedef struct _GATEWAY_LEAD {
    CHAR Address[16];              // port address text as RAS names it
    NDIS_STRING AddressU;          // scratch while converting the registry string
    ULONG htLine;                  // TAPI's handle of the open line; 0 when closed
    ULONG htCall;                  // TAPI's handle of the current call; 0 when none
    ULONG hdCall;                  // identity of the call's CTX
    ULONG AddressID;               // last address ID TAPI named
    ULONG DeviceID;                // TAPI device ID of the line
    CHAR PhoneNumber[NUMBER_SIZE]; // number to call, NUL-terminated
    UCHAR PhoneNumberLength;       // characters in PhoneNumber
    USHORT Timeout;                // idle time-out of calls on the line, seconds
} GATEWAY_LEAD;

// One TAPI line device.
typedef struct _GATEWAY : GATEWAY_LEAD {
    USHORT Usage;    // USAGE_*
    USHORT Used;     // GATEWAY_CONFIGURED or GATEWAY_UNUSED
    UCHAR CallSeen;  // 1 once a call was placed or connected on the line
    ULONG CallState; // LINECALLSTATE_* last reported to TAPI
} GATEWAY, *PGATEWAY;

#pragma pack(pop)

// One channel context: B1, B2 or the listen context.
typedef struct _CTX : GATEWAY_LEAD {
    CHAIN_QUEUE SendQueue;                // frames waiting for the data command
    PCHAIN_DESCR RxDescr[MAX_RX_BUFFER];  // receive buffers held ready; NULL = empty
    USHORT TimeoutCount;                  // seconds left before the call times out
    PGATEWAY pGway;                       // the call's line device
    USHORT State;                         // CTX_*
    ULONG NdisLinkContext;                // NDISWAN's link context; 0 before line up
    NDIS_WAN_GET_LINK_INFO LinkInfo;      // the link's settings
    ULONG LinkSpeed;                      // bits per second
    UCHAR hCom;                           // ISDN handle 1..16; 0xFF none
    UCHAR RxState;                        // RX_IDLE or RX_IN_RECEIVE
    ISDN_DATA_CMD RcvCmd;                 // this context's read block
    ULONG KillReason;                     // kept while a release is deferred
    ULONG AppSpecific;                    // TAPI application-specific value
    ULONG CommentSize;                    // bytes in Comment
    UCHAR Comment[256];                   // from the make-call parameters
    UCHAR LineUp;                         // 1 while NDISWAN knows the line is up
    UCHAR Inbound;                        // 1 incoming call, 0 outgoing
    UCHAR XmitOff;                        // 1 while the ISDN driver stopped sending
    UCHAR Reserved;                       // CTX_RESERVED from allocation, CTX_RELEASING while released, else CTX_NOT_RESERVED
    UCHAR Dropped;                        // 1 once TAPI dropped the call during a sending pass; under Lock
} CTX, *PCTX;

typedef struct _ADAPTER {
    NDIS_HANDLE MiniportAdapterHandle;   // from NDIS; passed to every NDIS call
    NDIS_MINIPORT_TIMER Timer;           // the one-second supervision timer
    NDIS_SPIN_LOCK Lock;                 // the driver's only lock
    NDIS_WAN_INFO WanInfo;               // answer to OID_WAN_GET_INFO
    ULONG DeviceIDBase;                  // TAPI's first device ID for the driver
    ULONG MediaModes;                    // LINEMEDIAMODE_DIGITALDATA
    USHORT AddressIndex;                 // gateway of the next RAS address; then line count
    USHORT UsageIndex;                   // gateway of the next RAS usage
    USHORT ReconfigRequest;              // 1: the general loop is to reconfigure
    USHORT Timeout;                      // idle time-out, seconds
    HANDLE GeneralHandle;                // the general thread
    HANDLE B1Handle;                     // the B1 receive thread
    HANDLE B2Handle;                     // the B2 receive thread
    HANDLE ListenHandle;                 // the listen thread
    PDEVICE_OBJECT PimIsdnDeviceObject;  // the ISDN driver's device; NULL until opened
    NDIS_HANDLE WrapperConfigurationContext; // from NDIS, to open the configuration
    KEVENT GeneralEvent;                 // wakes the general thread
    KEVENT B1Event;                      // the B1 receive thread's timed sleep
    KEVENT B2Event;                      // the B2 receive thread's timed sleep
    KEVENT ListenEvent;                  // the listen thread's timed sleep
    UCHAR ThreadsCreated;                // 1: the thread stop at halt is to act
    UCHAR ListenRequest;                 // 1: the general loop is to listen again
    GATEWAY Gateway[MAX_GATEWAY];        // the two TAPI line devices
    CTX Ctx[MAX_CTX];                    // B1, B2 and the listen context
    CHAIN_QUEUE RxQueue;                 // received frames waiting for delivery
    UCHAR LocalAddressLength;            // digits in LocalAddress; 0 none
    CHAR LocalAddress[NUMBER_SIZE];      // local ISDN number
    UCHAR SubAddressLength;              // length of SubAddress with its '*'; 0 none
    CHAR SubAddress[NUMBER_SIZE];        // '*' and the subaddress digits
    UCHAR TraceLevel;                    // gates the event hook

    // Teardown bookkeeping of this driver (see docs/decisions.md).
    PFILE_OBJECT PimIsdnFileObject;      // the reference taken by opening the device
    PVOID ThreadObject[4];               // referenced thread objects, to wait for their end
    UCHAR Stopping;                      // 1 once the threads are told to stop
    UCHAR TimerStopping;                 // 1 once halt began: the timer no longer re-arms
    KEVENT TimerIdleEvent;               // set by a timer run that saw TimerStopping
    ULONG DescrInUse;                    // buffer descriptors allocated and not yet freed; under Lock
    ULONG FramesWithoutLink;             // received frames dropped for want of a line up; under Lock
    USHORT ListenRetryWait;              // seconds before a refused listen is tried again; under Lock
    UCHAR ListenRetryPending;            // 1 while a refused listen waits to be tried again
    UCHAR ListenFailures;                // listens refused in a row since the last request
} ADAPTER, *PADAPTER;

// ---- Globals ----------------------------------------------------------------------

extern PADAPTER pGlobal_Adapter;
extern NDIS_HANDLE ZolDriver;
extern const NDIS_PHYSICAL_ADDRESS HighestAcceptableMax;
extern UCHAR loopGeneralThread;
extern UCHAR loopThreadReceiveB1;
extern UCHAR loopThreadReceiveB2;
extern UCHAR loopThreadListen;

// ---- Fields shared without the lock -------------------------------------------------

// Request flags, loop flags and countdowns that one side sets and another
// reads without the lock go through these two, so the compiler neither
// caches nor tears them.
// On x86 an aligned volatile access of a word or less is atomic, and its
// stores are seen in order: a load is an acquire, a store a release. The
// race build says so in the form ThreadSanitizer understands.
#if defined(__SANITIZE_THREAD__)
template <class T> inline T SharedRead(const T &Field) { return __atomic_load_n(&Field, __ATOMIC_ACQUIRE); }
template <class T, class V> inline void SharedWrite(T &Field, V Value) {
    __atomic_store_n(&Field, static_cast<T>(Value), __ATOMIC_RELEASE);
}
#else
template <class T> inline T SharedRead(const T &Field) { return *static_cast<const volatile T *>(&Field); }
template <class T, class V> inline void SharedWrite(T &Field, V Value) {
    *static_cast<volatile T *>(&Field) = static_cast<T>(Value);
}
#endif

inline BOOLEAN ValidHandle(UCHAR hCom) { return hCom >= ISDN_HCOM_MIN && hCom <= ISDN_HCOM_MAX; }

// ntoskrnl's memset and memcpy (RtlZeroMemory and RtlCopyMemory): frames
// are copied whole, not a byte at a time. An empty copy may name no buffer.
inline VOID ZeroBytes(PVOID Destination, ULONG Length) {
    if (Length)
        memset(Destination, 0, Length);
}

inline VOID CopyBytes(PVOID Destination, const VOID *Source, ULONG Length) {
    if (Length)
        memcpy(Destination, Source, Length);
}

// Copies a NUL-terminated string with its NUL into at most Room bytes; the
// copy is always terminated. Returns the characters copied.
inline ULONG CopyString(PCHAR Destination, PCSTR Source, ULONG Room) {
    ULONG n = 0;
    if (Room == 0)
        return 0;
    while (n + 1 < Room && Source[n] != 0) {
        Destination[n] = Source[n];
        n++;
    }
    Destination[n] = 0;
    return n;
}

// ---- drvmin.cpp ------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NDIS_STATUS NTAPI ZolInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray,
                                UINT MediumArraySize, NDIS_HANDLE MiniportAdapterHandle,
                                NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI ZolHalt(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS NTAPI ZolReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS NTAPI ZolReconfigure(PNDIS_STATUS OpenErrorStatus, NDIS_HANDLE MiniportAdapterContext,
                                 NDIS_HANDLE WrapperConfigurationContext);
BOOLEAN NTAPI ZolCheckForHang(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS NTAPI ZolQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                      ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS NTAPI ZolSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                    ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded);
VOID FreeZolResources(PADAPTER pAdapter);
VOID FreeAdapterMemory(PADAPTER pAdapter);
VOID ZolCloseConfig(NDIS_HANDLE ConfigurationHandle);
VOID ZolCompleteSend(PCHAIN_DESCR pDescr, PADAPTER pAdapter, NDIS_STATUS Status);
NDIS_STATUS ZolIndicateStatus(PADAPTER pAdapter, NDIS_STATUS GeneralStatus, PVOID StatusBuffer, UINT StatusBufferSize);

// ---- drvind.cpp ------------------------------------------------------------------------

BOOLEAN CreateOurThreads(PADAPTER pAdapter);
VOID NTAPI GeneralThread(PVOID Context);
VOID NTAPI ThreadReceiveB1(PVOID Context);
VOID NTAPI ThreadReceiveB2(PVOID Context);
VOID NTAPI ThreadListen(PVOID Context);
VOID ZolSetEvent(PADAPTER pAdapter);
VOID KillGeneralThread(PADAPTER pAdapter);
VOID StopOurThreads(PADAPTER pAdapter);
VOID NTAPI ZolTimerFunction(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3);
VOID StopSupervisionTimer(PADAPTER pAdapter);
ULONG AnalyseEmergencyStop(ULONG Reason);
VOID EmergencyStop(PADAPTER pAdapter, PCTX pCtx, ULONG Reason);
BOOLEAN ProcessConInd(PADAPTER pAdapter, UCHAR hCom, PCHAR CallingNumber, ULONG Length);
PGATEWAY FindInboundEntry(PADAPTER pAdapter);
VOID ZolCompleteConCon(PADAPTER pAdapter, PGATEWAY pGway, PCTX pCtx);
VOID ZolCompleteConInd(PADAPTER pAdapter, PGATEWAY pGway, PCTX pCtx);
VOID ProcessConCon(PCTX pCtx, PADAPTER pAdapter);
VOID ProcessDatInd(PCTX pCtx, PADAPTER pAdapter, PUCHAR Data, USHORT Length);
VOID ProcessDisInd(PCTX pCtx, PADAPTER pAdapter, UCHAR Cause);
VOID ProcessDisCon(PCTX pCtx, PADAPTER pAdapter);

// ---- drvisdn.cpp -----------------------------------------------------------------------

BOOLEAN OpenPimIsdn(PADAPTER pAdapter);
VOID ClosePimIsdn(PADAPTER pAdapter);
ULONG SendIoControlToPimIsdn(PADAPTER pAdapter, PVOID Block, ULONG Length);
BOOLEAN ISDN_Call(PCTX pCtx, PADAPTER pAdapter);
BOOLEAN ISDN_CallResp(PCTX pCtx, PADAPTER pAdapter);
BOOLEAN ISDN_Listen(PADAPTER pAdapter);
BOOLEAN ISDN_CancelListen(PADAPTER pAdapter);
BOOLEAN ISDN_Clear(UCHAR hCom, PCSTR Number, PADAPTER pAdapter);
BOOLEAN ISDN_ClearResp(PCTX pCtx, PADAPTER pAdapter);
BOOLEAN ISDN_Send(PCTX pCtx, PADAPTER pAdapter, PUCHAR Data, USHORT Length);
BOOLEAN ISDN_Receive(PCTX pCtx, PADAPTER pAdapter);
VOID AnalyseRcv(PCTX pCtx, PADAPTER pAdapter, PISDN_DATA_CMD pCmd);

// ---- drvuti.cpp ------------------------------------------------------------------------

PCHAIN_DESCR AllocChainDescr(PADAPTER pAdapter, USHORT Capacity);
BOOLEAN FreeChainDescr(PADAPTER pAdapter, PCHAIN_DESCR pDescr);
VOID InitChainQueue(PCHAIN_QUEUE pQueue);
VOID ChainAdd(PADAPTER pAdapter, PCHAIN_DESCR pElement, PCHAIN_DESCR pDescr);
VOID ChainRemove(PADAPTER pAdapter, PCHAIN_DESCR pDescr);
PCHAIN_DESCR QueueHead(PCHAIN_QUEUE pQueue);
PCHAIN_DESCR ChainRemoveHead(PADAPTER pAdapter, PCHAIN_QUEUE pQueue);
NDIS_STATUS NdisIntegerToUnicodeString(ULONG Value, ULONG Base, PNDIS_STRING String);
VOID InitContext(PCTX pCtx);
PCTX AllocationContext(PADAPTER pAdapter);
PCTX AllocContext(PADAPTER pAdapter, PGATEWAY pGway);
PCTX AllocOutgoingCall(PADAPTER pAdapter, PGATEWAY pGway, ULONG htCall, ULONG LinkSpeed, const UCHAR *Comment,
                       ULONG CommentSize);
VOID KillContext(PCTX pCtx, ULONG Reason, PADAPTER pAdapter);
BOOLEAN KillContextIn(PCTX pCtx, USHORT State, ULONG Reason, PADAPTER pAdapter);
VOID ClearLineCall(PADAPTER pAdapter, PGATEWAY pGway);
VOID ReleaseGatewayCall(PADAPTER pAdapter, PGATEWAY pGway, PCTX pCtx);
VOID EndUnplacedCall(PADAPTER pAdapter, PCTX pCtx, ULONG Reason);
VOID ReleaseAllBuffers(PADAPTER pAdapter);
VOID FailQueuedSends(PADAPTER pAdapter, PCTX pCtx);
NTSTATUS ProcessTapiDevicesSection(PADAPTER pAdapter);
NTSTATUS ProcessPortsInit(PADAPTER pAdapter);
VOID InitAnsiPortName(USHORT Index, PADAPTER pAdapter);
NTSTATUS NTAPI AdapterNumber(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                             PVOID EntryContext);
NTSTATUS NTAPI PortInformation(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                               PVOID Context, PVOID EntryContext);

// String and number routines.
USHORT Mystrnicmp(PCSTR Reference, PCSTR Text, ULONG Count);
ULONG NdisCompareMemory(const VOID *Block1, const VOID *Block2, ULONG Length);
VOID NdisCopyUnicodeString(PNDIS_STRING Destination, const NDIS_STRING *Source);
NDIS_STATUS NdisAppendUnicodeString(PNDIS_STRING Destination, const NDIS_STRING *Source);

// Handles: the ADAPTER, each GATEWAY and each B-channel CTX as a 32-bit
// identity, unique, non-zero and constant for the adapter's life.
ULONG ZolIdentity(PADAPTER pAdapter, const VOID *Record);
PGATEWAY ZolGatewayOf(PADAPTER pAdapter, ULONG Identity); // NULL unless a GATEWAY
PCTX ZolContextOf(PADAPTER pAdapter, ULONG Identity);     // NULL unless B1 or B2

// Line-device and call lookups.
PGATEWAY FindGatewayByDeviceID(PADAPTER pAdapter, ULONG DeviceID);
PGATEWAY FindNewInboundTapiEntry(PADAPTER pAdapter, ULONG DeviceID);
PGATEWAY FindIsdnTapiEntry(ULONG hdLine, PADAPTER pAdapter);
ULONG FindDeviceIDByGateway(PADAPTER pAdapter, ULONG hdLine);
PCTX LookForTapiContext(ULONG hdCall, PADAPTER pAdapter);
PCTX LookForTapiContextByHdline(ULONG hdLine, PADAPTER pAdapter);

// TAPI status indications.
VOID ZolTapiIndicateStatus(PADAPTER pAdapter, PGATEWAY pGway, ULONG Event);
VOID ZolTapiDeviceStatus(PADAPTER pAdapter, PGATEWAY pGway, ULONG State);
VOID ZolTapiAddressStatus(PADAPTER pAdapter, PGATEWAY pGway, ULONG AddressID);

// ---- drvreg.cpp ------------------------------------------------------------------------

VOID AllocateSpinLock(PNDIS_SPIN_LOCK pLock);
VOID FreeSpinLock(PNDIS_SPIN_LOCK pLock);
VOID AcquireSpinLock(PNDIS_SPIN_LOCK pLock);
VOID ReleaseSpinLock(PNDIS_SPIN_LOCK pLock);
NDIS_STATUS InitializeDriverParameters(PADAPTER pAdapter);
NDIS_STATUS ProcessParametersSection(PADAPTER pAdapter);
NTSTATUS GetLocalISDNParams(PADAPTER pAdapter);
NTSTATUS StoreTimeout(PUSHORT pTimeout);
NTSTATUS StoreTraceLevel(PUSHORT pLevel);
NTSTATUS StoreLocalAddress(PCHAR Digits, PUCHAR pCount);  // Digits: NUMBER_SIZE characters
NTSTATUS StoreSubAddress(PCHAR Digits, PUCHAR pCount);    // Digits: NUMBER_SIZE characters
NTSTATUS ZolNdisOpenKey(PNDIS_STRING KeyPath, PHANDLE pKeyHandle);
NTSTATUS InitializeNdisSymbolicLink(PADAPTER pAdapter);
NTSTATUS ZolDeleteSymbolicLink(VOID);
VOID ZolNdisWriteErrorLogEntry(PADAPTER pAdapter, ULONG ErrorCode, ULONG NumberOfStrings, ULONG Section,
                               ULONG EventId, PVOID Strings);
VOID RaiseEvent(PADAPTER pAdapter, ULONG ErrorCode, ULONG Section, ULONG EventId);
VOID RaiseDataEvent(PADAPTER pAdapter, ULONG EventId, ULONG Length, ULONG Link);

// ---- drvwan.cpp ------------------------------------------------------------------------

NDIS_STATUS ZolReqQueryInformation(PADAPTER pAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                   ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS ZolReqSetInformation(PADAPTER pAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                 ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded);
NDIS_STATUS ZolSetLinkInfo(PADAPTER pAdapter, PNDIS_WAN_SET_LINK_INFO pInfo);
NDIS_STATUS NTAPI ZolSend(NDIS_HANDLE MacBindingHandle, NDIS_HANDLE NdisLinkHandle, PNDIS_WAN_PACKET Packet);
BOOLEAN LookForWanContext(NDIS_HANDLE NdisLinkHandle, PADAPTER pAdapter);
NDIS_STATUS NTAPI ZolTransferData(VOID);
VOID ProcessActiveContexts(PADAPTER pAdapter);
VOID ProcessOpenContext(PCTX pCtx, PADAPTER pAdapter);
VOID FeedProtocol(PADAPTER pAdapter);
NDIS_STATUS ZolWanSendLineUp(PADAPTER pAdapter, PCTX pCtx);
NDIS_STATUS ZolWanSendLineDown(PADAPTER pAdapter, PCTX pCtx);

// ---- drvoid.cpp ------------------------------------------------------------------------

NDIS_STATUS AnalyseOidTAPIRequest(PADAPTER pAdapter, BOOLEAN IsSet, NDIS_OID Oid, PVOID InformationBuffer,
                                  ULONG InformationBufferLength, PULONG BytesDone, PULONG BytesNeeded);
USHORT AnalysePhoneNumber(PADAPTER pAdapter, PGATEWAY pGway, PUSHORT Speed, PCHAR DestAddress, ULONG Length);
