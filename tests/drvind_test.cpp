// The worker threads: the general thread's open phase and turns, the
// reconfiguration and listen requests, and the thread stop.

#include "driver_fixture.h"

namespace tolvanex::test {

using GeneralThreadTest = DriverTest;

TEST_F(GeneralThreadTest, OpenPhaseRetriesEveryTenSecondsAndRunsNoTurn) {
    start();
    adapter->ListenRequest = 1;
    host.run_for(seconds(35));
    std::vector<EventEntry> tries;
    for (auto &e : host.event_log().entries())
        if (e.id == EVT_ISDN_NOT_CONNECTED)
            tries.push_back(e);
    ASSERT_EQ(tries.size(), 3u);
    EXPECT_EQ(tries[0].time, seconds(10));
    EXPECT_EQ(tries[2].time, seconds(30));
    EXPECT_EQ(tries[0].section, 1u);
    EXPECT_EQ(host.trace().count(TraceKind::Io, "IoGetDeviceObjectPointer"), 3u);
    EXPECT_EQ(loopGeneralThread, 0) << "no turn before the device is open";
    EXPECT_EQ(adapter->ListenRequest, 1);

    host.isdn().attach();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0, 5);
    host.run_for(seconds(6));
    EXPECT_NE(adapter->PimIsdnDeviceObject, nullptr);
    EXPECT_EQ(events(EVT_ISDN_NOT_CONNECTED), 4u) << "raised before each attempt, the good one too";
    EXPECT_EQ(loopGeneralThread, 1);
    EXPECT_EQ(adapter->ListenRequest, 0);
    EXPECT_EQ(adapter->Ctx[CTX_LISTEN].hCom, 5);
    host.ndis().halt();
}

TEST_F(GeneralThreadTest, BelowTraceLevelTwoTheOpenPhaseRaisesNothing) {
    start();
    adapter->TraceLevel = 1;
    host.run_for(seconds(25));
    EXPECT_EQ(events(EVT_ISDN_NOT_CONNECTED), 0u);
    host.ndis().halt();
}

TEST_F(GeneralThreadTest, ListenRequestsGiveOneCancelAndOneListenPerTurn) {
    start();
    open_isdn();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0, 4);
    host.isdn().auto_answer(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, 0);
    host.run_for(seconds(3));
    EXPECT_TRUE(host.isdn().commands().empty()) << "no line open, no listen";

    // The first request finds no listen to cancel.
    adapter->ListenRequest = 1;
    ZolSetEvent(adapter);
    ZolSetEvent(adapter);
    host.settle();
    ASSERT_EQ(host.isdn().commands().size(), 1u);
    EXPECT_EQ(host.isdn().commands()[0].code, ISDN_CODE_LISTEN);
    EXPECT_EQ(host.now(), seconds(10) + seconds(3)) << "woken at once, not at the end of the second";

    // Set twice before a turn: one cancel and one listen.
    adapter->ListenRequest = 1;
    adapter->ListenRequest = 1;
    host.run_for(seconds(1));
    ASSERT_EQ(host.isdn().commands().size(), 3u);
    EXPECT_EQ(host.isdn().commands()[1].command, ISDN_CLASS_CANCEL);
    EXPECT_EQ(host.isdn().commands()[1].hcom, 4);
    EXPECT_EQ(host.isdn().commands()[2].code, ISDN_CODE_LISTEN);
    host.run_for(seconds(5));
    EXPECT_EQ(host.isdn().commands().size(), 3u);
    host.ndis().halt();
}

TEST_F(GeneralThreadTest, TurnsComeEverySecondWithoutAWakeUp) {
    start();
    open_isdn();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0, 4);
    Ticks asked = host.now();
    adapter->ListenRequest = 1; // no wake-up: the next turn takes it
    ASSERT_TRUE(host.run_until([&] { return !host.isdn().commands().empty(); }, seconds(2)));
    EXPECT_LE(host.now() - asked, seconds(1));
    host.ndis().halt();
}

TEST_F(GeneralThreadTest, ReconfigurationRelistensOnlyWhenTheCancelSucceeds) {
    start();
    open_isdn();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0, 4);
    adapter->ReconfigRequest = 1;
    host.run_for(seconds(1));
    EXPECT_EQ(adapter->ReconfigRequest, 0);
    EXPECT_TRUE(host.isdn().commands().empty()) << "no listen to cancel, none issued";
    EXPECT_EQ(events(EVT_RECONFIGURATION_DONE), 1u);

    adapter->ListenRequest = 1;
    host.run_for(seconds(1));
    ASSERT_EQ(host.isdn().commands().size(), 1u);

    host.isdn().auto_answer(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, 0);
    adapter->ReconfigRequest = 1;
    host.run_for(seconds(1));
    ASSERT_EQ(host.isdn().commands().size(), 3u);
    EXPECT_EQ(host.isdn().commands()[1].command, ISDN_CLASS_CANCEL);
    EXPECT_EQ(host.isdn().commands()[2].code, ISDN_CODE_LISTEN);
    EXPECT_EQ(events(EVT_RECONFIGURATION_DONE), 2u);
    host.ndis().halt();
}

// A refused listen is tried again after 1, 2, 4, 8, 16, 32 and 60 s, ten
// times in all; then it waits for a new request, which counts afresh.
TEST_F(GeneralThreadTest, ARefusedListenIsTriedAgainWithGrowingWaitsTenTimesAtMost) {
    start();
    open_isdn();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 1);
    adapter->ListenRequest = 1;
    host.run_for(seconds(400));
    const auto &c = host.isdn().commands();
    ASSERT_EQ(c.size(), 11u) << "the refused listen and ten retries";
    const long long waits[10] = {1, 2, 4, 8, 16, 32, 60, 60, 60, 60};
    for (std::size_t i = 1; i < c.size(); i++) {
        EXPECT_EQ(c[i].code, ISDN_CODE_LISTEN);
        Ticks gap = c[i].time - c[i - 1].time;
        EXPECT_GE(gap, seconds(waits[i - 1] - 1)) << "retry " << i; // counted in whole timer ticks
        EXPECT_LE(gap, seconds(waits[i - 1] + 2)) << "retry " << i;
    }

    adapter->ListenRequest = 1; // a line opened: the count starts again
    host.run_for(seconds(3));
    EXPECT_EQ(c.size(), 13u) << "the new request and its first retry";
    host.isdn().clear_rules();
    host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0, 4);
    host.run_for(seconds(5));
    EXPECT_EQ(adapter->Ctx[CTX_LISTEN].hCom, 4) << "the retry that is taken ends the retries";
    std::size_t taken = c.size();
    host.run_for(seconds(120));
    EXPECT_EQ(c.size(), taken);
    host.ndis().halt();
}

TEST_F(GeneralThreadTest, KillGeneralThreadActsOnceAndOnlyWhenTheThreadsWereCreated) {
    start();
    open_isdn();
    adapter->ThreadsCreated = 0;
    Ticks before = host.now();
    KillGeneralThread(adapter);
    EXPECT_EQ(host.now(), before) << "returns at once";
    EXPECT_EQ(loopGeneralThread, 1);

    adapter->ThreadsCreated = 1;
    KillGeneralThread(adapter);
    EXPECT_EQ(host.now(), before + seconds(1) + millis(50)) << "a one-second pause and a 50 ms busy wait";
    EXPECT_EQ(adapter->ThreadsCreated, 0);
    EXPECT_EQ(loopGeneralThread, 0);
    EXPECT_EQ(loopThreadReceiveB1, 0);
    EXPECT_EQ(loopThreadReceiveB2, 0);
    EXPECT_EQ(loopThreadListen, 0);
    before = host.now();
    KillGeneralThread(adapter);
    EXPECT_EQ(host.now(), before);
    host.ndis().halt();
}

} // namespace tolvanex::test
