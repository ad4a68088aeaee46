// Whole calls, told as stories: each asserts the exact sequence of ISDN
// commands, TAPI events, WAN indications and completions.

#include "driver_fixture.h"
#include "host_ndis.h"

namespace tolvanex::test {

class CallTest : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(open_listening_line(&htline, &hdline));
        events_seen = host.tapi().events().size();
    }
    void TearDown() override {
        if (!host.stopped())
            host.ndis().halt();
    }
    // What TAPI and NDISWAN were told since the last call, one line each.
    std::vector<std::string> told() {
        std::vector<std::string> out;
        for (std::size_t i = status_seen; i < host.trace().records().size(); ++i) {
            const auto &r = host.trace().records()[i];
            if (r.kind != TraceKind::Status)
                continue;
            if (r.event == "wan.line_up" || r.event == "wan.line_down") {
                out.push_back(r.event == "wan.line_up" ? "LINE_UP" : "LINE_DOWN");
                continue;
            }
            std::string msg = r.field("msg")->text.str();
            const char *p1 = msg == "LINE_CALLSTATE"      ? "state"
                             : msg == "LINE_LINEDEVSTATE" ? "devstate"
                             : msg == "LINE_ADDRESSSTATE" ? "address"
                                                          : nullptr;
            out.push_back(p1 ? msg + " " + hex32(static_cast<std::uint32_t>(r.number(p1))) : msg);
        }
        status_seen = host.trace().records().size();
        return out;
    }
    const IsdnCommandRecord &command(std::uint8_t code) {
        const IsdnCommandRecord *c = next_command(seconds(2));
        EXPECT_NE(c, nullptr);
        EXPECT_EQ(c->code, code);
        return *c;
    }
    HTAPI_LINE htline = 0;
    HDRV_LINE hdline = 0;
    std::size_t events_seen = 0;
    std::size_t status_seen = 0;
};

TEST_F(CallTest, OutgoingCallCarriesFramesBothWaysAndEndsWhenTapiDrops) {
    told();
    HDRV_CALL hdcall = 0;
    ASSERT_EQ(host.ras().make_call(hdline, "01 40-50.60 70", &hdcall).status, NDIS_STATUS_SUCCESS);
    const IsdnCommandRecord &call = command(ISDN_CODE_CALL);
    EXPECT_EQ(call.called_number, "0140506070");
    host.isdn().answer(call.id, 0, 3);
    host.run_for(seconds(1));
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CONN_CO});
    host.settle();
    EXPECT_EQ(told(), (std::vector<std::string>{"LINE_LINEDEVSTATE 0x00000004", "LINE_UP",
                                                 "LINE_CALLSTATE 0x00000100", "LINE_ADDRESSSTATE 0x00000000"}));
    ASSERT_EQ(host.ndiswan().links().size(), 1u);
    const LinkRecord link = host.ndiswan().links()[0];
    EXPECT_EQ(link.speed, 640u);
    EXPECT_EQ(link.link_handle, hdcall);

    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, 0);
    for (std::uint8_t i = 1; i <= 3; ++i)
        EXPECT_EQ(host.ndiswan().packets()[host.ndiswan().send(link.link_handle, {0xFF, 0x03, i}) - 1].send_status,
                  NDIS_STATUS_PENDING);
    host.settle();
    std::vector<std::uint8_t> sent;
    for (auto &c : host.isdn().commands())
        if (c.code == ISDN_CODE_SEND)
            sent.push_back(c.block[ISDN_CMD_HEAD_SIZE + 2]);
    EXPECT_EQ(sent, (std::vector<std::uint8_t>{1, 2, 3}));
    for (auto &p : host.ndiswan().packets())
        EXPECT_EQ(p.completion, NDIS_STATUS_SUCCESS);
    host.isdn().queue_message(3, IsdnMessage{.code = APP_DATA_IN, .data = {0xC0, 0x21, 0x09}});
    host.settle();
    ASSERT_EQ(host.ndiswan().received().size(), 1u);
    EXPECT_EQ(host.ndiswan().received()[0].link_context, link.context);

    told();
    ASSERT_EQ(host.ras().drop(hdcall).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(told(), (std::vector<std::string>{"LINE_DOWN", "LINE_CALLSTATE 0x00000001",
                                                 "LINE_ADDRESSSTATE 0x00000000"}));
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    host.run_for(seconds(2));
    EXPECT_GE(host.trace().count(TraceKind::Isdn, "clear req "), 1u);
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CLEAR_CO});
    host.settle();
    EXPECT_EQ(told(), (std::vector<std::string>{"LINE_LINEDEVSTATE 0x00000008", "LINE_DOWN",
                                                 "LINE_CALLSTATE 0x00004000", "LINE_CALLSTATE 0x00000001",
                                                 "LINE_ADDRESSSTATE 0x00000000"}));
    EXPECT_EQ(host.ndiswan().line_downs(), 2u);
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_FREE);
}

TEST_F(CallTest, IncomingCallIsOfferedAnsweredAndClearedByTheFarEnd) {
    told();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP, 0);
    host.isdn().queue_message(1, IsdnMessage{.code = APP_CONN_IN, .handle = 5, .number = "0299887766"});
    host.settle();
    host.run_for(seconds(2)); // B1's thread takes the handle up
    host.isdn().queue_message(5, IsdnMessage{.code = APP_CONN_CO});
    host.settle();
    auto offered = told();
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_EQ(offered[0], "LINE_NEWCALL");
    EXPECT_EQ(offered[1], "LINE_CALLSTATE 0x00000002");
    HDRV_CALL hdcall = host.tapi().events()[host.tapi().events().size() - 2].event.ulParam1;
    ASSERT_EQ(host.ras().answer(hdcall).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(told(), (std::vector<std::string>{"LINE_LINEDEVSTATE 0x00000004", "LINE_UP",
                                                 "LINE_CALLSTATE 0x00000100", "LINE_ADDRESSSTATE 0x00000000"}));
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR_RESP, 0);
    host.isdn().queue_message(5, IsdnMessage{.code = APP_CLEAR_IN, .cause = 16});
    host.settle();
    ASSERT_FALSE(host.isdn().commands().empty());
    EXPECT_EQ(host.isdn().commands().back().code, ISDN_CODE_CLEAR_RESP);
    EXPECT_TRUE(told().empty()) << "nothing until the clearing is confirmed";
    host.isdn().queue_message(5, IsdnMessage{.code = APP_CLEAR_CO});
    host.settle();
    EXPECT_EQ(told(), (std::vector<std::string>{"LINE_LINEDEVSTATE 0x00000008", "LINE_DOWN",
                                                 "LINE_CALLSTATE 0x00004000", "LINE_CALLSTATE 0x00000001",
                                                 "LINE_ADDRESSSTATE 0x00000000"}));
}

TEST_F(CallTest, AnIdleCallTimesOutAndIsClearedEachTurn) {
    host.registry().set_dword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Parameters",
                              "Timeout", 3);
    adapter->ReconfigRequest = 1;
    host.run_for(seconds(1));
    ASSERT_EQ(adapter->Gateway[0].Timeout, 3);
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    HDRV_CALL hdcall = 0;
    ASSERT_EQ(host.ras().make_call(hdline, "0140506070", &hdcall).status, NDIS_STATUS_SUCCESS);
    // The countdown as it moves, from the moment the call is requested.
    std::vector<USHORT> counts{adapter->Ctx[CTX_B1].TimeoutCount};
    auto watch = [&](Ticks span) {
        for (Ticks t = 0; t < span; t += millis(100)) {
            host.run_for(millis(100));
            if (adapter->Ctx[CTX_B1].TimeoutCount != counts.back())
                counts.push_back(adapter->Ctx[CTX_B1].TimeoutCount);
        }
    };
    const IsdnCommandRecord *call = next_command(seconds(1));
    ASSERT_NE(call, nullptr);
    host.isdn().answer(call->id, 0, 3);
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CONN_CO});
    watch(seconds(4));
    EXPECT_EQ(counts, (std::vector<USHORT>{3, 2, 1, 0}));
    EXPECT_EQ(events(EVT_TIMEOUT_EXPIRED), 1u);
    host.run_for(seconds(3));
    EXPECT_GE(host.trace().count(TraceKind::Isdn, "clear req "), 2u) << "repeated each turn until confirmed";
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CLEAR_CO});
    host.settle();
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_FREE);
}

// ---- Refused incoming calls -------------------------------------------------------------

TEST_F(CallTest, IncomingCallsFindingNoLineAreClearedAtOnce) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP, 0);
    auto offer = [&](std::uint8_t handle, const char *number) {
        host.isdn().queue_message(1, IsdnMessage{.code = APP_CONN_IN, .handle = handle, .number = number});
        host.run_for(seconds(2)); // the listen is renewed and read on again
        const IsdnCommandRecord *last = nullptr;
        for (auto &c : host.isdn().commands())
            if (c.code == ISDN_CODE_CLEAR || c.code == ISDN_CODE_CALL_RESP)
                last = &c;
        return last;
    };
    // The open line (1-01-00, ClientAndServer) takes the first call on B1.
    const IsdnCommandRecord *first = offer(5, "0299887766");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->code, ISDN_CODE_CALL_RESP);
    // The open line now has a call, and the other line is not open.
    adapter->Gateway[0].htCall = 0x7C99;
    const IsdnCommandRecord *busy = offer(6, "0311223344");
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(busy->code, ISDN_CODE_CLEAR);
    EXPECT_EQ(busy->hcom, 6);
    EXPECT_EQ(busy->called_number, "0311223344");
    // Both channels busy, the line free again.
    adapter->Gateway[0].htCall = 0;
    InitContext(&adapter->Ctx[CTX_B2]);
    adapter->Ctx[CTX_B2].State = CTX_OPEN;
    adapter->Ctx[CTX_B2].Reserved = 1;
    const IsdnCommandRecord *full = offer(7, "0455667788");
    EXPECT_EQ(full->code, ISDN_CODE_CLEAR);
    EXPECT_EQ(full->hcom, 7);
    adapter->Ctx[CTX_B2].State = CTX_FREE;
    adapter->Ctx[CTX_B2].Reserved = 0;
    // Only a "Client" port open.
    adapter->Gateway[0].Usage = 1;
    KillContext(&adapter->Ctx[CTX_B1], 0, adapter);
    const IsdnCommandRecord *client = offer(8, "0566778899");
    EXPECT_EQ(client->code, ISDN_CODE_CLEAR);
    EXPECT_EQ(client->hcom, 8);
}

TEST_F(CallTest, ARefusedCallResponseHoldsTheChannelUntilTheClearing) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP, 9);
    host.isdn().queue_message(1, IsdnMessage{.code = APP_CONN_IN, .handle = 5, .number = "0299887766"});
    host.run_for(seconds(2));
    EXPECT_EQ(adapter->Ctx[CTX_B1].hCom, 5);
    EXPECT_EQ(AllocationContext(adapter), &adapter->Ctx[CTX_B2]) << "B1 waits for its clearing";
    KillContext(&adapter->Ctx[CTX_B2], 0, adapter);
    host.isdn().queue_message(5, IsdnMessage{.code = APP_CLEAR_CO});
    host.settle();
    EXPECT_EQ(adapter->Ctx[CTX_B1].Reserved, 0);
    EXPECT_EQ(AllocationContext(adapter), &adapter->Ctx[CTX_B1]);
    KillContext(&adapter->Ctx[CTX_B1], 0, adapter);
}

// ---- Send path ----------------------------------------------------------------------------

TEST_F(CallTest, SendHandlerAnswersByTheStateOfTheLink) {
    HDRV_CALL hdcall = 0;
    ASSERT_EQ(host.ras().make_call(hdline, "0140506070", &hdcall).status, NDIS_STATUS_SUCCESS);
    const IsdnCommandRecord *call = next_command(seconds(1));
    ASSERT_NE(call, nullptr);
    host.isdn().answer(call->id, 0, 3);
    host.settle();
    auto send = [&](std::uint32_t link, std::size_t bytes = 3) {
        return host.ndiswan().packets()[host.ndiswan().send(link, std::vector<std::uint8_t>(bytes, 0x7E)) - 1]
            .send_status;
    };
    EXPECT_EQ(send(hdcall), NDIS_STATUS_SUCCESS) << "calling: dropped, not sent";
    EXPECT_EQ(send(ZolIdentity(adapter, &adapter->Ctx[CTX_LISTEN])), NDIS_STATUS_FAILURE);
    EXPECT_EQ(send(0x1234), NDIS_STATUS_FAILURE);
    EXPECT_EQ(send(ZolIdentity(adapter, &adapter->Ctx[CTX_B2])), NDIS_STATUS_FAILURE) << "never used";
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CONN_CO});
    host.run_for(seconds(1)); // B1's thread takes the handle up and reads
    ASSERT_TRUE(adapter->Ctx[CTX_B1].State == CTX_CONNECTED || adapter->Ctx[CTX_B1].State == CTX_OPEN);
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, 0);
    EXPECT_EQ(send(hdcall, 1601), NDIS_STATUS_FAILURE) << "longer than a frame the pass sends";
    host.faults().fail_nth("NdisAllocateMemory", host.faults().calls("NdisAllocateMemory") + 1);
    EXPECT_EQ(send(hdcall), NDIS_STATUS_RESOURCES);
    adapter->Ctx[CTX_B1].TimeoutCount = 2;
    EXPECT_EQ(send(hdcall), NDIS_STATUS_PENDING);
    EXPECT_EQ(adapter->Ctx[CTX_B1].TimeoutCount, adapter->Ctx[CTX_B1].Timeout) << "reloaded";
    host.settle();
    adapter->Ctx[CTX_B1].TimeoutCount = 0;
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    EXPECT_EQ(send(hdcall), NDIS_STATUS_PENDING);
    EXPECT_EQ(adapter->Ctx[CTX_B1].TimeoutCount, 0) << "a call timed out stays timed out";
    EXPECT_EQ(events(EVT_DATA_SENT), 0u) << "only above trace level 70";
    adapter->TraceLevel = 71;
    send(hdcall, 0x5DC);
    ASSERT_EQ(events(EVT_DATA_SENT), 1u);
    EXPECT_EQ(host.event_log().entries().back().strings[0], "5DC");
    host.settle();
}

// ---- Supervision timer --------------------------------------------------------------------

TEST_F(CallTest, OnlySupervisedChannelsCountDown) {
    PCTX b1 = &adapter->Ctx[CTX_B1], b2 = &adapter->Ctx[CTX_B2], listen = &adapter->Ctx[CTX_LISTEN];
    InitContext(b1);
    b1->Reserved = 1;
    b1->State = CTX_CLEARING;
    b1->TimeoutCount = 9;
    InitContext(b2);
    b2->Reserved = 1;
    b2->State = CTX_CALLING;
    b2->TimeoutCount = 9;
    b2->hCom = 0xFF;
    listen->TimeoutCount = 9;
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    host.run_for(seconds(3));
    EXPECT_EQ(b2->TimeoutCount, 6);
    EXPECT_EQ(listen->TimeoutCount, 9) << "the listen context is never counted";
    EXPECT_EQ(b1->State, CTX_FREE) << "a clearing without a handle is freed, its count frozen till then";
    EXPECT_EQ(events(EVT_TIMEOUT_EXPIRED), 0u);
}

} // namespace tolvanex::test
