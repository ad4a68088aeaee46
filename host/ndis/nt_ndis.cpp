// The NDIS.SYS surface: thin entry points that check the kernel rules and
// hand over to the wrapper and the models above the driver.

#include <cctype>
#include <cstring>

#include "check/eventlog.h"
#include "eventsink.h"
#include "nt/io_manager.h"
#include "nt/kernel.h"
#include "ndis/ndis_wrapper.h"
#include "nt/races.h"
#include "ndis/ndiswan_model.h"
#include "check/trace.h"

using namespace tolvanex::host;

namespace {
NdisWrapper &wrapper() { return Host::current().ndis(); }

std::size_t wide_length(PCWSTR s) {
    std::size_t n = 0;
    while (s[n])
        ++n;
    return n;
}
} // namespace

extern "C" VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                            PVOID SystemSpecific2, PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    *NdisWrapperHandle = wrapper().wrapper_handle();
    rt::trace(TraceKind::Handler, "NdisInitializeWrapper");
}

extern "C" NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                                   PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                                   UINT CharacteristicsLength) {
    NDIS_STATUS status;
    wrapper().on_register(NdisWrapperHandle, MiniportCharacteristics, CharacteristicsLength, status);
    return status;
}

extern "C" VOID NTAPI NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                                         BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType) {
    wrapper().on_set_attributes(MiniportAdapterHandle, MiniportAdapterContext);
    rt::trace(TraceKind::Handler, std::string("NdisMSetAttributes bus master ") + (BusMaster ? "TRUE" : "FALSE") +
                                      " interface " + std::to_string(AdapterType));
}

extern "C" VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                            NDIS_HANDLE WrapperConfigurationContext) {
    rt::require_passive("NdisOpenConfiguration");
    wrapper().on_open_configuration(*Status, *ConfigurationHandle, WrapperConfigurationContext);
}

extern "C" VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    wrapper().on_close_configuration(ConfigurationHandle);
}

extern "C" VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                           PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
    wrapper().check_handle(MiniportAdapterHandle, "NdisMInitializeTimer");
    wrapper().on_init_timer(Timer, TimerFunction, FunctionContext);
}

extern "C" VOID NTAPI NdisSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay) {
    wrapper().on_set_timer(Timer, MillisecondsToDelay);
}

extern "C" VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
    BOOLEAN cancelled = wrapper().on_cancel_timer(Timer) ? TRUE : FALSE;
    if (TimerCancelled)
        *TimerCancelled = cancelled;
}

extern "C" VOID NTAPI NdisInitUnicodeString(PNDIS_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    auto bytes = static_cast<USHORT>(wide_length(SourceString) * sizeof(WCHAR));
    DestinationString->Length = bytes;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" VOID NTAPI NdisInitAnsiString(PNDIS_ANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    auto n = static_cast<USHORT>(std::strlen(SourceString));
    DestinationString->Length = n;
    DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
}

// As NT converts into a caller's buffer: a result that does not fit is cut
// to MaximumLength - 1 characters and reported as an overflow.
extern "C" NDIS_STATUS NTAPI NdisUnicodeStringToAnsiString(PNDIS_ANSI_STRING DestinationString,
                                                           PNDIS_STRING SourceString) {
    USHORT chars = SourceString->Length / sizeof(WCHAR);
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    if (chars >= DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0)
            return static_cast<NDIS_STATUS>(STATUS_BUFFER_OVERFLOW);
        status = static_cast<NDIS_STATUS>(STATUS_BUFFER_OVERFLOW);
        chars = static_cast<USHORT>(DestinationString->MaximumLength - 1);
    }
    for (USHORT i = 0; i < chars; ++i) {
        char16_t c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x100 ? static_cast<char>(c) : '?';
    }
    DestinationString->Buffer[chars] = 0;
    DestinationString->Length = chars;
    return status;
}

extern "C" BOOLEAN NTAPI NdisEqualString(PNDIS_STRING String1, PNDIS_STRING String2, BOOLEAN CaseInsensitive) {
    if (String1->Length != String2->Length)
        return FALSE;
    for (USHORT i = 0; i < String1->Length / 2; ++i) {
        char16_t a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInsensitive) {
            if (a < 0x80)
                a = static_cast<char16_t>(std::toupper(a));
            if (b < 0x80)
                b = static_cast<char16_t>(std::toupper(b));
        }
        if (a != b)
            return FALSE;
    }
    return TRUE;
}

extern "C" VOID NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                                          PVOID StatusBuffer, UINT StatusBufferSize) {
    wrapper().check_handle(MiniportAdapterHandle, "NdisMIndicateStatus");
    rt::require_no_lock("NdisMIndicateStatus");
    Kernel::running().yield();
    wrapper().on_indicate_status(GeneralStatus, StatusBuffer, StatusBufferSize);
}

extern "C" VOID NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    wrapper().check_handle(MiniportAdapterHandle, "NdisMIndicateStatusComplete");
    wrapper().on_status_complete();
}

extern "C" VOID NTAPI NdisMWanIndicateReceive(PNDIS_STATUS Status, NDIS_HANDLE MiniportAdapterHandle,
                                              NDIS_HANDLE NdisLinkContext, PUCHAR PacketBuffer, UINT PacketSize) {
    wrapper().check_handle(MiniportAdapterHandle, "NdisMWanIndicateReceive");
    rt::require_no_lock("NdisMWanIndicateReceive");
    Kernel::running().yield();
    *Status = Host::current().ndiswan().receive(NdisLinkContext, PacketBuffer, PacketSize);
}

extern "C" VOID NTAPI NdisMWanIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle,
                                                      NDIS_HANDLE NdisLinkContext) {
    wrapper().check_handle(MiniportAdapterHandle, "NdisMWanIndicateReceiveComplete");
    Host::current().ndiswan().receive_complete(NdisLinkContext);
}

extern "C" VOID NTAPI NdisMWanSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_WAN_PACKET Packet,
                                           NDIS_STATUS Status) {
    wrapper().check_handle(MiniportAdapterHandle, "NdisMWanSendComplete");
    races::release(Packet);
    rt::require_no_lock("NdisMWanSendComplete");
    Kernel::running().yield();
    Host::current().ndiswan().send_complete(Packet, Status);
}

// The driver's event hook lands here and goes to the host's event log.
extern "C" VOID NTAPI PlatformEventSink(NDIS_HANDLE MiniportAdapterHandle, ULONG ErrorCode, ULONG Section,
                                        ULONG EventId, ULONG NumberOfStrings, PNDIS_STRING Strings) {
    (void)MiniportAdapterHandle;
    Host &h = Host::current();
    EventEntry e;
    e.id = EventId;
    e.error_code = ErrorCode;
    e.section = Section;
    for (ULONG i = 0; i < NumberOfStrings && i < 8 && Strings; ++i)
        e.strings.push_back(narrow(&Strings[i]));
    e.time = h.now();
    e.context = h.kernel().current().name;
    h.event_log().add(std::move(e));
}
