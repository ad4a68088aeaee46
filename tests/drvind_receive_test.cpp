// The receive threads and the handlers of what they read.

#include "driver_fixture.h"

namespace tolvanex::test {

class ReceiveTest : public DriverTest {
  protected:
    void SetUp() override {
        start();
        open_isdn();
        host.run_for(seconds(5)); // past the receive threads' first wait
    }
    void TearDown() override {
        if (host.stopped())
            return;
        host.ndis().halt();
    }
    PCTX call_on(int index, UCHAR hCom, USHORT state = CTX_OPEN) {
        PCTX c = &adapter->Ctx[index];
        InitContext(c);
        c->Reserved = CTX_RESERVED;
        c->pGway = &adapter->Gateway[index];
        c->Timeout = 100;
        c->TimeoutCount = 50;
        c->State = state;
        SharedWrite(c->hCom, hCom);
        return c;
    }
    std::size_t reads_on(std::uint8_t handle) {
        return host.trace().count(TraceKind::Isdn, "read hCom " + std::to_string(handle) + " pending");
    }
};

TEST_F(ReceiveTest, NoReadWithoutAValidHandleAndBackToBackReadsWithOne) {
    host.run_for(seconds(10));
    EXPECT_EQ(host.isdn().reads_issued(), 0u);
    PCTX b1 = call_on(CTX_B1, 3);
    host.run_for(seconds(1));
    EXPECT_EQ(host.isdn().pending_reads(3), 1u);
    EXPECT_NE(b1->RxDescr[0], nullptr) << "both slots filled before the read";
    EXPECT_NE(b1->RxDescr[1], nullptr);
    EXPECT_EQ(b1->RxState, 1);
    Ticks at = host.now();
    host.isdn().queue_message(3, IsdnMessage{.code = APP_FLOW_OFF});
    host.settle();
    EXPECT_EQ(host.now(), at) << "the next read follows at once";
    EXPECT_EQ(b1->XmitOff, 1);
    EXPECT_EQ(host.isdn().pending_reads(3), 1u);
    EXPECT_EQ(host.isdn().reads_issued(), 2u);
}

TEST_F(ReceiveTest, AFailedReadWaitsASecond) {
    PCTX b2 = call_on(CTX_B2, 4);
    host.run_for(seconds(1));
    host.isdn().queue_message(4, IsdnMessage{.code = APP_DATA_IN, .status = 7});
    host.settle();
    EXPECT_EQ(host.isdn().pending_reads(4), 0u);
    host.run_for(millis(999));
    EXPECT_EQ(host.isdn().pending_reads(4), 0u);
    host.run_for(millis(1));
    EXPECT_EQ(host.isdn().pending_reads(4), 1u);
    EXPECT_EQ(b2->State, CTX_OPEN) << "a failed read changes nothing";
    EXPECT_EQ(b2->hCom, 4);
}

TEST_F(ReceiveTest, DataIsDeliveredAndTheSlotRefilledBeforeTheNextRead) {
    PCTX b1 = call_on(CTX_B1, 3);
    ZolWanSendLineUp(adapter, b1);
    host.run_for(seconds(1));
    PCHAIN_DESCR first = b1->RxDescr[0];
    ASSERT_NE(first, nullptr);
    host.isdn().queue_message(3, IsdnMessage{.code = APP_DATA_IN, .data = {0xFF, 0x03, 0xC0, 0x21}});
    host.settle();
    ASSERT_EQ(host.ndiswan().received().size(), 1u);
    EXPECT_EQ(host.ndiswan().received()[0].bytes, (std::vector<std::uint8_t>{0xFF, 0x03, 0xC0, 0x21}));
    EXPECT_EQ(host.ndiswan().received()[0].link_context, b1->NdisLinkContext);
    EXPECT_NE(b1->RxDescr[0], nullptr) << "refilled before the next read";
    EXPECT_LE(b1->TimeoutCount, 50) << "a received frame does not reload the countdown";
}

TEST_F(ReceiveTest, WithBothSlotsEmptyAFrameIsDroppedAndTheCallTimesOut) {
    PCTX b1 = call_on(CTX_B1, 3);
    ZolWanSendLineUp(adapter, b1);
    host.run_for(seconds(1));
    host.faults().fail_every("NdisAllocateMemory");
    for (std::uint8_t tag : {1, 2, 3}) {
        host.isdn().queue_message(3, IsdnMessage{.code = APP_DATA_IN, .data = {tag}});
        host.settle();
    }
    host.faults().clear();
    ASSERT_EQ(host.ndiswan().received().size(), 2u);
    EXPECT_EQ(host.ndiswan().received()[1].bytes[0], 2);
    EXPECT_EQ(b1->TimeoutCount, 0);
}

TEST_F(ReceiveTest, AFrameLongerThanTheReadOfferedIsDropped) {
    PCTX b1 = call_on(CTX_B1, 3);
    ZolWanSendLineUp(adapter, b1);
    host.run_for(seconds(1));
    host.isdn().on_command(nullptr);
    // The scripted driver cuts data to the room; forge the length instead.
    ISDN_DATA_CMD block{};
    block.code = APP_DATA_IN;
    block.data_length = 2049;
    AnalyseRcv(b1, adapter, &block);
    EXPECT_EQ(QueueHead(&adapter->RxQueue), nullptr);
    EXPECT_NE(b1->TimeoutCount, 0) << "dropped, not timed out";
}

TEST_F(ReceiveTest, IncomingCallsAreRefusedWithTheirOwnHandleAndNumber) {
    PCTX listen = &adapter->Ctx[CTX_LISTEN];
    SharedWrite(listen->hCom, 1);
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    host.run_for(seconds(1));
    // No open line at all.
    host.isdn().queue_message(1, IsdnMessage{.code = APP_CONN_IN, .handle = 9, .number = "0140506070"});
    host.settle();
    ASSERT_EQ(host.isdn().commands().size(), 2u);
    EXPECT_EQ(host.isdn().commands()[1].code, ISDN_CODE_LISTEN) << "the used-up listen is renewed";
    EXPECT_EQ(host.isdn().commands()[0].code, ISDN_CODE_CLEAR);
    EXPECT_EQ(host.isdn().commands()[0].hcom, 9);
    EXPECT_EQ(host.isdn().commands()[0].called_number, "0140506070");
    EXPECT_EQ(listen->hCom, 0xFF);
    EXPECT_EQ(adapter->ListenRequest, 1);
}

} // namespace tolvanex::test
