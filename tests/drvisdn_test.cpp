// The ISDN transport and the call-control commands, driven from a system
// thread as the driver's own threads drive them.

#include <cstring>

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
