// The import table: every routine NDIS.SYS, ntoskrnl.exe and HAL.dll give
// the driver, each behind a guard with the routine's own calling
// convention. Where the image hands the host a routine of its own (handlers,
// thread and timer routines, registry query routines), the host is given one
// of its own instead that calls into the image through the boundary.

#include "pe/imports.h"

#include <array>
#include <cctype>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "pe/boundary.h"
#include "pe/image.h"
#include "nt/memory.h"
#include "ndis.h"

namespace tolvanex::host::pe {

namespace {

// ---- Miniport handlers ----------------------------------------------------------

NDIS_MINIPORT_CHARACTERISTICS g_chars{};

BOOLEAN NTAPI check_for_hang(NDIS_HANDLE c) { return call_image([&] { return g_chars.CheckForHangHandler(c); }); }
VOID NTAPI disable_interrupt(NDIS_HANDLE c) { call_image([&] { g_chars.DisableInterruptHandler(c); }); }
VOID NTAPI enable_interrupt(NDIS_HANDLE c) { call_image([&] { g_chars.EnableInterruptHandler(c); }); }
VOID NTAPI halt(NDIS_HANDLE c) { call_image([&] { g_chars.HaltHandler(c); }); }
VOID NTAPI handle_interrupt(NDIS_HANDLE c) { call_image([&] { g_chars.HandleInterruptHandler(c); }); }
NDIS_STATUS NTAPI initialize(PNDIS_STATUS open_error, PUINT selected, PNDIS_MEDIUM media, UINT count,
                             NDIS_HANDLE adapter, NDIS_HANDLE configuration) {
    return call_image(
        [&] { return g_chars.InitializeHandler(open_error, selected, media, count, adapter, configuration); });
}
VOID NTAPI isr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE c) {
    call_image([&] { g_chars.ISRHandler(recognized, queue, c); });
}
NDIS_STATUS NTAPI query_information(NDIS_HANDLE c, NDIS_OID oid, PVOID buffer, ULONG length, PULONG written,
                                    PULONG needed) {
    return call_image([&] { return g_chars.QueryInformationHandler(c, oid, buffer, length, written, needed); });
}
NDIS_STATUS NTAPI reconfigure(PNDIS_STATUS open_error, NDIS_HANDLE c, NDIS_HANDLE configuration) {
    return call_image([&] { return g_chars.ReconfigureHandler(open_error, c, configuration); });
}
NDIS_STATUS NTAPI reset(PBOOLEAN addressing, NDIS_HANDLE c) {
    return call_image([&] { return g_chars.ResetHandler(addressing, c); });
}
NDIS_STATUS NTAPI wan_send(NDIS_HANDLE binding, NDIS_HANDLE link, PNDIS_WAN_PACKET packet) {
    return call_image([&] { return g_chars.WanSendHandler(binding, link, packet); });
}
NDIS_STATUS NTAPI set_information(NDIS_HANDLE c, NDIS_OID oid, PVOID buffer, ULONG length, PULONG read,
                                  PULONG needed) {
    return call_image([&] { return g_chars.SetInformationHandler(c, oid, buffer, length, read, needed); });
}
NDIS_STATUS NTAPI transfer_data() { return call_image([&] { return g_chars.WanTransferDataHandler(); }); }

template <class H> void swap_in(H &field, H host) {
    if (field)
        field = host;
}

NDIS_STATUS NTAPI register_miniport(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS chars, UINT length) {
    if (!chars || length != sizeof(NDIS_MINIPORT_CHARACTERISTICS))
        return NdisMRegisterMiniport(wrapper, chars, length); // the wrapper judges it
    g_chars = *chars;
    NDIS_MINIPORT_CHARACTERISTICS host = *chars;
    swap_in(host.CheckForHangHandler, &check_for_hang);
    swap_in(host.DisableInterruptHandler, &disable_interrupt);
    swap_in(host.EnableInterruptHandler, &enable_interrupt);
    swap_in(host.HaltHandler, &halt);
    swap_in(host.HandleInterruptHandler, &handle_interrupt);
    swap_in(host.InitializeHandler, &initialize);
    swap_in(host.ISRHandler, &isr);
    swap_in(host.QueryInformationHandler, &query_information);
    swap_in(host.ReconfigureHandler, &reconfigure);
    swap_in(host.ResetHandler, &reset);
    swap_in(host.WanSendHandler, &wan_send);
    swap_in(host.SetInformationHandler, &set_information);
    swap_in(host.WanTransferDataHandler, &transfer_data);
    return NdisMRegisterMiniport(wrapper, &host, length);
}

// ---- Routines the host names: threads, timers, registry query routines ----------

// Each image routine gets a host routine of its own, so that reports and
// context names can name the image routine behind it.
constexpr std::size_t kSlots = 16;

template <class Fn> struct SlotTable {
    std::array<Fn, kSlots> image{};
    std::array<Fn, kSlots> host{};
    const char *what;

    Fn bind(Fn routine) {
        if (!routine)
            return nullptr;
        for (std::size_t i = 0; i < kSlots; ++i)
            if (image[i] == routine)
                return host[i];
        for (std::size_t i = 0; i < kSlots; ++i)
            if (!image[i]) {
                image[i] = routine;
                return host[i];
            }
        throw HostError(std::string("the image hands the host more than ") + std::to_string(kSlots) + " " + what);
    }
    const void *image_routine_of(const void *address) const {
        for (std::size_t i = 0; i < kSlots; ++i)
            if (image[i] && reinterpret_cast<const void *>(host[i]) == address)
                return reinterpret_cast<const void *>(image[i]);
        return nullptr;
    }
};

SlotTable<PKSTART_ROUTINE> g_threads{.what = "thread routines"};
SlotTable<PNDIS_TIMER_FUNCTION> g_timers{.what = "timer routines"};
SlotTable<PRTL_QUERY_REGISTRY_ROUTINE> g_queries{.what = "registry query routines"};

template <std::size_t N> VOID NTAPI thread_slot(PVOID context) {
    call_image([&] { g_threads.image[N](context); });
}
template <std::size_t N> VOID NTAPI timer_slot(PVOID s1, PVOID context, PVOID s2, PVOID s3) {
    call_image([&] { g_timers.image[N](s1, context, s2, s3); });
}
template <std::size_t N>
NTSTATUS NTAPI query_slot(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entry) {
    return call_image([&] { return g_queries.image[N](name, type, data, length, context, entry); });
}

template <std::size_t... N> void fill_slots(std::index_sequence<N...>) {
    ((g_threads.host[N] = &thread_slot<N>), ...);
    ((g_timers.host[N] = &timer_slot<N>), ...);
    ((g_queries.host[N] = &query_slot<N>), ...);
}

const bool g_slots_filled = (fill_slots(std::make_index_sequence<kSlots>{}), true);

NTSTATUS NTAPI create_system_thread(PHANDLE handle, ULONG access, POBJECT_ATTRIBUTES attributes, HANDLE process,
                                    PCLIENT_ID client, PKSTART_ROUTINE routine, PVOID context) {
    return PsCreateSystemThread(handle, access, attributes, process, client, g_threads.bind(routine), context);
}

VOID NTAPI initialize_timer(PNDIS_MINIPORT_TIMER timer, NDIS_HANDLE adapter, PNDIS_TIMER_FUNCTION routine,
                            PVOID context) {
    NdisMInitializeTimer(timer, adapter, g_timers.bind(routine), context);
}

NTSTATUS NTAPI query_registry_values(ULONG relative_to, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                                     PVOID environment) {
    if (!table)
        return RtlQueryRegistryValues(relative_to, path, table, context, environment);
    std::vector<RTL_QUERY_REGISTRY_TABLE> host;
    for (auto *e = table;; ++e) {
        host.push_back(*e);
        if (!e->QueryRoutine && !e->Name)
            break;
        host.back().QueryRoutine = g_queries.bind(e->QueryRoutine);
    }
    return RtlQueryRegistryValues(relative_to, path, host.data(), context, environment);
}

// ---- The table ----------------------------------------------------------------------

#define STDCALL(routine) {#routine, reinterpret_cast<const void *>(&decltype(stdcall_guard<&routine>(&routine))::call)}
#define FASTCALL_(routine)                                                                                        \
    {#routine, reinterpret_cast<const void *>(&decltype(fastcall_guard<&routine>(&routine))::call)}
#define ADAPTED(name, adapter)                                                                                    \
    {name, reinterpret_cast<const void *>(&decltype(stdcall_guard<&adapter>(&adapter))::call)}

using Table = std::map<std::string, const void *>;

const std::map<std::string, Table> &tables() {
    static const std::map<std::string, Table> t = {
        {"ndis.sys",
         {
             STDCALL(NdisAllocateMemory),
             STDCALL(NdisCloseConfiguration),
             STDCALL(NdisEqualString),
             STDCALL(NdisFreeMemory),
             STDCALL(NdisInitAnsiString),
             STDCALL(NdisInitUnicodeString),
             STDCALL(NdisInitializeWrapper),
             STDCALL(NdisMCancelTimer),
             STDCALL(NdisMIndicateStatus),
             STDCALL(NdisMIndicateStatusComplete),
             ADAPTED("NdisMInitializeTimer", initialize_timer),
             ADAPTED("NdisMRegisterMiniport", register_miniport),
             STDCALL(NdisMSetAttributes),
             STDCALL(NdisMWanIndicateReceive),
             STDCALL(NdisMWanIndicateReceiveComplete),
             STDCALL(NdisMWanSendComplete),
             STDCALL(NdisOpenConfiguration),
             STDCALL(NdisSetTimer),
             STDCALL(NdisUnicodeStringToAnsiString),
         }},
        {"ntoskrnl.exe",
         {
             STDCALL(IoBuildDeviceIoControlRequest),
             STDCALL(IoCreateSymbolicLink),
             STDCALL(IoDeleteSymbolicLink),
             STDCALL(IoGetDeviceObjectPointer),
             FASTCALL_(IofCallDriver),
             STDCALL(KeInitializeEvent),
             STDCALL(KeInitializeSpinLock),
             STDCALL(KeSetEvent),
             STDCALL(KeWaitForSingleObject),
             STDCALL(ObReferenceObjectByHandle),
             FASTCALL_(ObfDereferenceObject),
             ADAPTED("PsCreateSystemThread", create_system_thread),
             STDCALL(RtlCreateRegistryKey),
             ADAPTED("RtlQueryRegistryValues", query_registry_values),
             STDCALL(RtlWriteRegistryValue),
             STDCALL(ZwClose),
             STDCALL(ZwOpenKey),
             STDCALL(ZwQueryValueKey),
             // The C memory routines ntoskrnl.exe exports: cdecl, as the C
             // library's own, and they neither fail nor reach the host.
             {"memcpy", reinterpret_cast<const void *>(static_cast<void *(*)(void *, const void *, size_t)>(&memcpy))},
             {"memmove", reinterpret_cast<const void *>(static_cast<void *(*)(void *, const void *, size_t)>(&memmove))},
             {"memset", reinterpret_cast<const void *>(static_cast<void *(*)(void *, int, size_t)>(&memset))},
             {"memcmp",
              reinterpret_cast<const void *>(static_cast<int (*)(const void *, const void *, size_t)>(&memcmp))},
         }},
        {"hal.dll",
         {
             STDCALL(KeGetCurrentIrql),
             STDCALL(KeStallExecutionProcessor),
             FASTCALL_(KfAcquireSpinLock),
             FASTCALL_(KfReleaseSpinLock),
         }},
    };
    return t;
}

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const std::set<const void *> &guards() {
    static const std::set<const void *> g = [] {
        std::set<const void *> s;
        for (auto &[dll, table] : tables())
            for (auto &[name, routine] : table)
                s.insert(routine);
        return s;
    }();
    return g;
}

const Image *g_symbols = nullptr;

std::optional<std::string> image_symbol(const void *address) {
    if (!g_symbols)
        return std::nullopt;
    if (auto name = g_symbols->symbol_at(address))
        return name;
    for (const void *routine : {g_threads.image_routine_of(address), g_timers.image_routine_of(address),
                                g_queries.image_routine_of(address)})
        if (routine)
            return g_symbols->symbol_at(routine);
    // A return address inside an import's guard: the image routine that
    // called the import.
    Dl_info info{};
    if (dladdr(address, &info) && guards().count(info.dli_saddr))
        if (const void *caller = import_return())
            return g_symbols->symbol_at(caller);
    return std::nullopt;
}

} // namespace

const void *host_routine(const std::string &dll, const std::string &routine) {
    auto t = tables().find(lower(dll));
    if (t == tables().end())
        return nullptr;
    auto r = t->second.find(routine);
    return r == t->second.end() ? nullptr : r->second;
}

void set_image_symbols(const Image *image) {
    g_symbols = image;
    set_symbol_source(image ? &image_symbol : nullptr);
}

void forget_callbacks() {
    (void)g_slots_filled;
    g_chars = {};
    g_threads.image.fill(nullptr);
    g_timers.image.fill(nullptr);
    g_queries.image.fill(nullptr);
}

} // namespace tolvanex::host::pe
