// Host benchmarks: the cost of one context switch, and how fast virtual time
// runs against the wall clock.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "host.h"
#include "ntkernel.h"
#include "ping_pong.h"

using namespace tolvanex::host;

using tolvanex::bench::PingPong;
using tolvanex::bench::Ponger;

namespace {

void BM_ContextSwitch(benchmark::State &state) {
    Host host(HostOptions{.seed = 0});
    PingPong pp;
    KeInitializeEvent(&pp.ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pp.pong, SynchronizationEvent, FALSE);
    HANDLE h;
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, Ponger, &pp);
    host.settle();
    for (auto _ : state) {
        KeSetEvent(&pp.ping, 0, FALSE);
        KeWaitForSingleObject(&pp.pong, Executive, KernelMode, FALSE, nullptr);
    }
    state.counters["switches/iter"] =
        benchmark::Counter(static_cast<double>(host.context_switches()) / static_cast<double>(state.iterations()));
    pp.stop = true;
    KeSetEvent(&pp.ping, 0, FALSE);
    host.settle();
}
BENCHMARK(BM_ContextSwitch);

VOID NTAPI OncePerSecond(PVOID p) {
    auto *stop = static_cast<volatile bool *>(p);
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    LARGE_INTEGER second;
    second.QuadPart = -10'000'000;
    while (!*stop)
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &second);
}

// Five threads each waking once a second through 30 virtual minutes.
void BM_ThirtyVirtualMinutes(benchmark::State &state) {
    for (auto _ : state) {
        Host host(HostOptions{.seed = 0});
        volatile bool stop = false;
        for (int i = 0; i < 5; ++i) {
            HANDLE h;
            PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, OncePerSecond, const_cast<bool *>(&stop));
        }
        auto start = std::chrono::steady_clock::now();
        host.run_for(seconds(30 * 60));
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["wall_s"] = wall;
        state.counters["virtual_per_wall"] = 1800.0 / wall;
        stop = true;
        host.run_for(seconds(2));
    }
}
BENCHMARK(BM_ThirtyVirtualMinutes)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

void print_engine_figures();
void run_floor(int n);

int main(int argc, char **argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--floor") {
        char *end = nullptr;
        long n = std::strtol(argv[2], &end, 10);
        if (*argv[2] == 0 || *end != 0 || n < 0 || n > 100'000'000) {
            std::fprintf(stderr, "tolvanex-bench --floor N: N is a count of round trips\n");
            return 2;
        }
        run_floor(static_cast<int>(n));
        return 0;
    }
    print_engine_figures();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
