// The kernel runtime: scheduling, determinism, the virtual clock, events,
// spin locks and system threads.

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

#include "host.h"
#include "host_faults.h"
#include "host_records.h"
#include "nt/kernel.h"
#include "ntkernel.h"

using namespace tolvanex::host;

namespace {

LARGE_INTEGER relative(Ticks t) {
    LARGE_INTEGER li;
    li.QuadPart = -t;
    return li;
}

// A racy sample: two threads each bump a shared counter with a scheduling
// point between the read and the write, and note who ran when.
struct Race {
    int counter = 0;
    std::string order;
};

VOID NTAPI RacyWorker(PVOID p) {
    auto *race = static_cast<Race *>(p);
    char me = static_cast<char>('0' + Host::current().kernel().current().id);
    for (int i = 0; i < 50; ++i) {
        int seen = race->counter;
        KeStallExecutionProcessor(0); // a scheduling point inside the update
        race->counter = seen + 1;
        race->order += me;
    }
}

struct RaceResult {
    std::string order;
    int counter;
    std::string trace;
};

RaceResult run_race(std::uint64_t seed) {
    Host host(HostOptions{.seed = seed});
    Race race;
    for (int i = 0; i < 2; ++i) {
        HANDLE h;
        EXPECT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, RacyWorker, &race), STATUS_SUCCESS);
    }
    host.run_for(seconds(1));
    return {race.order, race.counter, host.trace().render_all()};
}

} // namespace

TEST(Scheduler, SameSeedGivesAByteIdenticalTrace) {
    for (std::uint64_t seed : {0ULL, 1ULL, 7ULL, 12345ULL}) {
        RaceResult a = run_race(seed), b = run_race(seed);
        EXPECT_EQ(a.trace, b.trace) << "seed " << seed;
        EXPECT_EQ(a.order, b.order) << "seed " << seed;
    }
}

TEST(Scheduler, CalmSeedRunsEachThreadToItsNextWait) {
    RaceResult r = run_race(0);
    EXPECT_EQ(r.counter, 100);
    EXPECT_EQ(r.order.find_first_not_of(r.order.front()), 50u) << r.order;
}

TEST(Scheduler, OtherSeedsInterleaveTheRaceDifferentlyAndFindTheLostUpdate) {
    std::set<std::string> orders;
    bool lost_update = false;
    for (std::uint64_t seed = 1; seed <= 100; ++seed) {
        RaceResult r = run_race(seed);
        orders.insert(r.order);
        lost_update |= r.counter < 100;
    }
    EXPECT_GE(orders.size(), 3u);
    EXPECT_TRUE(lost_update) << "no seed in 1..100 interleaved inside the update";
}

namespace {
struct Ticker {
    KEVENT never;
    int wakes = 0;
    bool stop = false;
};

VOID NTAPI TickEverySecond(PVOID p) {
    auto *t = static_cast<Ticker *>(p);
    LARGE_INTEGER second = relative(seconds(1));
    while (!t->stop) {
        EXPECT_EQ(KeWaitForSingleObject(&t->never, Executive, KernelMode, FALSE, &second), STATUS_TIMEOUT);
        ++t->wakes;
    }
}
} // namespace

TEST(VirtualClock, ThirtyMinutesOfWaitsPassInVirtualTime) {
    Host host;
    Ticker t;
    KeInitializeEvent(&t.never, SynchronizationEvent, FALSE);
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, TickEverySecond, &t), STATUS_SUCCESS);
    host.run_for(seconds(30 * 60));
    EXPECT_EQ(host.now(), seconds(30 * 60));
    EXPECT_EQ(t.wakes, 30 * 60);
    t.stop = true;
    host.run_for(seconds(1));
    EXPECT_EQ(host.kernel().contexts()[1]->state, ContextState::Finished);
}

TEST(VirtualClock, RealTimePolicyBindsTheClockToTheWallClock) {
    // The clock is anchored when the host starts, so measure from before.
    auto start = std::chrono::steady_clock::now();
    Host host(HostOptions{.real_time = true, .real_time_rate = 10.0});
    host.run_for(millis(500)); // 50 ms of wall time at ten times speed
    auto wall = std::chrono::steady_clock::now() - start;
    EXPECT_GE(wall, std::chrono::milliseconds(50));
    EXPECT_EQ(host.now(), millis(500));
}

TEST(VirtualClock, RunUntilStopsWhenTheConditionHoldsOrAtTheLimit) {
    Host host;
    Ticker t;
    KeInitializeEvent(&t.never, SynchronizationEvent, FALSE);
    HANDLE h;
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, TickEverySecond, &t);
    EXPECT_TRUE(host.run_until([&] { return t.wakes == 5; }, seconds(60)));
    EXPECT_EQ(host.now(), seconds(5));
    EXPECT_FALSE(host.run_until([] { return false; }, seconds(3)));
    EXPECT_EQ(host.now(), seconds(8));
    t.stop = true;
    host.run_for(seconds(1));
}

namespace {
struct Waiter {
    KEVENT *event;
    Ticks timeout; // 0: none
    NTSTATUS status = -1;
    Ticks woke_at = -1;
};

VOID NTAPI WaitOnce(PVOID p) {
    auto *w = static_cast<Waiter *>(p);
    LARGE_INTEGER t = relative(w->timeout);
    w->status = KeWaitForSingleObject(w->event, Executive, KernelMode, FALSE, w->timeout ? &t : nullptr);
    w->woke_at = Host::current().now();
}

void start(Waiter &w) {
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, WaitOnce, &w), STATUS_SUCCESS);
}
} // namespace

TEST(Events, SynchronizationEventWakesOneWaiterAndResets) {
    Host host;
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    Waiter a{&e, 0}, b{&e, 0};
    start(a);
    start(b);
    host.settle();
    host.run_for(seconds(2));
    KeSetEvent(&e, 0, FALSE);
    host.settle();
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.woke_at, seconds(2));
    EXPECT_EQ(b.status, -1) << "one set wakes one waiter";
    EXPECT_EQ(e.Header.SignalState, 0);
    KeSetEvent(&e, 0, FALSE);
    host.settle();
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    // Set with nobody waiting: the next wait passes at once and consumes it.
    KeSetEvent(&e, 0, FALSE);
    EXPECT_EQ(e.Header.SignalState, 1);
    Waiter c{&e, seconds(5)};
    start(c);
    host.settle();
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(e.Header.SignalState, 0);
}

TEST(Events, NotificationEventWakesEveryWaiterAndStaysSignalled) {
    Host host;
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    Waiter a{&e, 0}, b{&e, seconds(10)};
    start(a);
    start(b);
    host.run_for(seconds(1));
    KeSetEvent(&e, 0, FALSE);
    host.settle();
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    EXPECT_EQ(e.Header.SignalState, 1);
}

TEST(Events, TimedWaitEndsAtItsDeadlineAndZeroTimeoutPolls) {
    Host host;
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    Waiter w{&e, millis(2500)};
    start(w);
    host.run_for(seconds(10));
    EXPECT_EQ(w.status, STATUS_TIMEOUT);
    EXPECT_EQ(w.woke_at, millis(2500));
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(host.now(), seconds(10));
}

namespace {
struct Shared {
    KSPIN_LOCK lock;
    int inside = 0;
    int overlaps = 0;
    int entries = 0;
};

VOID NTAPI LockedWorker(PVOID p) {
    auto *s = static_cast<Shared *>(p);
    for (int i = 0; i < 5; ++i) {
        KIRQL old = KfAcquireSpinLock(&s->lock);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        s->overlaps += s->inside;
        ++s->inside;
        ++s->entries;
        KeStallExecutionProcessor(10); // switched out while holding the lock
        --s->inside;
        KfReleaseSpinLock(&s->lock, old);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}
} // namespace

TEST(SpinLocks, ExcludeEachOtherUnderEverySeed) {
    for (std::uint64_t seed = 0; seed < 30; ++seed) {
        Host host(HostOptions{.seed = seed});
        Shared s;
        KeInitializeSpinLock(&s.lock);
        for (int i = 0; i < 3; ++i) {
            HANDLE h;
            PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, LockedWorker, &s);
        }
        host.run_for(seconds(1));
        EXPECT_EQ(s.entries, 15) << "seed " << seed;
        EXPECT_EQ(s.overlaps, 0) << "seed " << seed;
    }
}

TEST(SpinLocks, AcquireRaisesToDispatchAndReleaseRestores) {
    Host host;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Named so the host can name the thread after its routine.
namespace kernel_test {
VOID NTAPI Nothing(PVOID) {}
} // namespace kernel_test
using kernel_test::Nothing;

TEST(SystemThreads, CreationFailsByRuleAndHandlesClose) {
    Host host;
    host.faults().fail_nth("PsCreateSystemThread", 2);
    HANDLE a = nullptr, b = nullptr, c = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&a, 0, nullptr, nullptr, nullptr, Nothing, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(PsCreateSystemThread(&b, 0, nullptr, nullptr, nullptr, Nothing, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsCreateSystemThread(&c, 0, nullptr, nullptr, nullptr, Nothing, nullptr), STATUS_SUCCESS);
    EXPECT_NE(a, c);
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(a), STATUS_INVALID_HANDLE);
    host.settle();
    EXPECT_EQ(host.trace().count(TraceKind::Fault, "PsCreateSystemThread"), 1u);
    EXPECT_EQ(host.trace().count(TraceKind::Kernel, "PsCreateSystemThread Nothing"), 2u);
}

// Contexts are fibers: each keeps its own stack and its own exception
// state, and a runaway stack stops the run instead of the process.
namespace kernel_test {
volatile int g_depth_limit = 1 << 30;

int Deep(volatile char *above, int depth) {
    volatile char frame[1024];
    frame[0] = above ? above[0] : 1;
    if (depth > g_depth_limit)
        return frame[0];
    return Deep(frame, depth + 1) + frame[0];
}

VOID NTAPI Bottomless(PVOID) { Deep(nullptr, 0); }

struct HandlerPair {
    KEVENT first, second;
    std::string seen;
};

VOID NTAPI CatchAndWaitFirst(PVOID p) {
    auto *hp = static_cast<HandlerPair *>(p);
    try {
        throw 1;
    } catch (int) {
        KeWaitForSingleObject(&hp->first, Executive, KernelMode, FALSE, nullptr);
        try {
            std::rethrow_exception(std::current_exception());
        } catch (int which) {
            hp->seen += "A" + std::to_string(which);
        }
        KeSetEvent(&hp->second, 0, FALSE);
    }
}

VOID NTAPI CatchAndWaitSecond(PVOID p) {
    auto *hp = static_cast<HandlerPair *>(p);
    try {
        throw 2;
    } catch (int) {
        KeSetEvent(&hp->first, 0, FALSE);
        KeWaitForSingleObject(&hp->second, Executive, KernelMode, FALSE, nullptr);
        try {
            std::rethrow_exception(std::current_exception());
        } catch (int which) {
            hp->seen += "B" + std::to_string(which);
        }
    }
}

struct Unwound {
    int *count;
    ~Unwound() { ++*count; }
};

struct Blocked {
    KEVENT never;
    int destroyed = 0;
};

VOID NTAPI BlockForever(PVOID p) {
    auto *b = static_cast<Blocked *>(p);
    Unwound guard{&b->destroyed};
    KeWaitForSingleObject(&b->never, Executive, KernelMode, FALSE, nullptr);
}
} // namespace kernel_test

TEST(Fibers, AStackOverflowIsAVerifierStopNamingTheContext) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reports stack overflows itself";
#else
    {
        Host host;
        HANDLE h;
        ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, kernel_test::Bottomless, nullptr),
                  STATUS_SUCCESS);
        try {
            host.settle();
            FAIL() << "the overflow went unnoticed";
        } catch (const VerifierStop &e) {
            EXPECT_EQ(e.violation().rule, "stack.overflow");
            EXPECT_EQ(e.violation().context, "Bottomless");
            EXPECT_NE(e.violation().detail.find("KiB stack"), std::string::npos) << e.violation().detail;
        }
    }
    // The process goes on, and so does the next host.
    Host again;
    HANDLE h;
    EXPECT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, Nothing, nullptr), STATUS_SUCCESS);
    again.settle();
    EXPECT_FALSE(again.stopped());
#endif
}

TEST(Fibers, EachKeepsItsOwnExceptionInFlight) {
    for (std::uint64_t seed : {0, 1, 2, 3}) {
        Host host(HostOptions{.seed = seed});
        kernel_test::HandlerPair hp;
        KeInitializeEvent(&hp.first, SynchronizationEvent, FALSE);
        KeInitializeEvent(&hp.second, SynchronizationEvent, FALSE);
        HANDLE a, b;
        PsCreateSystemThread(&a, 0, nullptr, nullptr, nullptr, kernel_test::CatchAndWaitFirst, &hp);
        PsCreateSystemThread(&b, 0, nullptr, nullptr, nullptr, kernel_test::CatchAndWaitSecond, &hp);
        host.run_for(seconds(1));
        EXPECT_EQ(hp.seen, "A1B2") << "seed " << seed;
    }
}

TEST(Fibers, EveryBlockedContextUnwindsWhenTheHostGoes) {
    kernel_test::Blocked b;
    {
        Host host;
        KeInitializeEvent(&b.never, NotificationEvent, FALSE);
        for (int i = 0; i < 40; ++i) {
            HANDLE h;
            PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, kernel_test::BlockForever, &b);
        }
        host.settle();
        EXPECT_EQ(b.destroyed, 0);
    }
    EXPECT_EQ(b.destroyed, 40);
}

namespace kernel_test {
// Re-reads a handle that was never valid, forever, with a zero-length stall
// between tries: scheduling points, but virtual time stands still.
VOID NTAPI RereadRefusedHandle(PVOID) {
    for (;;) {
        PVOID object = nullptr;
        if (ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7777), 0, nullptr, KernelMode, &object, nullptr) ==
            STATUS_SUCCESS)
            return;
        KeStallExecutionProcessor(0);
    }
}
} // namespace kernel_test

TEST(Scheduler, ALivelockIsAVerifierStopNamingItsContexts) {
    for (std::uint64_t seed : {0, 1}) {
        Host host(HostOptions{.seed = seed});
        HANDLE a, b;
        PsCreateSystemThread(&a, 0, nullptr, nullptr, nullptr, kernel_test::RereadRefusedHandle, nullptr);
        PsCreateSystemThread(&b, 0, nullptr, nullptr, nullptr, kernel_test::RereadRefusedHandle, nullptr);
        try {
            host.run_for(seconds(1));
            FAIL() << "the livelock went unnoticed, seed " << seed;
        } catch (const VerifierStop &e) {
            EXPECT_EQ(e.violation().rule, "livelock");
            EXPECT_NE(e.violation().detail.find("without virtual time moving or the machine going idle"),
                      std::string::npos);
            EXPECT_NE(e.violation().detail.find("RereadRefusedHandle ("), std::string::npos) << e.violation().detail;
            EXPECT_EQ(host.now(), 0) << "stopped at the instant it began";
        }
    }
}

namespace kernel_test {
struct Relay {
    KEVENT ping;
    int answered = 0;
};
// Answers each ping with a pong: work that goes idle between rounds.
VOID NTAPI AnswerPings(PVOID context) {
    auto *r = static_cast<Relay *>(context);
    for (;;) {
        KeWaitForSingleObject(&r->ping, Executive, KernelMode, FALSE, nullptr);
        ++r->answered;
    }
}
} // namespace kernel_test

// A caller that keeps the machine busy at one instant, round after round,
// is making progress: each round ends with the machine idle.
TEST(Scheduler, WorkThatGoesIdleAtOneInstantIsNoLivelock) {
    for (std::uint64_t seed : {0, 1}) {
        Host host(HostOptions{.seed = seed, .livelock_steps = 50});
        kernel_test::Relay r;
        KeInitializeEvent(&r.ping, SynchronizationEvent, FALSE);
        HANDLE h;
        PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, kernel_test::AnswerPings, &r);
        for (int round = 0; round < 200; ++round) {
            KeSetEvent(&r.ping, 0, FALSE);
            host.settle();
            ASSERT_EQ(r.answered, round + 1) << "seed " << seed;
        }
        EXPECT_EQ(host.now(), 0);

        // The same limit still stops threads that never let the machine idle.
        auto livelock = [&] {
            HANDLE a;
            PsCreateSystemThread(&a, 0, nullptr, nullptr, nullptr, kernel_test::RereadRefusedHandle, nullptr);
            host.settle();
        };
        EXPECT_THROW(livelock(), VerifierStop) << "seed " << seed;
        ASSERT_TRUE(host.stopped());
        EXPECT_EQ(host.stopped()->rule, "livelock");
    }
}
