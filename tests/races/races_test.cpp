// The race detector against the miniature drivers: each fault is a verifier
// stop naming both accesses, under the calm order and under seeds, and each
// repaired twin runs clean.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "host.h"
#include "mini_drivers.h"

using namespace tolvanex::host;

// As the simulator's, but a report is what these tests look for.
extern "C" __attribute__((used, visibility("default"))) const char *__tsan_default_options() {
    return "exitcode=0:ignore_interceptors_accesses=1:report_thread_leaks=0:report_signal_unsafe=0:"
           "suppress_equal_stacks=0:suppress_equal_addresses=0:history_size=4";
}

namespace {

struct Outcome {
    std::string rule;
    std::string detail;
};

Outcome run(std::uint64_t seed, const std::function<void()> &start) {
    HostOptions options;
    options.seed = seed;
    Host host(options);
    try {
        start();
        host.run_for(seconds(1));
    } catch (const VerifierStop &) {
    }
    if (!host.stopped())
        return {};
    return {host.stopped()->rule, host.stopped()->detail};
}

class RaceTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RaceTest, UnprotectedQueueAppendIsCaught) {
    Outcome o = run(GetParam(), [] { MiniQueueAppend(0); });
    EXPECT_EQ(o.rule, "race.data-race");
    EXPECT_NE(o.detail.find("mini_drivers.cpp"), std::string::npos) << o.detail;
    EXPECT_NE(o.detail.find("earlier"), std::string::npos) << o.detail;
    EXPECT_NE(o.detail.find("AppendThread"), std::string::npos) << o.detail;
}

TEST_P(RaceTest, QueueAppendUnderTheLockIsClean) {
    Outcome o = run(GetParam(), [] { MiniQueueAppend(1); });
    EXPECT_EQ(o.rule, "") << o.detail;
}

TEST_P(RaceTest, FlagPublishedByAPlainStoreIsCaught) {
    Outcome o = run(GetParam(), [] { MiniFlagPublish(0); });
    EXPECT_EQ(o.rule, "race.data-race");
    EXPECT_NE(o.detail.find("PublishThread"), std::string::npos) << o.detail;
    EXPECT_NE(o.detail.find("ConsumeThread"), std::string::npos) << o.detail;
}

TEST_P(RaceTest, DataPublishedByAnEventIsClean) {
    Outcome o = run(GetParam(), [] { MiniFlagPublish(1); });
    EXPECT_EQ(o.rule, "") << o.detail;
}

TEST_P(RaceTest, CounterOnTwoThreadsIsCaught) {
    Outcome o = run(GetParam(), [] { MiniCounter(0); });
    EXPECT_EQ(o.rule, "race.data-race");
    EXPECT_NE(o.detail.find("CountThread"), std::string::npos) << o.detail;
}

TEST_P(RaceTest, CounterUnderTheLockIsClean) {
    Outcome o = run(GetParam(), [] { MiniCounter(1); });
    EXPECT_EQ(o.rule, "") << o.detail;
}

TEST_P(RaceTest, CreationAndTheThreadsEndOrderItsAccesses) {
    Outcome o = run(GetParam(), [] { MiniThreadHandOver(); });
    EXPECT_EQ(o.rule, "") << o.detail;
}

INSTANTIATE_TEST_SUITE_P(Seeds, RaceTest, ::testing::Values(0, 1, 2, 7, 42));

} // namespace
