// The handles the driver gives TAPI and NDISWAN, the lookups that map them
// back to line devices and channel contexts, and the TAPI events the status
// routines send.

#include "driver_fixture.h"
#include "host_ndis.h"

namespace tolvanex::test {

class LookupTest : public DriverTest {
  protected:
    void SetUp() override { start(); }
    void TearDown() override {
        if (!host.stopped())
            host.ndis().halt();
    }

    // Stands in for the RAS port registration: the first `count` gateways
    // become configured, closed line devices, the others unused.
    void configure(int count) {
        for (int i = 0; i < MAX_GATEWAY; ++i) {
            PGATEWAY g = &adapter->Gateway[i];
            std::memset(static_cast<GATEWAY_LEAD *>(g), 0, sizeof(GATEWAY_LEAD));
            std::strcpy(g->Address, "xx-xx-xx");
            g->Timeout = DEFAULT_TIMEOUT;
            g->Usage = USAGE_CLIENT_AND_SERVER;
            g->Used = i < count ? 0xFF : 0;
            g->CallSeen = 0;
            g->CallState = LINECALLSTATE_IDLE;
        }
        adapter->AddressIndex = static_cast<USHORT>(count);
    }

    ULONG id(const void *record) { return ZolIdentity(adapter, record); }
    PGATEWAY gw(int i) { return &adapter->Gateway[i]; }
    PCTX ctx(int i) { return &adapter->Ctx[i]; }

    // An open line with a call, as TAPI knows it.
    PGATEWAY line_with_call() {
        configure(2);
        PGATEWAY g = gw(1);
        g->htLine = 0x7101;
        g->htCall = 0x7C05;
        g->hdCall = id(ctx(CTX_B2));
        g->AddressID = 3;
        return g;
    }
};

// ---- Identities ------------------------------------------------------------------------------

TEST_F(LookupTest, IdentitiesAreUniqueNonZeroAndMapBack) {
    const void *records[] = {adapter, gw(0), gw(1), ctx(CTX_B1), ctx(CTX_B2)};
    for (std::size_t i = 0; i < std::size(records); ++i) {
        EXPECT_NE(id(records[i]), 0u) << "record " << i;
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_NE(id(records[i]), id(records[j])) << "records " << i << " and " << j;
    }
    EXPECT_EQ(id(ctx(CTX_LISTEN)), 0u) << "the listen context is never a handle";
    EXPECT_EQ(id(nullptr), 0u);
    EXPECT_EQ(id(&adapter->Lock), 0u);
    EXPECT_EQ(id(reinterpret_cast<const UCHAR *>(gw(0)) + 1), 0u);

    EXPECT_EQ(ZolGatewayOf(adapter, id(gw(0))), gw(0));
    EXPECT_EQ(ZolGatewayOf(adapter, id(gw(1))), gw(1));
    EXPECT_EQ(ZolContextOf(adapter, id(ctx(CTX_B1))), ctx(CTX_B1));
    EXPECT_EQ(ZolContextOf(adapter, id(ctx(CTX_B2))), ctx(CTX_B2));
    for (ULONG other : {0u, id(adapter), id(ctx(CTX_B1)), id(gw(1)) + 1, 0xFFFFFFFFu})
        EXPECT_EQ(ZolGatewayOf(adapter, other), nullptr) << other;
    for (ULONG other : {0u, id(adapter), id(gw(0)), id(ctx(CTX_B2)) - 1, 0xFFFFFFFFu})
        EXPECT_EQ(ZolContextOf(adapter, other), nullptr) << other;
}

TEST_F(LookupTest, IdentitiesHoldWhileContextsComeAndGoAndTheMachineRuns) {
    const void *records[] = {adapter, gw(0), gw(1), ctx(CTX_B1), ctx(CTX_B2)};
    std::vector<ULONG> before;
    for (const void *r : records)
        before.push_back(id(r));

    configure(2);
    PCTX c = AllocContext(adapter, gw(0));
    ASSERT_EQ(c, ctx(CTX_B1));
    c->State = CTX_OPEN;
    KillContext(c, KILL_REASON_CLEARED, adapter);
    host.run_for(seconds(30));

    for (std::size_t i = 0; i < std::size(records); ++i)
        EXPECT_EQ(id(records[i]), before[i]) << "record " << i;
}

// ---- Device IDs and line handles ---------------------------------------------------------

TEST_F(LookupTest, DeviceIdsBelowAtAndAboveTheBase) {
    adapter->DeviceIDBase = 100;
    configure(2);
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 99), nullptr);
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 100), gw(0));
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 101), gw(1));
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 102), nullptr);
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 0), nullptr);
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 0xFFFFFFFF), nullptr);

    configure(1);
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 100), gw(0));
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 101), nullptr) << "one RAS port: one line device";
    configure(0);
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 100), nullptr);

    adapter->DeviceIDBase = 0;
    configure(2);
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 0), gw(0));
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 0xFFFFFFFF), nullptr) << "below a base of 0";
}

TEST_F(LookupTest, OpeningFindsOnlyAClosedConfiguredLine) {
    adapter->DeviceIDBase = 4;
    configure(2);
    EXPECT_EQ(FindNewInboundTapiEntry(adapter, 4), gw(0));
    gw(0)->htLine = 0x7100;
    EXPECT_EQ(FindNewInboundTapiEntry(adapter, 4), nullptr) << "already open";
    EXPECT_EQ(FindGatewayByDeviceID(adapter, 4), gw(0)) << "still a line device";
    EXPECT_EQ(FindNewInboundTapiEntry(adapter, 5), gw(1));
    EXPECT_EQ(FindNewInboundTapiEntry(adapter, 3), nullptr);
    EXPECT_EQ(FindNewInboundTapiEntry(adapter, 6), nullptr);
    gw(1)->Used = GATEWAY_UNUSED;
    EXPECT_EQ(FindNewInboundTapiEntry(adapter, 5), nullptr);
}

TEST_F(LookupTest, LineHandlesOfUnconfiguredGatewaysAndOfOtherRecordsAreInvalid) {
    configure(1);
    gw(0)->DeviceID = 40;
    gw(1)->DeviceID = 41;
    EXPECT_EQ(FindIsdnTapiEntry(id(gw(0)), adapter), gw(0));
    EXPECT_EQ(FindIsdnTapiEntry(id(gw(1)), adapter), nullptr) << "not configured";
    for (ULONG other : {0u, id(adapter), id(ctx(CTX_B1)), id(ctx(CTX_B2)), id(gw(0)) + 1, 0x7100u})
        EXPECT_EQ(FindIsdnTapiEntry(other, adapter), nullptr) << other;
    configure(2);
    gw(1)->DeviceID = 41;
    EXPECT_EQ(FindIsdnTapiEntry(id(gw(1)), adapter), gw(1));

    EXPECT_EQ(FindDeviceIDByGateway(adapter, id(gw(1))), 41u);
    gw(0)->DeviceID = 40;
    EXPECT_EQ(FindDeviceIDByGateway(adapter, id(gw(0))), 40u);
    for (ULONG other : {0u, id(adapter), id(ctx(CTX_B1))})
        EXPECT_EQ(FindDeviceIDByGateway(adapter, other), 0xFFFFFFFFu) << "no gateway, no device: " << other;
}

// ---- Call handles --------------------------------------------------------------------------

TEST_F(LookupTest, CallHandlesOfTheListenContextAndOfNeverUsedContextsAreInvalid) {
    EXPECT_EQ(LookForTapiContext(id(ctx(CTX_B1)), adapter), nullptr) << "never allocated";
    EXPECT_EQ(LookForTapiContext(id(ctx(CTX_B2)), adapter), nullptr);
    ctx(CTX_LISTEN)->State = CTX_OPEN;
    EXPECT_EQ(LookForTapiContext(id(ctx(CTX_LISTEN)), adapter), nullptr);
    EXPECT_EQ(LookForTapiContext(static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(ctx(CTX_LISTEN))), adapter),
              nullptr);

    const std::uint16_t states[] = {CTX_FREE,     CTX_CALL_REQUESTED, CTX_CALLING,          CTX_OPEN,
                                    CTX_CLEARING, CTX_CONNECTED,      CTX_OPEN_SENDING_DATA};
    for (std::uint16_t s : states) {
        ctx(CTX_B2)->State = s;
        EXPECT_EQ(LookForTapiContext(id(ctx(CTX_B2)), adapter), ctx(CTX_B2)) << "state " << s;
    }
    EXPECT_EQ(LookForTapiContext(id(ctx(CTX_B1)), adapter), nullptr);
    for (ULONG other : {0u, id(adapter), id(gw(0)), id(gw(1))})
        EXPECT_EQ(LookForTapiContext(other, adapter), nullptr) << other;
}

TEST_F(LookupTest, TheCallOfALineIsTheFirstLiveContextBoundToIt) {
    configure(2);
    EXPECT_EQ(LookForTapiContextByHdline(id(gw(0)), adapter), nullptr);

    // Both bound to line 0: B1 wins.
    InitContext(ctx(CTX_B1));
    ctx(CTX_B1)->pGway = gw(0);
    ctx(CTX_B1)->State = CTX_OPEN;
    InitContext(ctx(CTX_B2));
    ctx(CTX_B2)->pGway = gw(0);
    ctx(CTX_B2)->State = CTX_CALLING;
    EXPECT_EQ(LookForTapiContextByHdline(id(gw(0)), adapter), ctx(CTX_B1));

    ctx(CTX_B1)->State = CTX_UNUSED;
    EXPECT_EQ(LookForTapiContextByHdline(id(gw(0)), adapter), ctx(CTX_B2));

    // A released context keeps its line until it is allocated again.
    ctx(CTX_B2)->pGway = gw(1);
    KillContext(ctx(CTX_B2), KILL_REASON_CLEARED, adapter);
    ASSERT_EQ(ctx(CTX_B2)->State, CTX_FREE);
    EXPECT_EQ(LookForTapiContextByHdline(id(gw(1)), adapter), ctx(CTX_B2));
    EXPECT_EQ(LookForTapiContextByHdline(id(gw(0)), adapter), nullptr);

    // A context bound to no line is never the call of a handle that names none.
    InitContext(ctx(CTX_B1));
    ASSERT_EQ(ctx(CTX_B1)->pGway, nullptr);
    for (ULONG other : {0u, id(adapter), id(ctx(CTX_B1)), 0xFFFFFFFFu})
        EXPECT_EQ(LookForTapiContextByHdline(other, adapter), nullptr) << other;
}

// ---- TAPI status indications ---------------------------------------------------------------

TEST_F(LookupTest, CallStatesAreAlwaysSentAndTheAddressStateOnlyOnAChange) {
    PGATEWAY g = line_with_call();
    std::uint64_t indications = host.ndis().status_indications();
    std::size_t from = mark();

    ZolTapiIndicateStatus(adapter, g, LINECALLSTATE_CONNECTED);
    ZolTapiIndicateStatus(adapter, g, LINECALLSTATE_CONNECTED);
    EXPECT_EQ(ULONG{g->CallState}, ULONG{LINECALLSTATE_CONNECTED});
    ZolTapiIndicateStatus(adapter, g, LINECALLSTATE_IDLE);
    ZolTapiIndicateStatus(adapter, g, LINECALLSTATE_IDLE);
    ZolTapiIndicateStatus(adapter, g, LINECALLSTATE_DIALTONE);
    ZolTapiIndicateStatus(adapter, g, LINECALLSTATE_DIALING);
    EXPECT_EQ(ULONG{g->CallState}, ULONG{LINECALLSTATE_DIALING});

    const std::vector<Ev> expected = {
        {0x7101, 0x7C05, LINE_CALLSTATE, 0x100, 0, 0x100},
        {0x7101, 0x7C05, LINE_ADDRESSSTATE, 3, LINEADDRESSSTATE_NUMCALLS, 0},
        {0x7101, 0x7C05, LINE_CALLSTATE, 0x100, 0, 0x100},
        {0x7101, 0x7C05, LINE_CALLSTATE, 1, 0, 0x100},
        {0x7101, 0x7C05, LINE_ADDRESSSTATE, 3, LINEADDRESSSTATE_INUSEZERO, 0},
        {0x7101, 0x7C05, LINE_CALLSTATE, 1, 0, 0x100},
        {0x7101, 0x7C05, LINE_CALLSTATE, 8, 0, 0x100},
        {0x7101, 0x7C05, LINE_CALLSTATE, 0x10, 0, 0x100},
    };
    EXPECT_EQ(events_since(from), expected);
    EXPECT_EQ(host.ndis().status_indications() - indications, expected.size());
    EXPECT_EQ(host.ndis().status_completes() - indications, expected.size()) << "each completed at once";
}

TEST_F(LookupTest, TheMediaModesAndHandlesAreReadWhenEachEventIsBuilt) {
    PGATEWAY g = line_with_call();
    adapter->MediaModes = 0x10;
    g->htCall = 0x7C09;
    std::size_t from = mark();
    ZolTapiIndicateStatus(adapter, g, LINECALLSTATE_CONNECTED);
    ZolTapiDeviceStatus(adapter, g, LINEDEVSTATE_CONNECTED);
    const std::vector<Ev> expected = {
        {0x7101, 0x7C09, LINE_CALLSTATE, 0x100, 0, 0x10},
        {0x7101, 0x7C09, LINE_ADDRESSSTATE, 3, LINEADDRESSSTATE_NUMCALLS, 0},
        {0x7101, 0x7C09, LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED, 1, 0},
    };
    EXPECT_EQ(events_since(from), expected);
}

TEST_F(LookupTest, ANewCallTakesTapisHandleBeforeItIsOffered) {
    PGATEWAY g = line_with_call(); // its htCall 0x7C05 is not the new call's
    g->hdCall = id(ctx(CTX_B1));
    std::size_t from = mark();

    ZolTapiIndicateStatus(adapter, g, LINE_NEWCALL);

    std::vector<Ev> got = events_since(from);
    ASSERT_EQ(got.size(), 2u) << "no address event: OFFERING is neither IDLE nor CONNECTED";
    ULONG htCall = got[0].p2; // written by NDIS TAPI during the indication
    EXPECT_NE(htCall, 0u);
    EXPECT_EQ(got[0], (Ev{0x7101, 0, LINE_NEWCALL, id(ctx(CTX_B1)), htCall, 0}));
    EXPECT_EQ(got[1], (Ev{0x7101, htCall, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, 0x100}));
    EXPECT_EQ(ULONG{g->htCall}, htCall);
    EXPECT_EQ(ULONG{g->CallState}, ULONG{LINECALLSTATE_OFFERING});
}

TEST_F(LookupTest, ADisconnectionAlwaysEndsIdleWithOneAddressEvent) {
    for (ULONG previous : {LINECALLSTATE_CONNECTED, LINECALLSTATE_IDLE, LINECALLSTATE_DISCONNECTED}) {
        SCOPED_TRACE("from " + std::to_string(previous));
        PGATEWAY g = line_with_call();
        g->CallState = previous;
        std::size_t from = mark();
        ZolTapiDeviceStatus(adapter, g, LINEDEVSTATE_DISCONNECTED);
        ZolTapiIndicateStatus(adapter, g, LINECALLSTATE_DISCONNECTED);
        const std::vector<Ev> expected = {
            {0x7101, 0x7C05, LINE_LINEDEVSTATE, LINEDEVSTATE_DISCONNECTED, 1, 0},
            {0x7101, 0x7C05, LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL, 0x100},
            {0x7101, 0x7C05, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0x100},
            {0x7101, 0x7C05, LINE_ADDRESSSTATE, 3, LINEADDRESSSTATE_INUSEZERO, 0},
        };
        EXPECT_EQ(events_since(from), expected);
        EXPECT_EQ(ULONG{g->CallState}, ULONG{LINECALLSTATE_IDLE});
        EXPECT_EQ(ULONG{g->htCall}, 0x7C05u) << "the caller clears it afterwards";
    }
}

TEST_F(LookupTest, CodesOutsideTheTableSendNothing) {
    PGATEWAY g = line_with_call();
    g->CallState = LINECALLSTATE_CONNECTED;
    std::size_t from = mark();
    for (ULONG code : {0u, 2u, 0x20u, 0x200u, 0x4001u, 0x1F5u, 0xFFFFFFFFu})
        ZolTapiIndicateStatus(adapter, g, code);
    EXPECT_TRUE(events_since(from).empty());
    EXPECT_EQ(ULONG{g->CallState}, ULONG{LINECALLSTATE_CONNECTED});
}

TEST_F(LookupTest, TheAddressStateFollowsTheRecordedCallStateOnly) {
    PGATEWAY g = line_with_call();
    std::size_t from = mark();
    g->CallState = LINECALLSTATE_OFFERING;
    ZolTapiAddressStatus(adapter, g, 9);
    g->CallState = LINECALLSTATE_DISCONNECTED;
    ZolTapiAddressStatus(adapter, g, 9);
    g->CallState = LINECALLSTATE_IDLE;
    ZolTapiAddressStatus(adapter, g, 9);
    g->CallState = LINECALLSTATE_CONNECTED;
    ZolTapiAddressStatus(adapter, g, 0);
    const std::vector<Ev> expected = {
        {0x7101, 0x7C05, LINE_ADDRESSSTATE, 9, LINEADDRESSSTATE_INUSEZERO, 0},
        {0x7101, 0x7C05, LINE_ADDRESSSTATE, 0, LINEADDRESSSTATE_NUMCALLS, 0},
    };
    EXPECT_EQ(events_since(from), expected);
}

} // namespace tolvanex::test
