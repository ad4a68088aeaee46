// Buffer chains and the life of a channel context.

#include "driver_fixture.h"

namespace tolvanex::test {

class ChainTest : public DriverTest {
  protected:
    void SetUp() override { start(); }
    void TearDown() override {
        if (!host.stopped())
            host.ndis().halt();
    }
    PCHAIN_DESCR frame(std::uint8_t tag, USHORT capacity = 8) {
        PCHAIN_DESCR d = AllocChainDescr(adapter, capacity);
        EXPECT_NE(d, nullptr);
        d->Data[0] = tag;
        d->Length = 1;
        d->WanPacket = nullptr; // set by the path that uses a descriptor
        d->Flink = d->Blink = d;
        return d;
    }
    void append(PCHAIN_QUEUE q, PCHAIN_DESCR d) {
        AcquireSpinLock(&adapter->Lock);
        ChainAdd(adapter, q->Blink, d);
        ReleaseSpinLock(&adapter->Lock);
    }
    std::string tags(PCHAIN_QUEUE q) {
        std::string out;
        for (PCHAIN_DESCR d = q->Flink; d != reinterpret_cast<PCHAIN_DESCR>(q); d = d->Flink)
            out += static_cast<char>(d->Data[0]);
        return out;
    }
};

TEST_F(ChainTest, QueuesAreFirstInFirstOutAndRemovalFromTheMiddleKeepsTheRest) {
    CHAIN_QUEUE q;
    InitChainQueue(&q);
    EXPECT_EQ(QueueHead(&q), nullptr);
    PCHAIN_DESCR a = frame('a'), b = frame('b'), c = frame('c');
    append(&q, a);
    append(&q, b);
    append(&q, c);
    EXPECT_EQ(tags(&q), "abc");
    EXPECT_EQ(q.Blink, c);
    ChainRemove(adapter, b);
    EXPECT_EQ(tags(&q), "ac");
    EXPECT_EQ(b->Flink, b) << "a removed descriptor points to itself";
    EXPECT_EQ(b->Blink, b);
    ChainRemove(adapter, b); // a second removal changes nothing
    EXPECT_EQ(tags(&q), "ac");
    EXPECT_EQ(ChainRemoveHead(adapter, &q), a);
    EXPECT_EQ(tags(&q), "c");
    for (PCHAIN_DESCR d : {a, b, c}) {
        if (d == c)
            ChainRemove(adapter, c);
        EXPECT_TRUE(FreeChainDescr(adapter, d));
    }
    EXPECT_EQ(QueueHead(&q), nullptr);
}

TEST_F(ChainTest, AllocationCountsTheHeaderAndPutsTheDataRightAfterIt) {
    ULONG in_use = adapter->DescrInUse;
    PCHAIN_DESCR d = AllocChainDescr(adapter, 2048);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(adapter->DescrInUse, in_use + 1);
    EXPECT_EQ(d->AllocSize, sizeof(CHAIN_DESCR) + 2048);
    EXPECT_EQ(d->Data, reinterpret_cast<PUCHAR>(d) + sizeof(CHAIN_DESCR));
    EXPECT_EQ(d->Signature, reinterpret_cast<ULONG_PTR>(d));
    EXPECT_EQ(d->Length, 0);
    EXPECT_TRUE(host.block_live(d));
    EXPECT_EQ(host.block_length(d), sizeof(CHAIN_DESCR) + 2048);
    EXPECT_TRUE(FreeChainDescr(adapter, d));
    EXPECT_EQ(adapter->DescrInUse, in_use);
    host.faults().fail_nth("NdisAllocateMemory", host.faults().calls("NdisAllocateMemory") + 1);
    EXPECT_EQ(AllocChainDescr(adapter, 16), nullptr);
    EXPECT_EQ(adapter->DescrInUse, in_use) << "a failed allocation counts nothing";
}

TEST_F(ChainTest, ARefusedReleaseFreesNothing) {
    EXPECT_TRUE(FreeChainDescr(adapter, nullptr));
    // Not a live descriptor: a block whose signature is not its address.
    alignas(CHAIN_DESCR) unsigned char fake[sizeof(CHAIN_DESCR)] = {};
    auto *d = reinterpret_cast<PCHAIN_DESCR>(fake);
    EXPECT_FALSE(FreeChainDescr(adapter, d));
    EXPECT_EQ(d->Signature, ~static_cast<ULONG_PTR>(0)) << "a zero signature is marked all ones";
    EXPECT_FALSE(FreeChainDescr(adapter, d));
    EXPECT_EQ(d->Signature, ~static_cast<ULONG_PTR>(0));
    std::size_t live = host.live_blocks();
    d->Signature = 0x1234;
    EXPECT_FALSE(FreeChainDescr(adapter, d));
    EXPECT_EQ(d->Signature, 0x1234u) << "any other signature is left alone";
    EXPECT_EQ(host.live_blocks(), live);
    EXPECT_EQ(adapter->DescrInUse, 0u) << "a refused release uncounts nothing";
}

using ContextTest = ChainTest;

TEST_F(ContextTest, AllocationTakesB1ThenB2AndNeverTheListenContext) {
    PCTX first = AllocationContext(adapter);
    PCTX second = AllocationContext(adapter);
    EXPECT_EQ(first, &adapter->Ctx[CTX_B1]);
    EXPECT_EQ(second, &adapter->Ctx[CTX_B2]);
    EXPECT_EQ(AllocationContext(adapter), nullptr);
    EXPECT_EQ(first->State, CTX_FREE);
    EXPECT_EQ(first->hCom, 0xFF);
    EXPECT_EQ(first->RxState, 2);
    EXPECT_EQ(QueueHead(&first->SendQueue), nullptr);
    EXPECT_EQ(first->LinkInfo.MaxSendFrameSize, 1500u);
    EXPECT_EQ(first->LinkInfo.MaxRecvFrameSize, 1500u);
    EXPECT_EQ(first->LinkInfo.SendFramingBits, 0x700u);
    EXPECT_EQ(first->LinkInfo.RecvFramingBits, 0x700u);
    EXPECT_EQ(first->LinkInfo.SendACCM, 0u);
    KillContext(first, 0, adapter);
    EXPECT_EQ(AllocationContext(adapter), first) << "a released context is allocated again";
    KillContext(first, 0, adapter);
    KillContext(second, 0, adapter);
}

// An incoming call's context stays CTX_FREE until its connection is
// confirmed; a call arriving in that interval must not be given it.
TEST_F(ContextTest, AContextWaitingForItsConnectionIsNotHandedOutAgain) {
    PCTX incoming = AllocContext(adapter, &adapter->Gateway[0]);
    ASSERT_NE(incoming, nullptr);
    incoming->hCom = 7;
    EXPECT_EQ(incoming->State, CTX_FREE);
    PCTX outgoing = AllocContext(adapter, &adapter->Gateway[1]);
    EXPECT_EQ(outgoing, &adapter->Ctx[CTX_B2]);
    EXPECT_EQ(incoming->hCom, 7) << "the first call's context was not re-initialised";
    // Given up before it connected, the reservation goes with it.
    KillContext(incoming, 0, adapter);
    EXPECT_EQ(AllocationContext(adapter), incoming);
}

TEST_F(ContextTest, AllocationCopiesTheGatewayLeadingFields) {
    PGATEWAY g = &adapter->Gateway[1];
    g->htLine = 0x7100;
    g->htCall = 0x7C01;
    g->DeviceID = 4;
    std::strcpy(g->PhoneNumber, "0123456789");
    g->PhoneNumberLength = 10;
    g->Timeout = 77;
    g->Usage = USAGE_CLIENT;
    PCTX c = AllocContext(adapter, g);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->htLine, 0x7100u);
    EXPECT_EQ(c->htCall, 0x7C01u);
    EXPECT_EQ(c->DeviceID, 4u);
    EXPECT_STREQ(c->PhoneNumber, "0123456789");
    EXPECT_EQ(c->PhoneNumberLength, 10);
    EXPECT_EQ(c->Timeout, 77);
    KillContext(c, 0, adapter);
}

TEST_F(ContextTest, ReleaseCompletesQueuedPacketsInOrderAndEmptiesTheWholeReceiveQueue) {
    PCTX b1 = AllocationContext(adapter), b2 = AllocationContext(adapter);
    b2->State = CTX_OPEN;
    for (std::uint8_t tag : {'x', 'y', 'z'}) {
        PCHAIN_DESCR d = frame(tag);
        d->WanPacket = host.ndiswan().pend_packet(0x51, {tag});
        append(&b2->SendQueue, d);
    }
    append(&adapter->RxQueue, frame('1')); // received on B1
    append(&adapter->RxQueue, frame('2'));
    b2->RxDescr[0] = frame('r');
    KillContext(b2, 4, adapter);
    EXPECT_EQ(b2->State, CTX_FREE);
    EXPECT_EQ(QueueHead(&b2->SendQueue), nullptr);
    EXPECT_EQ(QueueHead(&adapter->RxQueue), nullptr) << "frames received on B1 are discarded too";
    EXPECT_EQ(b2->RxDescr[0], nullptr);
    const auto &packets = host.ndiswan().packets();
    ASSERT_EQ(packets.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(packets[i].completion, NDIS_STATUS_FAILURE);
    }
    auto completions = host.trace().find(TraceKind::Wan, "send complete");
    ASSERT_EQ(completions.size(), 3u);
    EXPECT_EQ(completions[0]->number("packet"), 1);
    EXPECT_EQ(completions[2]->number("packet"), 3);
    EXPECT_EQ(completions[0]->field("status")->text, "NDIS_STATUS_FAILURE");
    KillContext(b2, 4, adapter); // already free: nothing
    KillContext(b1, 0, adapter);
}

TEST_F(ContextTest, ReleaseDuringASendingPassIsDeferred) {
    PCTX c = AllocationContext(adapter);
    c->State = CTX_OPEN_SENDING_DATA;
    append(&c->SendQueue, frame('a'));
    KillContext(c, 4, adapter);
    EXPECT_EQ(c->State, CTX_CLEARING);
    EXPECT_EQ(c->KillReason, 4u);
    EXPECT_NE(QueueHead(&c->SendQueue), nullptr) << "nothing released under the pass's feet";
    c->State = CTX_OPEN;
    KillContext(c, c->KillReason, adapter);
    EXPECT_EQ(c->State, CTX_FREE);
}

} // namespace tolvanex::test
