// The general loop's work each turn: placing calls, the sending pass,
// clearing, time-outs, and the delivery of received frames.

#include "driver_fixture.h"

namespace tolvanex::test {

class LoopTest : public DriverTest {
  protected:
    void SetUp() override {
        start();
        open_isdn();
        host.run_for(millis(500)); // between two turns
    }
    void TearDown() override {
        if (host.stopped())
            return;
        for (int i = CTX_B1; i <= CTX_B2; ++i)
            KillContext(&adapter->Ctx[i], 0, adapter);
        host.isdn().clear_rules();
        host.ndis().halt();
    }
    PCTX connected(int index, UCHAR hCom, USHORT count = 100) {
        PCTX c = &adapter->Ctx[index];
        InitContext(c);
        c->Reserved = CTX_RESERVED;
        c->State = CTX_OPEN;
        c->hCom = hCom;
        c->TimeoutCount = count;
        std::strcpy(c->PhoneNumber, "0140506070");
        return c;
    }
    PCHAIN_DESCR queue(PCTX c, std::vector<std::uint8_t> bytes, bool with_packet = true) {
        PCHAIN_DESCR d = AllocChainDescr(adapter, static_cast<USHORT>(bytes.size()));
        EXPECT_NE(d, nullptr);
        std::memcpy(d->Data, bytes.data(), bytes.size());
        d->Length = static_cast<USHORT>(bytes.size());
        d->WanPacket = with_packet ? host.ndiswan().pend_packet(0x51, bytes) : nullptr;
        AcquireSpinLock(&adapter->Lock);
        ChainAdd(adapter, c->SendQueue.Blink, d);
        ReleaseSpinLock(&adapter->Lock);
        return d;
    }
    // A line up for the context, as the answer or the connection gives it.
    ULONG link_up(PCTX c) {
        c->LinkSpeed = 64000;
        ZolWanSendLineUp(adapter, c);
        return c->NdisLinkContext;
    }
    void received(ULONG link, std::uint8_t tag) {
        PCHAIN_DESCR d = AllocChainDescr(adapter, RX_BUFFER_SIZE);
        ASSERT_NE(d, nullptr);
        d->Data[0] = tag;
        d->Length = 1;
        d->Type = DESCR_TYPE_RECEIVED;
        d->NdisLinkContext = link;
        d->WanPacket = nullptr;
        AcquireSpinLock(&adapter->Lock);
        ChainAdd(adapter, adapter->RxQueue.Blink, d);
        ReleaseSpinLock(&adapter->Lock);
    }
    std::vector<const IsdnCommandRecord *> commands(std::uint8_t code) {
        std::vector<const IsdnCommandRecord *> out;
        for (auto &c : host.isdn().commands())
            if (c.command == ISDN_CLASS_CONTROL && c.code == code)
                out.push_back(&c);
        return out;
    }
    static std::uint16_t data_length(const IsdnCommandRecord &c) { return c.block[204] | (c.block[205] << 8); }
    void turn() { host.run_for(seconds(1)); }
};

TEST_F(LoopTest, ARequestedCallIsPlacedOnceOrReleasedWhenItsCountRanOut) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CALL, 0, 6);
    PCTX b1 = connected(CTX_B1, 0xFF);
    b1->State = CTX_CALL_REQUESTED;
    PCTX b2 = connected(CTX_B2, 0xFF, 0);
    b2->State = CTX_CALL_REQUESTED;
    turn();
    EXPECT_EQ(b1->State, CTX_CALLING);
    EXPECT_EQ(b1->hCom, 6);
    EXPECT_EQ(b2->State, CTX_FREE) << "never dialled: released";
    ASSERT_EQ(commands(ISDN_CODE_CALL).size(), 1u);
    EXPECT_EQ(commands(ISDN_CODE_CALL)[0]->called_number, "0140506070");
    turn();
    EXPECT_EQ(commands(ISDN_CODE_CALL).size(), 1u) << "waiting for the connection: nothing more";
}

TEST_F(LoopTest, AFailedCallKeepsNoHandleAndTimesOutByItsGateway) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CALL, 3);
    PCTX b1 = connected(CTX_B1, 0xFF, 2);
    b1->State = CTX_CALL_REQUESTED;
    b1->pGway = &adapter->Gateway[0];
    adapter->Gateway[0].CallSeen = 1;
    turn();
    EXPECT_EQ(b1->State, CTX_CALLING);
    EXPECT_EQ(b1->hCom, 0xFF);
    host.run_for(seconds(3)); // the timer counts it down to 0
    EXPECT_EQ(b1->TimeoutCount, 0);
    EXPECT_EQ(b1->State, CTX_CALLING) << "TAPI has seen the call: it waits for the drop";
    adapter->Gateway[0].CallSeen = 0;
    turn();
    EXPECT_EQ(b1->State, CTX_FREE);
}

TEST_F(LoopTest, ASendingPassSendsEveryQueuedFrameInOrder) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, 0);
    PCTX b1 = connected(CTX_B1, 2);
    queue(b1, {1});
    queue(b1, std::vector<std::uint8_t>(1600, 2));
    queue(b1, {3, 3, 3});
    turn();
    auto sends = commands(ISDN_CODE_SEND);
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(data_length(*sends[0]), 1);
    EXPECT_EQ(data_length(*sends[1]), 1600);
    EXPECT_EQ(sends[1]->block.size(), ISDN_DATA_CMD_SIZE);
    EXPECT_EQ(sends[2]->block[ISDN_CMD_HEAD_SIZE], 3);
    EXPECT_EQ(sends[0]->hcom, 2);
    for (auto &p : host.ndiswan().packets())
        EXPECT_EQ(p.completion, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(b1->State, CTX_OPEN);
    EXPECT_EQ(QueueHead(&b1->SendQueue), nullptr);
}

TEST_F(LoopTest, ARefusedFrameEndsThePassAndTheRestWait) {
    PCTX b1 = connected(CTX_B1, 2);
    b1->State = CTX_CONNECTED;
    queue(b1, {1});
    queue(b1, {2});
    queue(b1, {3});
    ASSERT_NE(next_command(seconds(1)), nullptr);
    host.isdn().answer(host.isdn().next_unanswered()->id, 0);
    ASSERT_NE(next_command(), nullptr);
    host.isdn().answer(host.isdn().next_unanswered()->id, 5);
    host.settle();
    const auto &p = host.ndiswan().packets();
    EXPECT_EQ(p[0].completion, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p[1].completion, NDIS_STATUS_FAILURE);
    EXPECT_FALSE(p[2].completion.has_value());
    EXPECT_EQ(b1->State, CTX_OPEN);
    EXPECT_EQ(QueueHead(&b1->SendQueue)->Data[0], 3);
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, 0);
    turn();
    EXPECT_EQ(host.ndiswan().packets()[2].completion, NDIS_STATUS_SUCCESS);
}

TEST_F(LoopTest, FramesOverSixteenHundredBytesAreFreedWithoutCompletion) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, 0);
    PCTX b1 = connected(CTX_B1, 2);
    // The long frame carries no packet: a completion for it would reach
    // NDISWAN as a completion of nothing.
    PCHAIN_DESCR long_one = queue(b1, std::vector<std::uint8_t>(1601, 9), false);
    PCHAIN_DESCR short_one = queue(b1, {4});
    turn();
    ASSERT_EQ(commands(ISDN_CODE_SEND).size(), 1u);
    EXPECT_EQ(data_length(*commands(ISDN_CODE_SEND)[0]), 1);
    ASSERT_EQ(host.ndiswan().packets().size(), 1u);
    EXPECT_EQ(host.ndiswan().packets()[0].completion, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(host.block_live(long_one));
    EXPECT_FALSE(host.block_live(short_one));
}

TEST_F(LoopTest, FlowOffHoldsTheFramesUntilFlowOn) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, 0);
    PCTX b1 = connected(CTX_B1, 2);
    b1->XmitOff = 1;
    queue(b1, {1});
    queue(b1, {2});
    turn();
    turn();
    EXPECT_TRUE(commands(ISDN_CODE_SEND).empty());
    EXPECT_EQ(b1->State, CTX_OPEN) << "the pass ran and came back";
    b1->XmitOff = 0;
    turn();
    EXPECT_EQ(commands(ISDN_CODE_SEND).size(), 2u);
}

TEST_F(LoopTest, ClearsAreRepeatedEachTurnUntilConfirmed) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    PCTX b1 = connected(CTX_B1, 2, 0); // timed out, still connected
    PCTX b2 = connected(CTX_B2, 3);
    b2->State = CTX_CLEARING; // dropped by TAPI
    turn();
    turn();
    turn();
    auto clears = commands(ISDN_CODE_CLEAR);
    ASSERT_EQ(clears.size(), 6u);
    EXPECT_EQ(clears[0]->hcom, 2);
    EXPECT_EQ(clears[1]->hcom, 3);
    EXPECT_EQ(clears[0]->called_number, "0140506070");
    EXPECT_EQ(b1->State, CTX_OPEN);
    EXPECT_EQ(b2->State, CTX_CLEARING);
}

// A dropped call that never got a handle has no clear confirmation coming:
// the loop frees it rather than leave both channels blocked.
TEST_F(LoopTest, AClearingContextWithoutAHandleIsFreed) {
    PCTX b1 = connected(CTX_B1, 0xFF);
    b1->State = CTX_CLEARING;
    turn();
    EXPECT_EQ(b1->State, CTX_FREE);
    EXPECT_TRUE(host.isdn().commands().empty());
    EXPECT_EQ(AllocationContext(adapter), b1);
}

TEST_F(LoopTest, ReceivedFramesAreDeliveredInArrivalOrderEachWithItsCompletion) {
    ULONG l1 = link_up(connected(CTX_B1, 2)), l2 = link_up(connected(CTX_B2, 3));
    received(l2, 'a');
    received(l1, 'b');
    received(l2, 'c');
    ZolSetEvent(adapter);
    host.settle();
    const auto &r = host.ndiswan().received();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].bytes[0], 'a');
    EXPECT_EQ(r[0].link_context, l2);
    EXPECT_EQ(r[1].link_context, l1);
    EXPECT_EQ(r[2].bytes[0], 'c');
    for (auto &f : r)
        EXPECT_TRUE(f.completed);
    EXPECT_EQ(host.trace().count(TraceKind::Wan, "receive complete"), 3u);
    EXPECT_EQ(QueueHead(&adapter->RxQueue), nullptr);
    EXPECT_EQ(events(EVT_DATA_RECEIVED), 0u) << "only above trace level 70";
}

TEST_F(LoopTest, ARefusedFrameZeroesBothCountdowns) {
    PCTX b1 = connected(CTX_B1, 2), b2 = connected(CTX_B2, 3);
    ULONG link = link_up(b1);
    adapter->TraceLevel = 71;
    host.ndiswan().refuse_receives(true);
    received(link, 'a');
    ZolSetEvent(adapter);
    host.settle();
    EXPECT_EQ(b1->TimeoutCount, 0);
    EXPECT_EQ(b2->TimeoutCount, 0);
    EXPECT_FALSE(host.ndiswan().received()[0].completed);
    EXPECT_EQ(QueueHead(&adapter->RxQueue), nullptr) << "freed whatever the answer";
    ASSERT_EQ(events(EVT_DATA_RECEIVED), 1u);
    const EventEntry &e = host.event_log().entries().back();
    ASSERT_EQ(e.strings.size(), 2u);
    EXPECT_EQ(e.strings[0], "1");
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", link);
    EXPECT_EQ(e.strings[1], hex);
}

// A frame queued before its line came up, or after it went down, never
// reaches NDISWAN: it is freed and counted.
TEST_F(LoopTest, FramesOnALinkThatIsNotUpAreDroppedAndCounted) {
    PCTX b1 = connected(CTX_B1, 2);
    received(0, 'a');
    ULONG link = link_up(b1);
    received(link, 'b');
    ZolSetEvent(adapter);
    host.settle();
    ZolWanSendLineDown(adapter, b1);
    received(link, 'c');
    ZolSetEvent(adapter);
    host.settle();
    const auto &r = host.ndiswan().received();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes[0], 'b');
    EXPECT_EQ(adapter->FramesWithoutLink, 2u);
    EXPECT_EQ(QueueHead(&adapter->RxQueue), nullptr);
}

// A release on a receive thread while the general thread is inside the
// indication of the head frame: the frame in hand is the general thread's
// alone, and the release frees only the frames still queued.
TEST_F(LoopTest, AReleaseDuringADeliveryNeverFreesTheFrameInHand) {
    PCTX b1 = connected(CTX_B1, 2);
    ULONG link = link_up(b1);
    received(link, 'a');
    received(link, 'b');
    bool released = false;
    host.ndiswan().on_receive([&](const ReceivedFrame &) {
        if (!released) {
            released = true;
            KillContext(b1, 0, adapter);
        }
    });
    ZolSetEvent(adapter);
    host.settle();
    EXPECT_TRUE(released);
    ASSERT_EQ(host.ndiswan().received().size(), 1u) << "the second frame went with the release";
    EXPECT_TRUE(host.ndiswan().received()[0].completed);
    EXPECT_EQ(b1->State, CTX_FREE);
}

// A release requested while the pass is handing a frame to the ISDN driver
// is deferred to the end of the pass: the pass stops after that frame and
// the queued packets are completed with failure.
TEST_F(LoopTest, AReleaseDuringASendingPassIsCarriedOutWhenThePassEnds) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, 0);
    PCTX b1 = connected(CTX_B1, 2);
    queue(b1, {1});
    queue(b1, {2});
    queue(b1, {3});
    host.isdn().on_command([&](const IsdnCommandRecord &c) {
        if (c.code == ISDN_CODE_SEND && host.isdn().commands().size() == 1) {
            KillContext(b1, 4, adapter);
            EXPECT_EQ(b1->State, CTX_CLEARING);
        }
    });
    turn();
    host.isdn().on_command(nullptr);
    EXPECT_EQ(commands(ISDN_CODE_SEND).size(), 1u);
    EXPECT_EQ(b1->State, CTX_FREE);
    const auto &p = host.ndiswan().packets();
    EXPECT_EQ(p[0].completion, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p[1].completion, NDIS_STATUS_FAILURE);
    EXPECT_EQ(p[2].completion, NDIS_STATUS_FAILURE);
}

} // namespace tolvanex::test
