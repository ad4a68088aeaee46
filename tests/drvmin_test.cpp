// Driver entry and the adapter's life: registration, initialisation, halt,
// reset.

#include "driver_fixture.h"

namespace tolvanex::test {

using DriverEntryTest = DriverTest;
using InitializeTest = DriverTest;
using HaltTest = DriverTest;
using ResetTest = DriverTest;

TEST_F(DriverEntryTest, RegistersAnNdis30WanMiniportWithItsHandlerTable) {
    ASSERT_EQ(host.ndis().load(DriverEntry), STATUS_SUCCESS);
    const NDIS_MINIPORT_CHARACTERISTICS &c = host.ndis().characteristics();
    EXPECT_EQ(c.MajorNdisVersion, 3);
    EXPECT_EQ(c.MinorNdisVersion, 0);
    EXPECT_EQ(c.Reserved, static_cast<UINT>(NDIS_USE_WAN_WRAPPER));
    EXPECT_EQ(host.ndis().characteristics_length(), sizeof(NDIS_MINIPORT_CHARACTERISTICS));
    EXPECT_EQ(c.CheckForHangHandler, &ZolCheckForHang);
    EXPECT_EQ(c.HaltHandler, &ZolHalt);
    EXPECT_EQ(c.InitializeHandler, &ZolInitialize);
    EXPECT_EQ(c.QueryInformationHandler, &ZolQueryInformation);
    EXPECT_EQ(c.ReconfigureHandler, &ZolReconfigure);
    EXPECT_EQ(c.ResetHandler, &ZolReset);
    EXPECT_EQ(c.WanSendHandler, &ZolSend);
    EXPECT_EQ(c.SetInformationHandler, &ZolSetInformation);
    EXPECT_EQ(c.WanTransferDataHandler, &ZolTransferData);
    EXPECT_EQ(c.DisableInterruptHandler, nullptr);
    EXPECT_EQ(c.EnableInterruptHandler, nullptr);
    EXPECT_EQ(c.HandleInterruptHandler, nullptr);
    EXPECT_EQ(c.ISRHandler, nullptr);
}

TEST_F(DriverEntryTest, AnswersUnsuccessfulWhenRegistrationIsRefused) {
    host.faults().fail_nth("NdisMRegisterMiniport", 1);
    EXPECT_EQ(host.ndis().load(DriverEntry), static_cast<NTSTATUS>(0xC0000001));
    EXPECT_FALSE(host.ndis().registered());
}

TEST_F(InitializeTest, SelectsTheFirstWanMediumAndRefusesArraysWithout) {
    configure_linkage();
    ASSERT_EQ(host.ndis().load(DriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(host.ndis().initialize({}), NDIS_STATUS_UNSUPPORTED_MEDIA);
    EXPECT_EQ(host.ndis().initialize({NdisMedium802_3, NdisMedium802_5}), NDIS_STATUS_UNSUPPORTED_MEDIA);
    EXPECT_EQ(host.allocations(), 0u) << "nothing is allocated before the medium is found";
    UINT selected = 0;
    ASSERT_EQ(host.ndis().initialize({NdisMedium802_3, NdisMediumFddi, NdisMediumWan, NdisMediumDix, NdisMediumWan},
                                     &selected),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(selected, 2u);
    host.ndis().halt();
}

TEST_F(InitializeTest, AllocationFailureAnswersResources) {
    ASSERT_EQ(host.ndis().load(DriverEntry), STATUS_SUCCESS);
    host.faults().fail_nth("NdisAllocateMemory", 1);
    EXPECT_EQ(host.ndis().initialize(), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(host.live_blocks(), 0u);
}

TEST_F(InitializeTest, ArmsTheSupervisionTimerForOneSecondAfterTheThreads) {
    start();
    EXPECT_TRUE(host.timer_armed(&adapter->Timer));
    EXPECT_EQ(host.next_deadline(), millis(1000));
    // The order of the steps: attributes, threads, then the timer.
    const auto &r = host.trace().records();
    auto at = [&](std::string_view needle) {
        for (std::size_t i = 0; i < r.size(); ++i)
            if (r[i].text().find(needle) != std::string::npos)
                return i;
        return r.size();
    };
    EXPECT_LT(at("NdisMSetAttributes"), at("PsCreateSystemThread GeneralThread"));
    EXPECT_LT(at("PsCreateSystemThread GeneralThread"), at("PsCreateSystemThread ThreadReceiveB1"));
    EXPECT_LT(at("PsCreateSystemThread ThreadReceiveB1"), at("PsCreateSystemThread ThreadReceiveB2"));
    EXPECT_LT(at("PsCreateSystemThread ThreadReceiveB2"), at("PsCreateSystemThread ThreadListen"));
    host.ndis().halt();
}

TEST_F(InitializeTest, ThreadCreationFailureStillSucceedsAndStopsThePartialThreads) {
    configure_linkage();
    ASSERT_EQ(host.ndis().load(DriverEntry), STATUS_SUCCESS);
    host.faults().fail_nth("PsCreateSystemThread", 3);
    ASSERT_EQ(host.ndis().initialize(), NDIS_STATUS_SUCCESS);
    adapter = pGlobal_Adapter;
    EXPECT_EQ(adapter->ThreadsCreated, 0);
    EXPECT_TRUE(host.timer_armed(&adapter->Timer));
    for (auto &name : host.driver_threads_alive())
        ADD_FAILURE() << name << " was not stopped at once";
    host.run_for(seconds(30));
    EXPECT_TRUE(host.timer_armed(&adapter->Timer)) << "the supervision timer goes on without the threads";
    host.ndis().halt();
}

TEST_F(HaltTest, CancelsTheTimerStopsTheThreadsAndFreesEverything) {
    start();
    host.run_for(seconds(5));
    host.ndis().halt(); // the verifier's teardown rules run here
    EXPECT_FALSE(host.timer_armed(&adapter->Timer));
    EXPECT_EQ(loopGeneralThread, 0);
    EXPECT_EQ(loopThreadReceiveB1, 0);
    EXPECT_EQ(loopThreadReceiveB2, 0);
    EXPECT_EQ(loopThreadListen, 0);
    EXPECT_EQ(host.live_blocks(), 0u);
    EXPECT_TRUE(host.isdn().commands().empty()) << "halt sends nothing to the ISDN driver";
}

TEST_F(HaltTest, EndsACommandTheIsdnDriverStillHolds) {
    start();
    open_isdn();
    adapter->ListenRequest = 1;
    const IsdnCommandRecord *listen = next_command();
    ASSERT_NE(listen, nullptr);
    EXPECT_EQ(listen->code, ISDN_CODE_LISTEN);
    // The general thread waits for an answer that never comes: halt lets go
    // of the ISDN driver, which ends the command, and the thread ends.
    host.ndis().halt();
    EXPECT_EQ(host.isdn().clients(), 0);
}

// Halt at any moment of the start-up, under the randomised schedules: the
// device absent, being opened, or holding a listen command.
TEST(HaltUnderSeeds, TeardownHoldsWhereverHaltComes) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        Host host(HostOptions{.seed = seed});
        host.registry().set_multi_sz("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Linkage",
                                     "Export", {"\\Device\\Tolvanex"});
        ASSERT_EQ(host.ndis().load(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(host.ndis().initialize(), NDIS_STATUS_SUCCESS);
        host.run_for(millis(static_cast<Ticks>(seed * 997 % 15000)));
        if (seed % 2)
            host.isdn().attach();
        host.run_for(millis(static_cast<Ticks>(seed * 331 % 3000)));
        pGlobal_Adapter->ListenRequest = 1;
        host.run_for(millis(static_cast<Ticks>(seed * 17 % 1500)));
        ASSERT_NO_THROW(host.ndis().halt()) << "seed " << seed;
    }
}

TEST_F(ResetTest, ReleasesOnlyCallsNeverSentAndLeavesTheRest) {
    start();
    open_isdn();
    PCTX b1 = &adapter->Ctx[CTX_B1], b2 = &adapter->Ctx[CTX_B2];
    InitContext(b1);
    b1->State = CTX_CALL_REQUESTED;
    InitContext(b2);
    b2->State = CTX_OPEN;
    b2->hCom = 3;
    adapter->Ctx[CTX_LISTEN].State = CTX_OPEN;
    EXPECT_FALSE(host.ndis().check_for_hang()) << "a hang report would have NDIS reset the adapter again";
    EXPECT_EQ(host.ndis().reset(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(b1->State, CTX_FREE);
    EXPECT_EQ(b2->State, CTX_OPEN) << "the clear is refused at DISPATCH_LEVEL";
    EXPECT_EQ(adapter->Ctx[CTX_LISTEN].State, CTX_OPEN) << "the listen context is not touched";
    EXPECT_TRUE(host.isdn().commands().empty());

    for (USHORT state : {CTX_UNUSED, CTX_FREE, CTX_CLEARING, CTX_CALLING, CTX_CONNECTED, CTX_OPEN_SENDING_DATA}) {
        b1->State = state;
        b1->hCom = 1;
        EXPECT_EQ(host.ndis().reset(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(b1->State, state);
    }
    b1->State = CTX_FREE;
    b2->State = CTX_FREE;
    host.ndis().halt();
}

} // namespace tolvanex::test
