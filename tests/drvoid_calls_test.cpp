// The TAPI call requests: placing, answering, dropping and closing calls,
// their information and status, and the filtering of dial strings, through
// the query and set handlers with the ISDN driver scripted below.

#include "driver_fixture.h"
#include "host_ndis.h"

namespace tolvanex::test {

namespace {

namespace tapi = tolvanex::host::tapi;
using tapi::Bytes;
using Counts = std::tuple<NDIS_STATUS, ULONG, ULONG>; // status, bytes written or read, bytes needed

constexpr ULONG kBase = 6;
constexpr std::uint8_t kListen = 1; // the listen's ISDN handle

Counts counts(const TapiAnswer &a) {
    return {a.status, a.bytes_done, a.bytes_needed};
}

// A field of a packed record, by value.
template <class T> T val(T field) {
    return field;
}

} // namespace

class TapiCallTest : public DriverTest {
  protected:
    void SetUp() override {
        host.ras().configure_route({"Tolvanex1"});
        host.ras().configure({{"1-01-00", "ClientAndServer"}, {"1-02-00", "Client"}});
        start();
        // The listen the first open asks for is granted at once.
        host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0, kListen);
        host.isdn().auto_answer(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, 0);
        open_isdn();
        host.run_for(seconds(5)); // past the receive threads' first wait
        ULONG lines = 0;
        ASSERT_EQ(host.ras().initialize(kBase, &lines).status, NDIS_STATUS_SUCCESS);
        ASSERT_EQ(lines, 2u);
        ASSERT_EQ(host.ras().open(kBase, &htline[0], &hdline[0]).status, NDIS_STATUS_SUCCESS);
        ASSERT_EQ(host.ras().open(kBase + 1, &htline[1], &hdline[1]).status, NDIS_STATUS_SUCCESS);
        host.run_for(seconds(1));
    }
    void TearDown() override {
        if (adapter == nullptr || host.stopped())
            return;
        host.isdn().clear_rules();
        for (int i = CTX_B1; i <= CTX_B2; ++i)
            KillContext(&adapter->Ctx[i], KILL_REASON_CLEARED, adapter);
        host.ndis().halt();
    }

    TapiAnswer query(NDIS_OID oid, const Bytes &r, std::size_t length = SIZE_MAX) {
        return host.tapi().query(oid, r, length);
    }
    TapiAnswer set(NDIS_OID oid, const Bytes &r, std::size_t length = SIZE_MAX) {
        return host.tapi().set(oid, r, length);
    }
    TapiAnswer make_call(int line, const std::string &dial, HDRV_CALL *hd = nullptr, HTAPI_CALL *ht = nullptr,
                         const std::optional<std::string> &comment = {}) {
        return host.ras().make_call(hdline[line], dial, hd, ht, comment);
    }
    std::string number(int line) {
        const GATEWAY &g = adapter->Gateway[line];
        EXPECT_EQ(std::strlen(g.PhoneNumber), std::size_t{g.PhoneNumberLength});
        return std::string(g.PhoneNumber, g.PhoneNumberLength);
    }
    std::vector<const IsdnCommandRecord *> sent(std::uint8_t command, std::uint8_t code) {
        std::vector<const IsdnCommandRecord *> out;
        for (auto &c : host.isdn().commands())
            if (c.command == command && c.code == code)
                out.push_back(&c);
        return out;
    }
    LINE_CALL_STATUS call_status(HDRV_CALL hd) {
        TapiAnswer a = query(OID_TAPI_GET_CALL_STATUS, tapi::get_call_status(1, hd));
        EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 44, 0));
        return tapi::record_at<LINE_CALL_STATUS>(a.buffer, 8);
    }
    ULONG id(const void *record) { return ZolIdentity(adapter, record); }

    HTAPI_LINE htline[2] = {};
    HDRV_LINE hdline[2] = {};
};

// ---- Dial strings --------------------------------------------------------------------------

TEST_F(TapiCallTest, DialStringsKeepDigitsHexLettersAndStarsOnly) {
    const struct {
        std::string dial, kept;
    } cases[] = {
        {"0140 50-60 70", "0140506070"},
        {"+33 (1) 40 50 60 70*5#", "33140506070*5"},
        {"T1234567", "1234567"},
        {"ABCDEF abcdef GHIJ xyz, ghij", "ABCDEFabcdef"},
        {"+-() #,;!", ""},
        {"", ""},
        {"  " + std::string(32, '7') + " - ", std::string(32, '7')},
    };
    for (auto &c : cases) {
        HDRV_CALL hd = 0;
        ASSERT_EQ(counts(make_call(0, c.dial, &hd)), Counts(NDIS_STATUS_SUCCESS, 137, 0)) << c.dial;
        EXPECT_EQ(number(0), c.kept) << c.dial;
        EXPECT_EQ(std::string(adapter->Ctx[CTX_B1].PhoneNumber), c.kept) << "the call's own copy";
        ASSERT_EQ(set(OID_TAPI_DROP, tapi::call_with_user_info(1, hd)).status, NDIS_STATUS_SUCCESS);
    }
    for (std::string dial : {std::string(33, '1'), "(" + std::string(16, 'a') + ") " + std::string(17, '2') + "#"}) {
        make_call(0, "999"); // a number the refusal must clear
        set(OID_TAPI_DROP, tapi::call_with_user_info(1, id(&adapter->Ctx[CTX_B1])));
        EXPECT_EQ(counts(make_call(0, dial)), Counts(NDIS_STATUS_TAPI_INVALADDRESS, 0, 0)) << dial;
        EXPECT_EQ(std::string(adapter->Gateway[0].PhoneNumber, NUMBER_SIZE), std::string(NUMBER_SIZE, '\0'));
        EXPECT_EQ(adapter->Gateway[0].PhoneNumberLength, 0);
        EXPECT_EQ(val(adapter->Gateway[0].htCall), 0u);
        EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_FREE) << "no context taken";
    }
}

TEST_F(TapiCallTest, TheDialStringIsTerminatedInPlaceAndMustLieInTheRequest) {
    Bytes request = tapi::make_call(1, hdline[0], 0x7C40, "123X");
    std::uint32_t size = 4, offset = tapi::ulong_at(request, 20);
    std::memcpy(request.data() + 16, &size, 4); // the 'X' is now where the terminating zero goes
    TapiAnswer a = query(OID_TAPI_MAKE_CALL, request);
    EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(number(0), "123");
    EXPECT_EQ(a.buffer[offset + 3], 0) << "the 'X' is overwritten by the terminating zero";
    set(OID_TAPI_DROP, tapi::call_with_user_info(1, tapi::made_call(a.buffer)));

    const struct {
        std::uint32_t size, offset;
    } outside[] = {{0, offset}, {6, offset}, {1, static_cast<std::uint32_t>(request.size())}, {2, 0xFFFFFFFF}};
    for (auto &o : outside) {
        Bytes bad = request;
        std::memcpy(bad.data() + 16, &o.size, 4);
        std::memcpy(bad.data() + 20, &o.offset, 4);
        TapiAnswer r = query(OID_TAPI_MAKE_CALL, bad);
        EXPECT_EQ(counts(r), Counts(NDIS_STATUS_TAPI_INVALADDRESS, 0, 0)) << o.size << " at " << o.offset;
        EXPECT_EQ(r.buffer, bad);
    }
    EXPECT_EQ(val(adapter->Gateway[0].htCall), 0u);
}

// ---- An outgoing call's life ------------------------------------------------------------------

TEST_F(TapiCallTest, AnOutgoingCallFromMakeCallToItsClearing) {
    HDRV_CALL hd = 0;
    HTAPI_CALL ht = 0;
    std::size_t at = mark();
    EXPECT_EQ(counts(make_call(0, "0140 50-60 70", &hd, &ht, "office link")), Counts(NDIS_STATUS_SUCCESS, 137, 0));
    PCTX b1 = &adapter->Ctx[CTX_B1];
    const GATEWAY &g = adapter->Gateway[0];
    EXPECT_EQ(hd, id(b1));
    EXPECT_EQ(b1->State, CTX_CALL_REQUESTED);
    EXPECT_EQ(b1->TimeoutCount, val(g.Timeout));
    EXPECT_EQ(b1->LinkSpeed, 64000u);
    EXPECT_EQ(val(g.htCall), ht);
    EXPECT_EQ(val(g.hdCall), hd);
    EXPECT_EQ(g.CallSeen, 1);
    EXPECT_EQ(val(g.Usage), 2);
    EXPECT_TRUE(events_since(at).empty()) << "TAPI hears of the call when it connects";
    EXPECT_EQ(make_call(0, "1").status, NDIS_STATUS_TAPI_INUSE);
    EXPECT_EQ(counts(set(OID_TAPI_ANSWER, tapi::call_with_user_info(1, hd))),
              Counts(NDIS_STATUS_TAPI_INVALCALLHANDLE, 0, 0))
        << "an outgoing call is not answered";
    EXPECT_EQ(call_status(hd).ulCallState, LINECALLSTATE_IDLE);

    // The general loop places it within a second, with the filtered number.
    const IsdnCommandRecord *call = next_command(seconds(1));
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->code, ISDN_CODE_CALL);
    EXPECT_EQ(call->called_number, "0140506070");
    host.isdn().answer(call->id, 0, 6);
    host.isdn().queue_message(6, IsdnMessage{.code = APP_CONN_CO, .handle = 6});
    host.run_until([&] { return events_since(at).size() == 3; }, seconds(2));
    EXPECT_EQ(events_since(at), (std::vector<Ev>{{htline[0], ht, LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED, 1, 0},
                                                 {htline[0], ht, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, 0x100},
                                                 {htline[0], ht, LINE_ADDRESSSTATE, 0, LINEADDRESSSTATE_NUMCALLS, 0}}));
    ASSERT_EQ(host.ndiswan().links().size(), 1u);
    host.run_for(seconds(1)); // a sending pass leaves it open

    EXPECT_EQ(call_status(hd).ulCallState, LINECALLSTATE_CONNECTED);
    TapiAnswer a = query(OID_TAPI_GET_ADDRESS_STATUS, tapi::get_address_status(1, hdline[0], 0));
    LINE_ADDRESS_STATUS s = tapi::record_at<LINE_ADDRESS_STATUS>(a.buffer, 12);
    EXPECT_EQ(std::make_tuple(s.ulNumInUse, s.ulNumActiveCalls, s.ulAddressFeatures), std::make_tuple(1u, 1u, 0u));
    a = query(OID_TAPI_GET_LINE_DEV_STATUS, tapi::get_line_dev_status(1, hdline[0]));
    EXPECT_EQ(tapi::record_at<LINE_DEV_STATUS>(a.buffer, 8).ulNumActiveCalls, 1u);
    a = query(OID_TAPI_GET_LINE_DEV_STATUS, tapi::get_line_dev_status(1, hdline[1]));
    EXPECT_EQ(tapi::record_at<LINE_DEV_STATUS>(a.buffer, 8).ulNumActiveCalls, 0u);

    EXPECT_EQ(counts(set(OID_TAPI_SET_APP_SPECIFIC, tapi::set_app_specific(1, hd, 0xA5A5))),
              Counts(NDIS_STATUS_SUCCESS, 12, 0));
    a = query(OID_TAPI_GET_CALL_INFO, tapi::get_call_info(1, hd, 296 + 20));
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 304, 0));
    tapi::CallInfo info = tapi::decode_call_info(a.buffer);
    EXPECT_EQ(info.info.ulNeededSize, 307u);
    EXPECT_EQ(info.info.ulUsedSize, 307u);
    EXPECT_EQ(info.info.hLine, hd);
    EXPECT_EQ(info.info.ulLineDeviceID, kBase);
    EXPECT_EQ(info.info.ulBearerMode, LINEBEARERMODE_DATA);
    EXPECT_EQ(info.info.ulRate, 64000u);
    EXPECT_EQ(info.info.ulAppSpecific, 0xA5A5u);
    EXPECT_EQ(info.info.ulCallStates, 0x4357u);
    EXPECT_EQ(info.info.ulOrigin, LINECALLORIGIN_OUTBOUND);
    EXPECT_EQ(info.info.ulReason, LINECALLREASON_DIRECT);
    EXPECT_EQ(info.info.ulCommentOffset, 296u);
    EXPECT_EQ(std::string(info.comment.begin(), info.comment.end()), "office link");

    // The drop takes the link down at once and leaves the clearing to the loop.
    at = mark();
    EXPECT_EQ(counts(set(OID_TAPI_DROP, tapi::call_with_user_info(1, hd, "bye"))), Counts(NDIS_STATUS_SUCCESS, 16, 0));
    EXPECT_EQ(events_since(at),
              (std::vector<Ev>{{htline[0], ht, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0x100},
                               {htline[0], ht, LINE_ADDRESSSTATE, 0, LINEADDRESSSTATE_INUSEZERO, 0}}));
    EXPECT_EQ(host.ndiswan().line_downs(), 1u);
    EXPECT_EQ(b1->State, CTX_CLEARING);
    EXPECT_EQ(val(b1->htLine), 0u);
    EXPECT_EQ(val(b1->htCall), 0u);
    EXPECT_EQ(val(g.htCall), ht) << "the line stays busy until the clearing is confirmed";
    EXPECT_EQ(make_call(0, "1").status, NDIS_STATUS_TAPI_INUSE);
    const IsdnCommandRecord *clear = next_command(seconds(1));
    ASSERT_NE(clear, nullptr);
    EXPECT_EQ(clear->code, ISDN_CODE_CLEAR);
    EXPECT_EQ(clear->hcom, 6);
    host.isdn().answer(clear->id, 0);
    host.isdn().queue_message(6, IsdnMessage{.code = APP_CLEAR_CO, .handle = 6});
    host.settle();
    EXPECT_EQ(val(g.htCall), 0u);
    EXPECT_EQ(b1->State, CTX_FREE);
    EXPECT_EQ(counts(set(OID_TAPI_CLOSE_CALL, tapi::close_call(1, hd))), Counts(NDIS_STATUS_SUCCESS, 8, 0))
        << "a released context is still the call's handle";
    EXPECT_EQ(counts(make_call(0, "2")), Counts(NDIS_STATUS_SUCCESS, 137, 0));
}

TEST_F(TapiCallTest, ADropDuringASendingPassStillClearsTheCall) {
    HDRV_CALL hd = 0;
    ASSERT_EQ(make_call(0, "0140506070", &hd).status, NDIS_STATUS_SUCCESS);
    const IsdnCommandRecord *call = next_command(seconds(1));
    ASSERT_NE(call, nullptr);
    host.isdn().answer(call->id, 0, 4);
    host.isdn().queue_message(4, IsdnMessage{.code = APP_CONN_CO, .handle = 4});
    ASSERT_TRUE(host.run_until([&] { return host.ndiswan().links().size() == 1; }, seconds(2)));

    // The pass waits at the ISDN driver with the frame in hand when TAPI drops.
    host.ndiswan().send(hd, {0xFF, 0x03, 0xC0, 0x21});
    const IsdnCommandRecord *frame = next_command(seconds(2));
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(frame->code, ISDN_CODE_SEND);
    PCTX b1 = &adapter->Ctx[CTX_B1];
    ASSERT_EQ(b1->State, CTX_OPEN_SENDING_DATA);
    EXPECT_EQ(set(OID_TAPI_DROP, tapi::call_with_user_info(1, hd)).status, NDIS_STATUS_SUCCESS);
    host.isdn().answer(frame->id, 0);

    const IsdnCommandRecord *clear = next_command(seconds(2));
    ASSERT_NE(clear, nullptr) << "the call is cleared, not just forgotten";
    EXPECT_EQ(clear->code, ISDN_CODE_CLEAR);
    EXPECT_EQ(clear->hcom, 4);
    EXPECT_NE(b1->State, CTX_FREE);
    host.isdn().answer(clear->id, 0);
    host.isdn().queue_message(4, IsdnMessage{.code = APP_CLEAR_CO, .handle = 4});
    host.settle();
    EXPECT_EQ(b1->State, CTX_FREE);
    EXPECT_EQ(val(adapter->Gateway[0].htCall), 0u);
}

TEST_F(TapiCallTest, ADropBeforeTheCallIsPlacedReleasesItAtOnce) {
    HDRV_CALL hd = 0;
    HTAPI_CALL ht = 0;
    ASSERT_EQ(make_call(1, "0140506070", &hd, &ht).status, NDIS_STATUS_SUCCESS);
    std::size_t at = mark();
    EXPECT_EQ(counts(set(OID_TAPI_DROP, tapi::call_with_user_info(1, hd))), Counts(NDIS_STATUS_SUCCESS, 16, 0));
    EXPECT_EQ(events_since(at), (std::vector<Ev>{{htline[1], ht, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0x100}}));
    EXPECT_EQ(val(adapter->Gateway[1].htCall), 0u);
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_FREE);
    host.run_for(seconds(3));
    EXPECT_TRUE(sent(ISDN_CLASS_CONTROL, ISDN_CODE_CALL).empty());
    EXPECT_EQ(host.ndiswan().line_downs(), 0u);

    at = mark();
    for (ULONG other : {0u, hd + 1, id(&adapter->Ctx[CTX_B2]), id(adapter)})
        EXPECT_EQ(set(OID_TAPI_DROP, tapi::call_with_user_info(1, other)).status, NDIS_STATUS_SUCCESS) << other;
    EXPECT_TRUE(events_since(at).empty());
    EXPECT_TRUE(host.isdn().next_unanswered() == nullptr);
}

TEST_F(TapiCallTest, WithBothChannelsTakenAMakeCallFindsNoResource) {
    ASSERT_EQ(make_call(0, "111").status, NDIS_STATUS_SUCCESS);
    // Reopening the line forgets TAPI's call but not the channel it holds.
    ASSERT_EQ(host.ras().close(hdline[0]).status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(host.ras().open(kBase, &htline[0], &hdline[0]).status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(make_call(0, "222").status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(val(adapter->Gateway[1].Usage), 1) << "RAS's Client";
    EXPECT_EQ(counts(make_call(1, "33-3")), Counts(NDIS_STATUS_TAPI_RESOURCEUNAVAIL, 0, 0));
    EXPECT_EQ(number(1), "333") << "the refused call's number and usage stay";
    EXPECT_EQ(val(adapter->Gateway[1].Usage), 2);
    EXPECT_EQ(val(adapter->Gateway[1].htCall), 0u);
    EXPECT_EQ(counts(make_call(0, "1")), Counts(NDIS_STATUS_TAPI_INUSE, 0, 0));
    EXPECT_EQ(counts(host.ras().make_call(id(&adapter->Ctx[CTX_B1]), "1")),
              Counts(NDIS_STATUS_TAPI_INVALLINEHANDLE, 0, 0));
}

// A line closed after its call's channel went to the other line's call
// leaves that call's handles alone.
TEST_F(TapiCallTest, ClosingALineLeavesTheOtherLinesCallOnItsOldChannel) {
    HDRV_CALL hd = 0;
    ASSERT_EQ(make_call(0, "111", &hd).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(set(OID_TAPI_DROP, tapi::call_with_user_info(1, hd)).status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(adapter->Ctx[CTX_B1].State, CTX_FREE);
    HTAPI_CALL ht = 0;
    ASSERT_EQ(make_call(1, "222", &hd, &ht).status, NDIS_STATUS_SUCCESS);
    PCTX b1 = &adapter->Ctx[CTX_B1];
    ASSERT_EQ(hd, id(b1)) << "line 1's call takes the channel line 0 had";
    b1->htCall = ht;
    b1->htLine = htline[1];
    ASSERT_EQ(host.ras().close(hdline[0]).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(b1->htCall, ht);
    EXPECT_EQ(b1->htLine, htline[1]);
    EXPECT_EQ(val(adapter->Gateway[1].htCall), ht);
}

// ---- An incoming call ------------------------------------------------------------------------

TEST_F(TapiCallTest, AnOfferedCallIsAnsweredAndReportedConnected) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP, 0);
    std::size_t at = mark();
    host.isdn().queue_message(kListen, IsdnMessage{.code = APP_CONN_IN, .handle = 9, .number = "0140506070"});
    host.isdn().queue_message(9, IsdnMessage{.code = APP_CONN_CO, .handle = 9});
    host.run_until([&] { return events_since(at).size() == 2; }, seconds(3));
    std::vector<Ev> offered = events_since(at);
    ASSERT_EQ(offered.size(), 2u);
    PCTX b1 = &adapter->Ctx[CTX_B1];
    HDRV_CALL hd = id(b1);
    HTAPI_CALL ht = offered[0].p2;
    EXPECT_EQ(offered[0], (Ev{htline[0], 0, LINE_NEWCALL, hd, ht, 0}));
    EXPECT_EQ(offered[1], (Ev{htline[0], ht, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, 0x100}));
    EXPECT_EQ(call_status(hd).ulCallState, LINECALLSTATE_OFFERING);
    TapiAnswer a = query(OID_TAPI_GET_CALL_INFO, tapi::get_call_info(1, hd, 296));
    EXPECT_EQ(tapi::decode_call_info(a.buffer).info.ulOrigin, LINECALLORIGIN_OUTBOUND) << "incoming calls too";

    at = mark();
    USHORT state = b1->State;
    EXPECT_EQ(counts(set(OID_TAPI_ANSWER, tapi::call_with_user_info(1, hd))), Counts(NDIS_STATUS_SUCCESS, 16, 0));
    EXPECT_EQ(events_since(at), (std::vector<Ev>{{htline[0], ht, LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED, 1, 0},
                                                 {htline[0], ht, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, 0x100},
                                                 {htline[0], ht, LINE_ADDRESSSTATE, 0, LINEADDRESSSTATE_NUMCALLS, 0}}));
    ASSERT_EQ(host.ndiswan().links().size(), 1u);
    EXPECT_EQ(host.ndiswan().links()[0].link_handle, hd);
    EXPECT_EQ(host.ndiswan().links()[0].speed, 640u);
    EXPECT_EQ(b1->State, state) << "answering changes no state";

    // Closing the line keeps the call but forgets TAPI's handles in it.
    at = mark();
    EXPECT_EQ(set(OID_TAPI_CLOSE, tapi::close(1, hdline[0])).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(events_since(at),
              (std::vector<Ev>{{htline[0], ht, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0x100},
                               {htline[0], ht, LINE_ADDRESSSTATE, 0, LINEADDRESSSTATE_INUSEZERO, 0}}));
    EXPECT_EQ(val(b1->htLine), 0u);
    EXPECT_EQ(val(b1->htCall), 0u);
    EXPECT_EQ(val(adapter->Gateway[0].htCall), ht);
    EXPECT_EQ(counts(set(OID_TAPI_ANSWER, tapi::call_with_user_info(1, hd))),
              Counts(NDIS_STATUS_TAPI_INVALCALLHANDLE, 0, 0));
}

// ---- Call information, comments and bad requests ---------------------------------------------

TEST_F(TapiCallTest, TheCommentIsReportedWhenTheRoomHoldsItAndCutAtItsCapacity) {
    HDRV_CALL hd = 0;
    ASSERT_EQ(make_call(0, "1", &hd).status, NDIS_STATUS_SUCCESS);
    for (ULONG total : {200u, 295u, 296u, 400u}) {
        Bytes request = tapi::get_call_info(1, hd, std::max(total, 296u));
        std::memcpy(request.data() + 8, &total, 4); // a smaller room in a whole buffer
        ULONG sentinel = 0x5151;
        std::memcpy(request.data() + 8 + offsetof(LINE_CALL_INFO, ulCallID), &sentinel, 4);
        TapiAnswer a = query(OID_TAPI_GET_CALL_INFO, request);
        EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 304, 0)) << total;
        LINE_CALL_INFO i = tapi::record_at<LINE_CALL_INFO>(a.buffer, 8);
        EXPECT_EQ(i.ulNeededSize, 296u);
        EXPECT_EQ(i.ulUsedSize, 296u);
        EXPECT_EQ(i.ulCommentSize, 0u);
        EXPECT_EQ(i.ulCommentOffset, total >= 296 ? 296u : 0u) << total;
        EXPECT_EQ(i.ulCallID, sentinel) << "left as received";
    }
    set(OID_TAPI_DROP, tapi::call_with_user_info(1, hd));

    ASSERT_EQ(make_call(0, "1", &hd, nullptr, std::string(300, 'c')).status, NDIS_STATUS_SUCCESS);
    TapiAnswer a = query(OID_TAPI_GET_CALL_INFO, tapi::get_call_info(1, hd, 296 + 255));
    EXPECT_EQ(tapi::decode_call_info(a.buffer).info.ulNeededSize, 296u) << "256 bytes do not fit in 255";
    a = query(OID_TAPI_GET_CALL_INFO, tapi::get_call_info(1, hd, 296 + 256));
    tapi::CallInfo info = tapi::decode_call_info(a.buffer);
    EXPECT_EQ(info.info.ulUsedSize, 296u + 256u);
    EXPECT_EQ(info.comment, Bytes(256, 'c'));
    set(OID_TAPI_DROP, tapi::call_with_user_info(1, hd));

    Bytes outside = tapi::make_call(1, hdline[0], 0x7C50, "1", std::string("hi"));
    ULONG far = 0xFFFFFFF0;
    std::memcpy(outside.data() + 25 + offsetof(LINE_CALL_PARAMS, ulCommentOffset), &far, 4);
    EXPECT_EQ(counts(query(OID_TAPI_MAKE_CALL, outside)), Counts(NDIS_STATUS_TAPI_INVALCALLPARAMS, 0, 0));
    EXPECT_EQ(val(adapter->Gateway[0].htCall), 0u);
}

TEST_F(TapiCallTest, CallRequestsRefuseShortBuffersAndUnknownCalls) {
    HDRV_CALL hd = 0;
    ASSERT_EQ(make_call(0, "1", &hd).status, NDIS_STATUS_SUCCESS);
    const struct {
        const char *name;
        bool is_set;
        NDIS_OID oid;
        Bytes request;
        ULONG fixed;
    } families[] = {
        {"MAKE_CALL", false, OID_TAPI_MAKE_CALL, tapi::make_call(1, hdline[1], 0x7C60, "123"), 137},
        {"GET_CALL_INFO", false, OID_TAPI_GET_CALL_INFO, tapi::get_call_info(1, hd, 296), 304},
        {"GET_CALL_STATUS", false, OID_TAPI_GET_CALL_STATUS, tapi::get_call_status(1, hd), 44},
        {"ANSWER", true, OID_TAPI_ANSWER, tapi::call_with_user_info(1, hd), 12},
        {"CLOSE_CALL", true, OID_TAPI_CLOSE_CALL, tapi::close_call(1, hd), 8},
        {"DROP", true, OID_TAPI_DROP, tapi::call_with_user_info(1, hd), 12},
    };
    for (auto &f : families)
        for (ULONG length = 0; length < f.fixed; ++length) {
            TapiAnswer a = f.is_set ? set(f.oid, f.request, length) : query(f.oid, f.request, length);
            EXPECT_EQ(counts(a), Counts(NDIS_STATUS_INVALID_LENGTH, 0, f.fixed)) << f.name << ", " << length;
            EXPECT_EQ(a.buffer, Bytes(f.request.begin(), f.request.begin() + length)) << f.name << ", " << length;
        }
    EXPECT_EQ(val(adapter->Gateway[1].htCall), 0u);
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_CALL_REQUESTED) << "the short drops did nothing";

    Bytes info = tapi::get_call_info(1, hd, 296);
    EXPECT_EQ(counts(query(OID_TAPI_GET_CALL_INFO, info, 303)), Counts(NDIS_STATUS_INVALID_LENGTH, 0, 304));
    std::uint32_t total = 297;
    std::memcpy(info.data() + 8, &total, 4);
    EXPECT_EQ(counts(query(OID_TAPI_GET_CALL_INFO, info)), Counts(NDIS_STATUS_INVALID_LENGTH, 0, 305))
        << "ulTotalSize past the buffer";

    for (ULONG other : {0u, id(&adapter->Ctx[CTX_B2]), id(&adapter->Gateway[0]), 0x5A000000u}) {
        EXPECT_EQ(query(OID_TAPI_GET_CALL_INFO, tapi::get_call_info(1, other, 296)).status,
                  NDIS_STATUS_TAPI_INVALCALLHANDLE);
        EXPECT_EQ(query(OID_TAPI_GET_CALL_STATUS, tapi::get_call_status(1, other)).status,
                  NDIS_STATUS_TAPI_INVALCALLHANDLE);
        EXPECT_EQ(counts(set(OID_TAPI_CLOSE_CALL, tapi::close_call(1, other))),
                  Counts(NDIS_STATUS_TAPI_INVALCALLHANDLE, 0, 0));
        EXPECT_EQ(set(OID_TAPI_ANSWER, tapi::call_with_user_info(1, other)).status, NDIS_STATUS_TAPI_INVALCALLHANDLE);
        EXPECT_EQ(set(OID_TAPI_SET_APP_SPECIFIC, tapi::set_app_specific(1, other, 1)).status,
                  NDIS_STATUS_TAPI_INVALCALLHANDLE);
    }
}

} // namespace tolvanex::test
