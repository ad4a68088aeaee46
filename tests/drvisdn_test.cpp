// The ISDN transport and the call-control commands, driven from a system
// thread as the driver's own threads drive them.

#include <cstring>
#include <list>

#include "driver_fixture.h"

namespace tolvanex::test {

namespace {

// One exchange made on a system thread of the test's own.
struct Exchange {
    PADAPTER adapter = nullptr;
    ISDN_DATA_CMD block{};
    ULONG length = ISDN_CMD_SIZE;
    ULONG result = 0xDEAD;
    bool done = false;
};

} // namespace
} // namespace tolvanex::test

namespace drvisdn_test {
VOID NTAPI ExchangeThread(PVOID p) {
    auto *x = static_cast<tolvanex::test::Exchange *>(p);
    x->result = SendIoControlToPimIsdn(x->adapter, &x->block, x->length);
    x->done = true;
}
} // namespace drvisdn_test

namespace tolvanex::test {

class TransportTest : public DriverTest {
  protected:
    void exchange(Exchange &x) {
        x.adapter = adapter;
        HANDLE h;
        ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, drvisdn_test::ExchangeThread, &x),
                  STATUS_SUCCESS);
        ZwClose(h);
        host.settle();
    }
    Exchange call() {
        Exchange x;
        x.block.command = ISDN_CLASS_CONTROL;
        x.block.code = ISDN_CODE_CALL;
        return x;
    }
};

TEST_F(TransportTest, RefusedBeforeTheDeviceIsOpenAndAbovePassiveLevel) {
    start();
    Exchange before = call();
    exchange(before);
    EXPECT_TRUE(before.done);
    EXPECT_EQ(before.result, 1u);
    open_isdn();
    EXPECT_TRUE(host.isdn().commands().empty());

    // At DISPATCH_LEVEL (a spin lock held), nothing reaches the ISDN driver.
    KIRQL old = KfAcquireSpinLock(&adapter->Lock.SpinLock);
    ISDN_CMD block{};
    EXPECT_EQ(SendIoControlToPimIsdn(adapter, &block, ISDN_CMD_SIZE), 1u);
    EXPECT_FALSE(ISDN_Clear(1, "123", adapter));
    KfReleaseSpinLock(&adapter->Lock.SpinLock, old);
    EXPECT_TRUE(host.isdn().commands().empty());
    host.ndis().halt();
}

TEST_F(TransportTest, APendedRequestIsWaitedForWithoutLimit) {
    start();
    open_isdn();
    Exchange x = call();
    exchange(x);
    host.run_for(seconds(3 * 3600));
    EXPECT_FALSE(x.done);
    const IsdnCommandRecord *cmd = host.isdn().next_unanswered();
    ASSERT_NE(cmd, nullptr);
    host.isdn().answer(cmd->id, 0, 9);
    host.settle();
    EXPECT_TRUE(x.done);
    EXPECT_EQ(x.result, 0u);
    EXPECT_EQ(x.block.hCom, 9);
    host.ndis().halt();
}

TEST_F(TransportTest, DriverStatusIsReturnedAsItStandsAndAFailingIoStatusGivesOne) {
    start();
    open_isdn();
    Exchange refused = call();
    exchange(refused);
    host.isdn().answer(host.isdn().next_unanswered()->id, 0x1234);
    host.settle();
    EXPECT_EQ(refused.result, 0x1234u);

    Exchange broken = call();
    exchange(broken);
    host.isdn().fail(host.isdn().next_unanswered()->id, STATUS_CANCELLED);
    host.settle();
    EXPECT_EQ(broken.result, 1u);

    host.faults().fail_nth("IoBuildDeviceIoControlRequest", host.faults().calls("IoBuildDeviceIoControlRequest") + 1);
    Exchange unbuilt = call();
    exchange(unbuilt);
    EXPECT_EQ(unbuilt.result, 1u);
    host.ndis().halt();
}

TEST_F(TransportTest, OpenRefusedAbovePassiveAndWhileTheDeviceIsAbsent) {
    start();
    EXPECT_FALSE(OpenPimIsdn(adapter));
    host.isdn().attach();
    KIRQL old = KfAcquireSpinLock(&adapter->Lock.SpinLock);
    EXPECT_FALSE(OpenPimIsdn(adapter));
    KfReleaseSpinLock(&adapter->Lock.SpinLock, old);
    EXPECT_EQ(adapter->PimIsdnDeviceObject, nullptr);
    EXPECT_EQ(host.trace().count(TraceKind::Io, "IoGetDeviceObjectPointer \\Device\\PIMISDND"), 1u);
    host.ndis().halt();
}

} // namespace tolvanex::test

namespace drvisdn_test {
// Runs one command routine on a system thread, as the driver's threads do.
struct Command {
    PADAPTER adapter;
    int which;
    PCTX ctx;
    BOOLEAN result = 2;
};
VOID NTAPI CommandThread(PVOID p) {
    auto *c = static_cast<Command *>(p);
    switch (c->which) {
    case 0: c->result = ISDN_Call(c->ctx, c->adapter); break;
    case 1: c->result = ISDN_Listen(c->adapter); break;
    case 2: c->result = ISDN_Clear(c->ctx->hCom, c->ctx->PhoneNumber, c->adapter); break;
    case 3: c->result = ISDN_Receive(c->ctx, c->adapter); break;
    case 4: c->result = ISDN_CancelListen(c->adapter); break;
    case 5: c->result = ISDN_CallResp(c->ctx, c->adapter); break;
    case 6: c->result = ISDN_ClearResp(c->ctx, c->adapter); break;
    }
}
} // namespace drvisdn_test

namespace tolvanex::test {

class CommandTest : public DriverTest {
  protected:
    void SetUp() override {
        start();
        open_isdn();
        ctx = &adapter->Ctx[CTX_B1];
        InitContext(ctx);
        ctx->Reserved = CTX_RESERVED;
    }
    void TearDown() override {
        if (!host.stopped())
            host.ndis().halt();
    }
    // The command's record outlives the call: a thread left waiting on an
    // unanswered command finishes at halt and still writes its result.
    BOOLEAN run(int which) {
        drvisdn_test::Command &c = runs.emplace_back(drvisdn_test::Command{adapter, which, ctx});
        HANDLE h;
        EXPECT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, drvisdn_test::CommandThread, &c),
                  STATUS_SUCCESS);
        host.settle();
        return c.result;
    }
    std::list<drvisdn_test::Command> runs;
    void local(const char *address, const char *sub) {
        adapter->LocalAddressLength = static_cast<UCHAR>(std::strlen(address));
        std::strcpy(adapter->LocalAddress, address);
        adapter->SubAddressLength = static_cast<UCHAR>(std::strlen(sub));
        std::strcpy(adapter->SubAddress, sub);
    }
    // The block's bytes outside the fields a command fills must be zero.
    static void expect_zero_except(const std::vector<std::uint8_t> &b, std::initializer_list<std::pair<int, int>> used) {
        for (std::size_t i = 0; i < b.size(); ++i) {
            bool inside = false;
            for (auto [from, to] : used)
                inside |= static_cast<int>(i) >= from && static_cast<int>(i) < to;
            if (!inside) {
                EXPECT_EQ(b[i], 0) << "byte " << i;
            }
        }
    }
    PCTX ctx;
};

TEST_F(CommandTest, CallBlockCarriesTheLocalAddressAndTheNumber) {
    local("0140", "*12");
    std::strcpy(ctx->PhoneNumber, "0299887766");
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CALL, 0, 11);
    EXPECT_EQ(run(0), TRUE);
    EXPECT_EQ(ctx->hCom, 11);
    const auto &b = host.isdn().commands().back().block;
    ASSERT_EQ(b.size(), ISDN_CMD_SIZE);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[1], 'A');
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&b[136])), "0140") << "no subaddress on a call";
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&b[169])), "0299887766");
    expect_zero_except(b, {{0, 2}, {136, 140}, {169, 179}});
}

TEST_F(CommandTest, AFailedCallLeavesTheHandleAsItWas) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CALL, 1, 11);
    EXPECT_EQ(run(0), FALSE);
    EXPECT_EQ(ctx->hCom, 0xFF);
}

TEST_F(CommandTest, ListenJoinsAddressAndSubaddress) {
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0, 4);
    struct Case {
        const char *address, *sub, *expected;
    };
    for (const Case &c : {Case{"", "", ""}, Case{"0140", "*12", "0140*12"}, Case{"", "*12", "*12"},
                          Case{"0140", "", "0140"}}) {
        local(c.address, c.sub);
        EXPECT_EQ(run(1), TRUE);
        const auto &b = host.isdn().commands().back().block;
        EXPECT_EQ(b[1], 1);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&b[136])), c.expected);
        expect_zero_except(b, {{0, 2}, {136, 136 + static_cast<int>(std::strlen(c.expected))}});
    }
    EXPECT_EQ(adapter->Ctx[CTX_LISTEN].hCom, 4);
    // Together longer than the field: cut, terminated, nothing past it.
    local("01234567890123456789012345678", "*1234567");
    EXPECT_EQ(run(1), TRUE);
    const auto &b = host.isdn().commands().back().block;
    EXPECT_EQ(b[168], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&b[136])).size(), 32u);
}

TEST_F(CommandTest, HandleChecksSendNothing) {
    ctx->hCom = 0;
    EXPECT_EQ(run(2), FALSE);
    ctx->hCom = 17;
    EXPECT_EQ(run(2), FALSE);
    EXPECT_EQ(run(5), FALSE);
    EXPECT_EQ(run(6), FALSE);
    adapter->Ctx[CTX_LISTEN].hCom = 0xFF;
    EXPECT_EQ(run(4), FALSE);
    adapter->Ctx[CTX_LISTEN].hCom = 0;
    EXPECT_EQ(run(4), FALSE);
    EXPECT_TRUE(host.isdn().commands().empty());
    EXPECT_EQ(run(3), TRUE) << "no read without a valid handle, and no failure";
    EXPECT_EQ(host.isdn().reads_issued(), 0u);
}

TEST_F(CommandTest, AThirtyTwoCharacterNumberEndsAtByte201AndLeavesCauseAlone) {
    std::strcpy(ctx->PhoneNumber, "01234567890123456789012345678901");
    ctx->hCom = 16;
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
    EXPECT_EQ(run(2), TRUE);
    const auto &b = host.isdn().commands().back().block;
    EXPECT_EQ(b[6], 16);
    EXPECT_EQ(b[200], '1');
    EXPECT_EQ(b[201], 0);
    EXPECT_EQ(b[202], 0);
}

TEST_F(CommandTest, CancelListenEndsTheListenOnlyWhenAccepted) {
    adapter->Ctx[CTX_LISTEN].hCom = 4;
    host.isdn().auto_answer(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, 9);
    EXPECT_EQ(run(4), FALSE);
    EXPECT_EQ(adapter->Ctx[CTX_LISTEN].hCom, 4);
    host.isdn().clear_rules();
    host.isdn().auto_answer(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, 0);
    EXPECT_EQ(run(4), TRUE);
    EXPECT_EQ(adapter->Ctx[CTX_LISTEN].hCom, 0);
    EXPECT_EQ(host.isdn().commands().back().block[0], 6);
}

using AnalyseTest = CommandTest;

TEST_F(AnalyseTest, EachMessageCodeDoesItsPart) {
    ctx->hCom = 3;
    host.isdn().queue_message(3, IsdnMessage{.code = APP_FLOW_OFF});
    EXPECT_EQ(run(3), TRUE);
    EXPECT_EQ(ctx->XmitOff, 1);
    host.isdn().queue_message(3, IsdnMessage{.code = APP_FLOW_ON});
    run(3);
    EXPECT_EQ(ctx->XmitOff, 0);
    const auto &rd = host.isdn();
    EXPECT_EQ(rd.reads_issued(), 2u);

    for (std::uint8_t code : {std::uint8_t{0}, std::uint8_t{0x55}}) {
        host.isdn().queue_message(3, IsdnMessage{.code = code});
        EXPECT_EQ(run(3), TRUE) << "ignored, not a failure";
    }
    EXPECT_EQ(ctx->XmitOff, 0);

    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR_RESP, 0);
    std::size_t before = host.event_log().entries().size();
    for (std::uint8_t code : {APP_CONN_CO, APP_CLEAR_IN, APP_CLEAR_CO}) {
        host.isdn().queue_message(3, IsdnMessage{.code = code, .cause = 0x10});
        run(3);
    }
    const auto &log = host.event_log().entries();
    ASSERT_EQ(log.size(), before + 3);
    EXPECT_EQ(log[before].id, EVT_CONN_CO);
    EXPECT_EQ(log[before + 1].id, EVT_CLEAR_IN);
    EXPECT_EQ(log[before + 2].id, EVT_CLEAR_CO);
    EXPECT_EQ(log[before].section, 1u);
}

TEST_F(AnalyseTest, AConnectionIndicationUsesUpTheListen) {
    PCTX listen = &adapter->Ctx[CTX_LISTEN];
    listen->hCom = 4;
    ctx = listen;
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0); // no open line: refused
    host.isdn().queue_message(4, IsdnMessage{.code = APP_CONN_IN, .handle = 8,
                                             .number = "01234567890123456789012345678901"});
    EXPECT_EQ(run(3), TRUE);
    EXPECT_EQ(listen->hCom, 0xFF);
    EXPECT_EQ(adapter->ListenRequest, 1);
    EXPECT_EQ(events(EVT_CONN_IN), 1u);
}

TEST_F(AnalyseTest, AFailedReadIsReportedAndNothingIsAnalysed) {
    ctx->hCom = 3;
    host.isdn().queue_message(3, IsdnMessage{.code = APP_FLOW_OFF, .status = 2});
    EXPECT_EQ(run(3), FALSE);
    EXPECT_EQ(ctx->XmitOff, 0);
    EXPECT_EQ(ctx->RcvCmd.command, ISDN_CLASS_READ);
}

TEST_F(AnalyseTest, BelowTraceLevelTwoNoEventIsRaised) {
    adapter->TraceLevel = 1;
    ctx->hCom = 3;
    std::size_t before = host.event_log().entries().size();
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CONN_CO});
    run(3);
    EXPECT_EQ(host.event_log().entries().size(), before);
}

TEST_F(CommandTest, ASendExchangesTheWholeDataFormWithItsLength) {
    ctx->hCom = 5;
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_SEND, 0);
    std::vector<UCHAR> frame(1600, 0x7E);
    struct Send {
        PCTX ctx;
        PADAPTER adapter;
        UCHAR *data;
        BOOLEAN ok = 2;
    } s{ctx, adapter, frame.data()};
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(
                  &h, 0, nullptr, nullptr, nullptr,
                  [](PVOID p) {
                      auto *s = static_cast<Send *>(p);
                      s->ok = ISDN_Send(s->ctx, s->adapter, s->data, 1600);
                  },
                  &s),
              STATUS_SUCCESS);
    host.settle();
    EXPECT_EQ(s.ok, TRUE);
    const auto &b = host.isdn().commands().back().block;
    ASSERT_EQ(b.size(), ISDN_DATA_CMD_SIZE);
    EXPECT_EQ(b[1], 'Z');
    EXPECT_EQ(b[204] | (b[205] << 8), 1600);
    EXPECT_EQ(b[206 + 1599], 0x7E);
    EXPECT_EQ(b[206 + 1600], 0);
}

} // namespace tolvanex::test
