// drvreg: driver parameters from the registry, the device's symbolic link,
// the spin-lock wrappers and the event hook.

#include "eventsink.h"
#include "tolvanex.h"

// ---- Spin-lock wrappers ------------------------------------------------------------
// The previous IRQL is kept in the lock itself, so a lock is never nested.

VOID AllocateSpinLock(PNDIS_SPIN_LOCK pLock) { KeInitializeSpinLock(&pLock->SpinLock); }

VOID FreeSpinLock(PNDIS_SPIN_LOCK pLock) { (void)pLock; }

// Any IRQL up to DISPATCH_LEVEL; raises to DISPATCH_LEVEL.
VOID AcquireSpinLock(PNDIS_SPIN_LOCK pLock) { pLock->OldIrql = KfAcquireSpinLock(&pLock->SpinLock); }

VOID ReleaseSpinLock(PNDIS_SPIN_LOCK pLock) { KfReleaseSpinLock(&pLock->SpinLock, pLock->OldIrql); }

// ---- Driver parameters -----------------------------------------------------------------

// Each value is read into 400 bytes of partial information, so at most 388
// bytes of data; a longer value fails the query and counts as missing. One
// more character after the buffer leaves room to terminate the longest text.
#define PARAM_QUERY_SIZE 400
#define PARAM_DATA_OFFSET offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data)
#define PARAM_DATA_MAX (PARAM_QUERY_SIZE - PARAM_DATA_OFFSET)

typedef union _PARAM_QUERY {
    KEY_VALUE_PARTIAL_INFORMATION Info;
    UCHAR Bytes[PARAM_QUERY_SIZE + sizeof(WCHAR)];
    WCHAR Chars[(PARAM_QUERY_SIZE + sizeof(WCHAR)) / sizeof(WCHAR)];
} PARAM_QUERY, *PPARAM_QUERY;

static_assert(PARAM_DATA_OFFSET % sizeof(WCHAR) == 0, "the data of a query start on a character");

static const WCHAR ParametersKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Parameters";

// Opens the Parameters key, queries one value and closes the key again.
// STATUS_UNSUCCESSFUL when the key or the value cannot be read.
static NTSTATUS QueryParameter(PCWSTR ValueName, PPARAM_QUERY pQuery) {
    NDIS_STRING KeyPath;
    NDIS_STRING Name;
    HANDLE hKey;
    ULONG ResultLength;
    NTSTATUS Status;

    NdisInitUnicodeString(&KeyPath, ParametersKey);
    Status = ZolNdisOpenKey(&KeyPath, &hKey);
    if (Status != STATUS_SUCCESS)
        return Status;
    NdisInitUnicodeString(&Name, ValueName);
    Status = ZwQueryValueKey(hKey, &Name, KeyValuePartialInformation, &pQuery->Info, PARAM_QUERY_SIZE,
                             &ResultLength);
    ZwClose(hKey);
    if (!NT_SUCCESS(Status) || pQuery->Info.DataLength > PARAM_DATA_MAX)
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

// The leading ASCII digits of a REG_SZ value, judged on the low byte of each
// character, into Digits (room for Room digits and a zero). A value with
// more digits than that is unusable rather than cut: a cut number would be
// another number.
static NTSTATUS QueryDigits(PCWSTR ValueName, PCHAR Digits, ULONG Room, PULONG pCount) {
    PARAM_QUERY Query;
    ULONG Units;
    ULONG Count = 0;

    if (QueryParameter(ValueName, &Query) != STATUS_SUCCESS || Query.Info.Type != REG_SZ)
        return STATUS_UNSUCCESSFUL;
    Units = Query.Info.DataLength / sizeof(WCHAR);
    for (ULONG i = 0; i < Units; i++) {
        UCHAR Low = Query.Bytes[PARAM_DATA_OFFSET + i * sizeof(WCHAR)];
        if (Low < '0' || Low > '9')
            break;
        if (Count >= Room)
            return STATUS_UNSUCCESSFUL;
        Digits[Count++] = static_cast<CHAR>(Low);
    }
    Digits[Count] = 0;
    *pCount = Count;
    return STATUS_SUCCESS;
}

// Called once by ZolInitialize at PASSIVE_LEVEL. Only a refusal of the NDIS
// configuration fails it; the registration's own failures stay inside it.
NDIS_STATUS InitializeDriverParameters(PADAPTER pAdapter) {
    if (ProcessParametersSection(pAdapter) != NDIS_STATUS_SUCCESS)
        return NDIS_STATUS_FAILURE;
    GetLocalISDNParams(pAdapter);
    ProcessTapiDevicesSection(pAdapter);
    return NDIS_STATUS_SUCCESS;
}

// Nothing is read through NDIS: the configuration is opened only to learn
// that NDIS accepts the adapter's, and closed again at once.
NDIS_STATUS ProcessParametersSection(PADAPTER pAdapter) {
    NDIS_STATUS Status;
    NDIS_HANDLE ConfigurationHandle;

    NdisOpenConfiguration(&Status, &ConfigurationHandle, pAdapter->WrapperConfigurationContext);
    if (Status != NDIS_STATUS_SUCCESS)
        return NDIS_STATUS_FAILURE;
    ZolCloseConfig(ConfigurationHandle);
    return NDIS_STATUS_SUCCESS;
}

// Loads the four settings, each with its default when it cannot be used.
// Called by InitializeDriverParameters and by the general thread on
// reconfiguration, at PASSIVE_LEVEL, without the lock: the readers of these
// fields run in the same thread.
NTSTATUS GetLocalISDNParams(PADAPTER pAdapter) {
    CHAR Digits[NUMBER_SIZE];
    UCHAR Count;
    USHORT Value;

    ZeroBytes(pAdapter->LocalAddress, sizeof(pAdapter->LocalAddress));
    ZeroBytes(pAdapter->SubAddress, sizeof(pAdapter->SubAddress));
    pAdapter->LocalAddressLength = 255;
    pAdapter->SubAddressLength = 255;

    pAdapter->Timeout = StoreTimeout(&Value) == STATUS_SUCCESS ? Value : DEFAULT_TIMEOUT;
    pAdapter->TraceLevel = StoreTraceLevel(&Value) == STATUS_SUCCESS ? static_cast<UCHAR>(Value) : TRACE_FULL;

    if (StoreLocalAddress(Digits, &Count) == STATUS_SUCCESS) {
        CopyBytes(pAdapter->LocalAddress, Digits, Count);
        pAdapter->LocalAddressLength = Count;
    } else {
        pAdapter->LocalAddressLength = 0;
    }

    if (StoreSubAddress(Digits, &Count) == STATUS_SUCCESS) {
        CopyBytes(pAdapter->SubAddress, Digits, Count);
        pAdapter->SubAddressLength = Count;
    } else {
        pAdapter->SubAddressLength = 0;
    }
    return STATUS_SUCCESS;
}

// "Timeout": a REG_DWORD of exactly 4 bytes, in seconds. 0 becomes 1 before
// the value is cut to 16 bits, so 65536 gives 0.
NTSTATUS StoreTimeout(PUSHORT pTimeout) {
    PARAM_QUERY Query;
    ULONG Value;

    if (QueryParameter(u"Timeout", &Query) != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    if (Query.Info.DataLength != sizeof(ULONG) || Query.Info.Type != REG_DWORD)
        return STATUS_UNSUCCESSFUL;
    CopyBytes(&Value, &Query.Bytes[PARAM_DATA_OFFSET], sizeof(Value));
    if (Value == 0)
        Value = 1;
    *pTimeout = static_cast<USHORT>(Value);
    return STATUS_SUCCESS;
}

// "Trace": a REG_SZ naming the level, in any case; the text ends at its
// first zero character or at the end of the data.
NTSTATUS StoreTraceLevel(PUSHORT pLevel) {
    static const PCWSTR Names[4] = {u"Errors", u"Datas", u"Full", u"None"};
    static const USHORT Levels[4] = {TRACE_ERRORS, TRACE_DATAS, TRACE_FULL, TRACE_NONE};
    PARAM_QUERY Query;
    NDIS_STRING Text;
    NDIS_STRING Name;

    if (QueryParameter(u"Trace", &Query) != STATUS_SUCCESS || Query.Info.Type != REG_SZ)
        return STATUS_UNSUCCESSFUL;
    PWCHAR Data = &Query.Chars[PARAM_DATA_OFFSET / sizeof(WCHAR)];
    Data[Query.Info.DataLength / sizeof(WCHAR)] = 0; // inside the buffer's spare character at most
    NdisInitUnicodeString(&Text, Data);
    for (ULONG i = 0; i < 4; i++) {
        NdisInitUnicodeString(&Name, Names[i]);
        if (NdisEqualString(&Text, &Name, TRUE)) {
            *pLevel = Levels[i];
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

// "LocalISDNAddress": its leading digits, at most 32. Digits has room for
// NUMBER_SIZE characters.
NTSTATUS StoreLocalAddress(PCHAR Digits, PUCHAR pCount) {
    ULONG Count;

    *pCount = 0;
    if (QueryDigits(u"LocalISDNAddress", Digits, NUMBER_SIZE - 1, &Count) != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    *pCount = static_cast<UCHAR>(Count);
    return STATUS_SUCCESS;
}

// "SubAddrFilter": '*' and its leading digits, at most 31; no digit gives a
// count of 0, never a lone '*'. Digits has room for NUMBER_SIZE characters.
NTSTATUS StoreSubAddress(PCHAR Digits, PUCHAR pCount) {
    ULONG Count;

    *pCount = 0;
    Digits[0] = '*';
    if (QueryDigits(u"SubAddrFilter", Digits + 1, NUMBER_SIZE - 2, &Count) != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    if (Count != 0)
        *pCount = static_cast<UCHAR>(Count + 1);
    return STATUS_SUCCESS;
}

// Opens a key by absolute path for reading; the caller closes it with
// ZwClose. The kernel's own status is not passed on. PASSIVE_LEVEL.
NTSTATUS ZolNdisOpenKey(PNDIS_STRING KeyPath, PHANDLE pKeyHandle) {
    OBJECT_ATTRIBUTES Attributes;

    InitializeObjectAttributes(&Attributes, KeyPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (ZwOpenKey(pKeyHandle, KEY_READ, &Attributes) < 0)
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

// ---- Symbolic link -------------------------------------------------------------------

static const WCHAR LinkageKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Linkage\\";
static const WCHAR SymbolicLinkName[] = u"\\DosDevices\\Tolvanex";

// Names the device NDIS created for us in the DOS device namespace, after
// the first string of Linkage\Export. Called by ZolInitialize at
// PASSIVE_LEVEL; initialisation fails without the link.
NTSTATUS InitializeNdisSymbolicLink(PADAPTER pAdapter) {
    (void)pAdapter;
    PARAM_QUERY Query;
    NDIS_STRING KeyPath, Name, LinkName, Target;
    HANDLE hKey;
    ULONG ResultLength, Chars, n;
    NTSTATUS Status;

    NdisInitUnicodeString(&KeyPath, LinkageKey);
    if (ZolNdisOpenKey(&KeyPath, &hKey) != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    NdisInitUnicodeString(&Name, u"Export");
    Status = ZwQueryValueKey(hKey, &Name, KeyValuePartialInformation, &Query.Info, PARAM_QUERY_SIZE, &ResultLength);
    ZwClose(hKey);
    if (!NT_SUCCESS(Status))
        return Status;
    if (Status != STATUS_SUCCESS || Query.Info.DataLength > PARAM_DATA_MAX)
        return STATUS_UNSUCCESSFUL;
    if (Query.Info.Type != REG_MULTI_SZ)
        return STATUS_UNSUCCESSFUL;

    // The first string ends at its first zero character, or at the end of
    // the data; the query buffer has room to terminate it either way.
    PWCHAR pTarget = &Query.Chars[PARAM_DATA_OFFSET / sizeof(WCHAR)];
    Chars = Query.Info.DataLength / sizeof(WCHAR);
    for (n = 0; n < Chars && pTarget[n] != 0; n++)
        ;
    pTarget[n] = 0;
    Target.Buffer = pTarget;
    Target.Length = static_cast<USHORT>(n * sizeof(WCHAR));
    Target.MaximumLength = static_cast<USHORT>(Target.Length + sizeof(WCHAR));
    NdisInitUnicodeString(&LinkName, SymbolicLinkName);
    return IoCreateSymbolicLink(&LinkName, &Target);
}

// Called by halt, and by initialisation's failure path once the link exists.
NTSTATUS ZolDeleteSymbolicLink(VOID) {
    NDIS_STRING LinkName;
    NdisInitUnicodeString(&LinkName, SymbolicLinkName);
    return IoDeleteSymbolicLink(&LinkName);
}

// ---- Event hook ----------------------------------------------------------------------

// Accepts every event and never fails. Callers test the trace level first.
// Any IRQL up to DISPATCH_LEVEL.
VOID ZolNdisWriteErrorLogEntry(PADAPTER pAdapter, ULONG ErrorCode, ULONG NumberOfStrings, ULONG Section,
                               ULONG EventId, PVOID Strings) {
    PlatformEventSink(pAdapter ? pAdapter->MiniportAdapterHandle : NULL, ErrorCode, Section, EventId,
                      NumberOfStrings, static_cast<PNDIS_STRING>(Strings));
}

// An event without insertion strings. Where the strings would be, the hook
// is given zeroed scratch space, never memory nobody wrote.
VOID RaiseEvent(PADAPTER pAdapter, ULONG ErrorCode, ULONG Section, ULONG EventId) {
    ULONG NoStrings[4];
    ZeroBytes(NoStrings, sizeof(NoStrings));
    ZolNdisWriteErrorLogEntry(pAdapter, ErrorCode, 0, Section, EventId, NoStrings);
}

// A data event with the frame's length and link as hexadecimal insertion
// strings, in two 16-character buffers.
VOID RaiseDataEvent(PADAPTER pAdapter, ULONG EventId, ULONG Length, ULONG Link) {
    WCHAR LengthText[16] = u"000000000000000";
    WCHAR LinkText[16] = u"000000000000000";
    NDIS_STRING Strings[2];
    Strings[0].Buffer = LengthText;
    Strings[0].MaximumLength = sizeof(LengthText);
    Strings[1].Buffer = LinkText;
    Strings[1].MaximumLength = sizeof(LinkText);
    NdisIntegerToUnicodeString(Length, 16, &Strings[0]);
    NdisIntegerToUnicodeString(Link, 16, &Strings[1]);
    ZolNdisWriteErrorLogEntry(pAdapter, 0, 2, SECTION_WAN, EventId, Strings);
}
