// Each ISDN command when the block for it cannot be allocated: the command is
// not sent, nothing leaks, and the call goes on as the refused command leaves
// it (a send fails its packet, a clear is retried by the next pass).

#include "driver_fixture.h"
#include "host_ndis.h"

namespace tolvanex::test {

class OutOfMemoryTest : public DriverTest {
  protected:
    // The calm order: the allocation that fails is the next one the driver
    // makes, not another thread's.
    OutOfMemoryTest() : DriverTest(HostOptions{}) {}
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(open_listening_line(nullptr, &hdline));
    }
    void TearDown() override {
        if (!host.stopped())
            host.ndis().halt(); // the verifier's leak check runs here
    }

    // The driver's next allocation fails.
    void fail_next_allocation() {
        host.faults().fail_nth("NdisAllocateMemory", host.faults().calls("NdisAllocateMemory") + 1);
    }
    std::size_t sent(std::uint8_t code) {
        std::size_t n = 0;
        for (auto &c : host.isdn().commands())
            n += c.command == ISDN_CLASS_CONTROL && c.code == code;
        return n;
    }
    std::size_t cancels() {
        std::size_t n = 0;
        for (auto &c : host.isdn().commands())
            n += c.command == ISDN_CLASS_CANCEL;
        return n;
    }
    std::size_t injected() { return host.faults().injected().size(); }

    // An outgoing call on handle 3, connected, its link up.
    HDRV_CALL connected_call() {
        HDRV_CALL hdcall = 0;
        EXPECT_EQ(host.ras().make_call(hdline, "0140506070", &hdcall).status, NDIS_STATUS_SUCCESS);
        const IsdnCommandRecord *call = next_command();
        EXPECT_NE(call, nullptr);
        if (call)
            host.isdn().answer(call->id, 0, 3);
        host.run_for(seconds(1));
        host.isdn().queue_message(3, IsdnMessage{.code = APP_CONN_CO});
        host.settle();
        EXPECT_EQ(host.ndiswan().links().size(), 1u);
        return hdcall;
    }

    HDRV_LINE hdline = 0;
};

TEST_F(OutOfMemoryTest, ACallWhoseBlockIsRefusedIsNotPlacedAndTimesOut) {
    HDRV_CALL hdcall = 0;
    ASSERT_EQ(host.ras().make_call(hdline, "0140506070", &hdcall).status, NDIS_STATUS_SUCCESS);
    fail_next_allocation();
    host.run_for(seconds(2));
    EXPECT_EQ(injected(), 1u);
    EXPECT_EQ(sent(ISDN_CODE_CALL), 0u);
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_CALLING) << "placed as far as the driver knows, with no handle";
    EXPECT_FALSE(ValidHandle(adapter->Ctx[CTX_B1].hCom));
}

TEST_F(OutOfMemoryTest, AnIncomingCallWhoseResponseIsRefusedKeepsItsContextReserved) {
    host.isdn().queue_message(1, IsdnMessage{.code = APP_CONN_IN, .handle = 5, .number = "0299887766"});
    fail_next_allocation();
    host.settle();
    host.run_for(seconds(1));
    EXPECT_EQ(injected(), 1u);
    EXPECT_EQ(sent(ISDN_CODE_CALL_RESP), 0u);
    EXPECT_EQ(adapter->Ctx[CTX_B1].hCom, 5) << "the clearing that follows on the handle releases it";
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR_RESP, 0);
    host.isdn().queue_message(5, IsdnMessage{.code = APP_CLEAR_CO});
    host.settle();
    host.run_for(seconds(1));
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_FREE);
}

TEST_F(OutOfMemoryTest, AClearWhoseBlockIsRefusedIsSentByALaterPass) {
    HDRV_CALL hdcall = connected_call();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    ASSERT_EQ(host.ras().drop(hdcall).status, NDIS_STATUS_SUCCESS);
    fail_next_allocation();
    host.run_for(seconds(1) + millis(500));
    EXPECT_EQ(injected(), 1u);
    std::size_t after_refusal = sent(ISDN_CODE_CLEAR);
    host.run_for(seconds(2));
    EXPECT_GT(sent(ISDN_CODE_CLEAR), after_refusal) << "the clearing context asks again";
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CLEAR_CO});
    host.settle();
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_FREE);
}

TEST_F(OutOfMemoryTest, AClearResponseWhoseBlockIsRefusedIsNotSent) {
    connected_call();
    fail_next_allocation();
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CLEAR_IN, .cause = 16});
    host.settle();
    EXPECT_EQ(injected(), 1u);
    EXPECT_EQ(sent(ISDN_CODE_CLEAR_RESP), 0u);
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CLEAR_CO});
    host.settle();
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_FREE) << "the confirmation releases the call all the same";
}

TEST_F(OutOfMemoryTest, AFrameWhoseBlockIsRefusedFailsItsPacket) {
    connected_call();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, 0);
    const LinkRecord link = host.ndiswan().links()[0];
    std::uint64_t first = host.ndiswan().send(link.link_handle, {0xFF, 0x03, 1});
    ASSERT_EQ(host.ndiswan().packets()[first - 1].send_status, NDIS_STATUS_PENDING);
    fail_next_allocation();
    host.settle();
    host.run_for(seconds(1));
    EXPECT_EQ(injected(), 1u);
    EXPECT_EQ(host.ndiswan().packets()[first - 1].completion, NDIS_STATUS_FAILURE);
    EXPECT_EQ(sent(ISDN_CODE_SEND), 0u);
    std::uint64_t second = host.ndiswan().send(link.link_handle, {0xFF, 0x03, 2});
    host.settle();
    host.run_for(seconds(1));
    EXPECT_EQ(host.ndiswan().packets()[second - 1].completion, NDIS_STATUS_SUCCESS) << "the next frame goes";
}

TEST_F(OutOfMemoryTest, ACancelWhoseBlockIsRefusedLeavesTheListenAsItWas) {
    std::size_t cancelled = cancels();
    host.registry().set_dword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Parameters",
                              "Timeout", 30);
    adapter->ReconfigRequest = 1;
    fail_next_allocation();
    host.run_for(seconds(2));
    EXPECT_EQ(injected(), 1u);
    EXPECT_EQ(cancels(), cancelled);
    EXPECT_EQ(adapter->Ctx[CTX_LISTEN].hCom, 1) << "the listen stays placed";
}

TEST_F(OutOfMemoryTest, AListenWhoseBlockIsRefusedIsPlacedOnALaterTurn) {
    std::size_t listens = sent(ISDN_CODE_LISTEN);
    std::size_t cancelled = cancels();
    // A new listen cancels the one in place, then places its own; the
    // refused one is tried again once the retry wait has run down.
    adapter->ListenRequest = 1;
    host.faults().fail_nth("NdisAllocateMemory", host.faults().calls("NdisAllocateMemory") + 2);
    host.run_for(seconds(5));
    EXPECT_EQ(injected(), 1u);
    EXPECT_EQ(cancels(), cancelled + 1) << "a listen that holds no handle has nothing to cancel";
    EXPECT_EQ(sent(ISDN_CODE_LISTEN), listens + 1);
    EXPECT_TRUE(ValidHandle(adapter->Ctx[CTX_LISTEN].hCom)) << "the retried listen holds a handle";
}

} // namespace tolvanex::test
