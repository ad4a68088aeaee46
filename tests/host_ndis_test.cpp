// The NDIS wrapper and the layers above the driver: registration, loading,
// handler levels, the miniport timer, configuration handles, strings,
// indications, NDISWAN and NDIS TAPI.

#include <gtest/gtest.h>

#include <cstring>

#include "host.h"
#include "host_faults.h"
#include "host_ndis.h"
#include "host_records.h"
#include "ndis.h"
#include "ndistapi.h"
#include "ndiswan.h"

using namespace tolvanex::host;

// A probe miniport: records what NDIS hands it and at which level.
namespace ndis_probe {

struct Seen {
    KIRQL init_irql = 0xFF, query_irql = 0xFF, set_irql = 0xFF, reset_irql = 0xFF, halt_irql = 0xFF;
    UINT media_count = 0;
    NDIS_HANDLE handle = nullptr, config = nullptr;
    int timer_runs = 0;
    KIRQL timer_irql = 0xFF;
    bool rearm = true;
    NDIS_MINIPORT_TIMER timer;
    NDIS_WAN_PACKET *pended = nullptr;
    NDIS_STATUS send_answer = NDIS_STATUS_PENDING;
    UCHAR major = 3, minor = 0;
    UINT flags = NDIS_USE_WAN_WRAPPER;
    UINT length = sizeof(NDIS_MINIPORT_CHARACTERISTICS);
    bool no_send = false;
    int adapter = 0; // the adapter context's storage
};
Seen seen;

VOID NTAPI Timer(PVOID, PVOID ctx, PVOID, PVOID) {
    auto *s = static_cast<Seen *>(ctx);
    s->timer_irql = KeGetCurrentIrql();
    ++s->timer_runs;
    if (s->rearm)
        NdisSetTimer(&s->timer, 1000);
}

NDIS_STATUS NTAPI Initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM media, UINT count, NDIS_HANDLE handle,
                             NDIS_HANDLE config) {
    seen.init_irql = KeGetCurrentIrql();
    seen.media_count = count;
    seen.handle = handle;
    seen.config = config;
    for (UINT i = 0; i < count; ++i)
        if (media[i] == NdisMediumWan) {
            *selected = i;
            NdisMSetAttributes(handle, &seen.adapter, TRUE, NdisInterfaceIsa);
            NdisMInitializeTimer(&seen.timer, handle, Timer, &seen);
            return NDIS_STATUS_SUCCESS;
        }
    return NDIS_STATUS_UNSUPPORTED_MEDIA;
}

VOID NTAPI Halt(NDIS_HANDLE) {
    seen.halt_irql = KeGetCurrentIrql();
    BOOLEAN cancelled;
    NdisMCancelTimer(&seen.timer, &cancelled);
}

NDIS_STATUS NTAPI Query(NDIS_HANDLE ctx, NDIS_OID oid, PVOID buf, ULONG len, PULONG written, PULONG needed) {
    EXPECT_EQ(ctx, &seen.adapter);
    seen.query_irql = KeGetCurrentIrql();
    *needed = 4;
    if (len < 4)
        return NDIS_STATUS_INVALID_LENGTH;
    *static_cast<ULONG *>(buf) = oid ^ 0xFFFFFFFF;
    *written = 4;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Set(NDIS_HANDLE, NDIS_OID, PVOID, ULONG len, PULONG read, PULONG) {
    seen.set_irql = KeGetCurrentIrql();
    *read = len;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Reset(PBOOLEAN, NDIS_HANDLE) {
    seen.reset_irql = KeGetCurrentIrql();
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Send(NDIS_HANDLE, NDIS_HANDLE, PNDIS_WAN_PACKET packet) {
    if (seen.send_answer == NDIS_STATUS_PENDING)
        seen.pended = packet;
    return seen.send_answer;
}

NTSTATUS DriverEntry(_DRIVER_OBJECT *drv, _UNICODE_STRING *path) {
    NDIS_HANDLE wrapper;
    NdisInitializeWrapper(&wrapper, drv, path, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS c = {};
    c.MajorNdisVersion = seen.major;
    c.MinorNdisVersion = seen.minor;
    c.Reserved = seen.flags;
    c.InitializeHandler = Initialize;
    c.HaltHandler = Halt;
    c.QueryInformationHandler = Query;
    c.SetInformationHandler = Set;
    c.ResetHandler = Reset;
    c.WanSendHandler = seen.no_send ? nullptr : Send;
    return NdisMRegisterMiniport(wrapper, &c, seen.length) == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS
                                                                                 : STATUS_UNSUCCESSFUL;
}

} // namespace ndis_probe

using ndis_probe::seen;

class NdisWrapperTest : public ::testing::Test {
  protected:
    void SetUp() override { seen = ndis_probe::Seen{}; }
    Host host;
};

TEST(NdisRegistration, ChecksTheNdis30WanCharacteristics) {
    struct Case {
        const char *what;
        void (*tweak)();
        long expected;
    };
    const Case cases[] = {
        {"valid", [] {}, STATUS_SUCCESS},
        {"wrong length", [] { seen.length = 60 + 4; }, STATUS_UNSUCCESSFUL},
        {"NDIS 4.0", [] { seen.major = 4; }, STATUS_UNSUCCESSFUL},
        {"not WAN", [] { seen.flags = 0; }, STATUS_UNSUCCESSFUL},
        {"no send handler", [] { seen.no_send = true; }, STATUS_UNSUCCESSFUL},
    };
    for (const Case &c : cases) {
        Host host;
        seen = ndis_probe::Seen{};
        c.tweak();
        EXPECT_EQ(host.ndis().load(ndis_probe::DriverEntry), c.expected) << c.what;
        EXPECT_EQ(host.ndis().registered(), c.expected == STATUS_SUCCESS) << c.what;
    }
}

TEST_F(NdisWrapperTest, RegistrationRefusedByFaultInjection) {
    EXPECT_THROW(host.ndis().initialize(), HostError) << "nothing registered yet";
    host.faults().fail_nth("NdisMRegisterMiniport", 1);
    EXPECT_EQ(host.ndis().load(ndis_probe::DriverEntry), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host.trace().count(TraceKind::Fault, "NdisMRegisterMiniport"), 1u);
}

TEST_F(NdisWrapperTest, HandlersRunAtTheirLevels) {
    ASSERT_EQ(host.ndis().load(ndis_probe::DriverEntry), STATUS_SUCCESS);
    UINT selected = 99;
    ASSERT_EQ(host.ndis().initialize({NdisMedium802_3, NdisMediumFddi, NdisMediumWan}, &selected), 0);
    EXPECT_EQ(selected, 2u);
    EXPECT_EQ(seen.media_count, 3u);
    EXPECT_EQ(seen.init_irql, PASSIVE_LEVEL);
    ULONG out = 0;
    auto q = host.ndis().query(0x1234, &out, sizeof out);
    EXPECT_EQ(q.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(out, 0x1234u ^ 0xFFFFFFFFu);
    EXPECT_EQ(q.bytes_done, 4u);
    EXPECT_EQ(seen.query_irql, DISPATCH_LEVEL);
    EXPECT_EQ(host.ndis().set(1, &out, 4).bytes_done, 4u);
    EXPECT_EQ(seen.set_irql, DISPATCH_LEVEL);
    EXPECT_EQ(host.ndis().reset(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(seen.reset_irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller is back at PASSIVE_LEVEL";
    host.ndis().halt();
    EXPECT_EQ(seen.halt_irql, PASSIVE_LEVEL);
}

TEST_F(NdisWrapperTest, MiniportTimerRunsAtDispatchEachTimeItIsArmed) {
    ASSERT_EQ(host.ndis().load(ndis_probe::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(host.ndis().initialize(), 0);
    NdisSetTimer(&seen.timer, 1000);
    host.run_for(millis(999));
    EXPECT_EQ(seen.timer_runs, 0);
    host.run_for(millis(1));
    EXPECT_EQ(seen.timer_runs, 1);
    EXPECT_EQ(seen.timer_irql, DISPATCH_LEVEL);
    host.run_for(seconds(10));
    EXPECT_EQ(seen.timer_runs, 11);
    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&seen.timer, &cancelled);
    EXPECT_TRUE(cancelled);
    host.run_for(seconds(10));
    EXPECT_EQ(seen.timer_runs, 11);
    NdisMCancelTimer(&seen.timer, &cancelled);
    EXPECT_FALSE(cancelled);
    host.ndis().halt();
}

TEST_F(NdisWrapperTest, ConfigurationOpensOnlyWithTheContextNdisGave) {
    ASSERT_EQ(host.ndis().load(ndis_probe::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(host.ndis().initialize(), 0);
    NDIS_STATUS status;
    NDIS_HANDLE config;
    NdisOpenConfiguration(&status, &config, seen.config);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host.ndis().open_configurations(), 1);
    NdisCloseConfiguration(config);
    EXPECT_EQ(host.ndis().open_configurations(), 0);
    NdisOpenConfiguration(&status, &config, &status);
    EXPECT_EQ(status, NDIS_STATUS_FAILURE);
    host.faults().fail_nth("NdisOpenConfiguration", 2); // the refused context is not a counted call
    NdisOpenConfiguration(&status, &config, seen.config);
    EXPECT_EQ(status, NDIS_STATUS_FAILURE);
    host.ndis().halt();
}

TEST_F(NdisWrapperTest, NdisStringHelpers) {
    NDIS_STRING a, b, c;
    NdisInitUnicodeString(&a, u"Tapi Devices");
    EXPECT_EQ(a.Length, 24);
    EXPECT_EQ(a.MaximumLength, 26);
    NdisInitUnicodeString(&b, u"TAPI DEVICES");
    NdisInitUnicodeString(&c, u"TAPI DEVICE");
    EXPECT_TRUE(NdisEqualString(&a, &b, TRUE));
    EXPECT_FALSE(NdisEqualString(&a, &b, FALSE));
    EXPECT_FALSE(NdisEqualString(&a, &c, TRUE));

    char room[8];
    NDIS_ANSI_STRING ansi{0, sizeof room, room};
    NDIS_STRING port;
    NdisInitUnicodeString(&port, u"1-01-00");
    EXPECT_EQ(NdisUnicodeStringToAnsiString(&ansi, &port), NDIS_STATUS_SUCCESS);
    EXPECT_STREQ(room, "1-01-00");
    EXPECT_EQ(ansi.Length, 7);
    // Too long for the buffer: cut and NUL-terminated, never past it.
    NdisInitUnicodeString(&port, u"12-01-00");
    EXPECT_NE(NdisUnicodeStringToAnsiString(&ansi, &port), NDIS_STATUS_SUCCESS);
    EXPECT_STREQ(room, "12-01-0");

    NDIS_ANSI_STRING s;
    NdisInitAnsiString(&s, "ISDN");
    EXPECT_EQ(s.Length, 4);
    EXPECT_EQ(s.MaximumLength, 5);
}

TEST_F(NdisWrapperTest, NdiswanHandsOutLinkContextsAndTracksPackets) {
    ASSERT_EQ(host.ndis().load(ndis_probe::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(host.ndis().initialize(), 0);
    NDIS_MAC_LINE_UP up{};
    up.LinkSpeed = 640;
    up.NdisLinkHandle = 0x51;
    NdisMIndicateStatus(seen.handle, NDIS_STATUS_WAN_LINE_UP, &up, sizeof up);
    NdisMIndicateStatusComplete(seen.handle);
    ASSERT_NE(up.NdisLinkContext, 0u);
    NDIS_MAC_LINE_UP up2 = up;
    up2.NdisLinkContext = 0;
    NdisMIndicateStatus(seen.handle, NDIS_STATUS_WAN_LINE_UP, &up2, sizeof up2);
    EXPECT_NE(up2.NdisLinkContext, up.NdisLinkContext) << "a fresh context at each line-up";
    EXPECT_EQ(host.ndis().status_indications(), 2u);
    EXPECT_EQ(host.ndis().status_completes(), 1u);

    UCHAR frame[3] = {0xFF, 0x03, 0xC0};
    NDIS_STATUS status;
    auto link = reinterpret_cast<NDIS_HANDLE>(static_cast<ULONG_PTR>(up.NdisLinkContext));
    NdisMWanIndicateReceive(&status, seen.handle, link, frame, 3);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    NdisMWanIndicateReceiveComplete(seen.handle, link);
    host.ndiswan().refuse_receives(true);
    NdisMWanIndicateReceive(&status, seen.handle, link, frame, 3);
    EXPECT_EQ(status, NDIS_STATUS_FAILURE);
    ASSERT_EQ(host.ndiswan().received().size(), 2u);
    EXPECT_TRUE(host.ndiswan().received()[0].completed);
    EXPECT_EQ(host.ndiswan().received()[0].bytes, std::vector<std::uint8_t>({0xFF, 0x03, 0xC0}));

    auto id = host.ndiswan().send(0x51, {1, 2, 3, 4});
    ASSERT_NE(seen.pended, nullptr);
    EXPECT_EQ(seen.pended->CurrentLength, 4u);
    EXPECT_EQ(seen.pended->CurrentBuffer[3], 4);
    EXPECT_GE(seen.pended->CurrentBuffer - seen.pended->StartBuffer, 5) << "room for the header padding";
    EXPECT_EQ(host.ndiswan().pending(), 1u);
    NdisMWanSendComplete(seen.handle, seen.pended, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host.ndiswan().pending(), 0u);
    EXPECT_EQ(host.ndiswan().packets()[id - 1].completion, NDIS_STATUS_SUCCESS);

    seen.send_answer = NDIS_STATUS_FAILURE;
    auto refused = host.ndiswan().send(0x51, {9});
    EXPECT_EQ(host.ndiswan().packets()[refused - 1].send_status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(host.ndiswan().pending(), 0u);

    NDIS_MAC_LINE_DOWN down{up.NdisLinkContext};
    NdisMIndicateStatus(seen.handle, NDIS_STATUS_WAN_LINE_DOWN, &down, sizeof down);
    EXPECT_EQ(host.ndiswan().line_downs(), 1u);
    EXPECT_FALSE(host.ndiswan().links()[0].up);
    host.ndis().halt();
}

TEST_F(NdisWrapperTest, NdisTapiAnswersNewCallWithItsHandleDuringTheIndication) {
    ASSERT_EQ(host.ndis().load(ndis_probe::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(host.ndis().initialize(), 0);
    NDIS_TAPI_EVENT e{};
    e.htLine = 0x7100;
    e.ulMsg = LINE_NEWCALL;
    e.ulParam1 = 0x22;
    NdisMIndicateStatus(seen.handle, NDIS_STATUS_TAPI_INDICATION, &e, sizeof e);
    EXPECT_NE(e.ulParam2, 0u);
    NDIS_TAPI_EVENT again = e;
    again.ulParam2 = 0;
    NdisMIndicateStatus(seen.handle, NDIS_STATUS_TAPI_INDICATION, &again, sizeof again);
    EXPECT_NE(again.ulParam2, e.ulParam2);
    ASSERT_EQ(host.tapi().events().size(), 2u);
    EXPECT_EQ(host.tapi().events()[0].event.ulParam1, 0x22u);
    EXPECT_EQ(host.trace().count(TraceKind::Status, "LINE_NEWCALL"), 2u);

    // Requests travel in a guarded buffer and come back decoded.
    auto a = host.tapi().query(OID_TAPI_GET_ID, std::vector<std::uint8_t>(8, 0));
    EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
    ULONG written;
    std::memcpy(&written, a.buffer.data(), 4);
    EXPECT_EQ(written, static_cast<ULONG>(OID_TAPI_GET_ID) ^ 0xFFFFFFFFu);
    auto short_one = host.tapi().query(OID_TAPI_GET_ID, {}, 2);
    EXPECT_EQ(short_one.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(short_one.bytes_needed, 4u);
    host.ndis().halt();
}
