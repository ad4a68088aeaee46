// The engine's figures side by side: what a context switch costs, how fast
// idle virtual time runs, a frame's round trip against a floor program, a
// sweep's seeds per second, and peak memory of a long echo run.

#include <algorithm>
#include <functional>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/perf_event.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "host.h"
#include "ntkernel.h"
#include "ping_pong.h"
#include "scenario.h"

using namespace tolvanex;
using namespace tolvanex::host;

using tolvanex::bench::PingPong;
using tolvanex::bench::Ponger;

namespace {

double now_s() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// The process's CPU time: on a machine shared with other work, wall time
// measures the neighbours as much as the engine.
double cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Instructions retired in user space, where the kernel lets us count them.
class InstructionCounter {
  public:
    InstructionCounter() {
        perf_event_attr attr{};
        attr.type = PERF_TYPE_HARDWARE;
        attr.size = sizeof attr;
        attr.config = PERF_COUNT_HW_INSTRUCTIONS;
        attr.disabled = 1;
        attr.exclude_kernel = 1;
        attr.exclude_hv = 1;
        fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
    }
    ~InstructionCounter() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool available() const { return fd_ >= 0; }
    void start() {
        ioctl(fd_, PERF_EVENT_IOC_RESET, 0);
        ioctl(fd_, PERF_EVENT_IOC_ENABLE, 0);
    }
    double stop() {
        ioctl(fd_, PERF_EVENT_IOC_DISABLE, 0);
        long long n = 0;
        if (read(fd_, &n, sizeof n) != sizeof n)
            return 0;
        return static_cast<double>(n);
    }

  private:
    int fd_ = -1;
};

struct SwitchCost {
    double ns_per_switch;
    double system_share;
};

SwitchCost context_switch() {
    Host host(HostOptions{.seed = 0});
    PingPong pp;
    KeInitializeEvent(&pp.ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pp.pong, SynchronizationEvent, FALSE);
    HANDLE h;
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, Ponger, &pp);
    host.settle();
    constexpr int kRounds = 2'000'000;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::uint64_t switches = host.context_switches();
    double t0 = cpu_s();
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&pp.ping, 0, FALSE);
        KeWaitForSingleObject(&pp.pong, Executive, KernelMode, FALSE, nullptr);
        // A tick now and then: the livelock guard stops a machine that
        // takes millions of steps while its clock stands still.
        if (i % 100'000 == 99'999)
            host.run_for(1);
    }
    double wall = cpu_s() - t0;
    getrusage(RUSAGE_SELF, &after);
    switches = host.context_switches() - switches;
    auto secs = [](const timeval &a, const timeval &b) {
        return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_usec - a.tv_usec) / 1e6;
    };
    double user = secs(before.ru_utime, after.ru_utime), sys = secs(before.ru_stime, after.ru_stime);
    pp.stop = true;
    KeSetEvent(&pp.ping, 0, FALSE);
    host.settle();
    return {wall * 1e9 / static_cast<double>(switches), user + sys > 0 ? sys / (user + sys) : 0};
}

// One run of bench/echo.lua; returns its wall time, or a negative one when
// it did not pass.
double echo_run(int frames, int idle_minutes, InstructionCounter *ic = nullptr, double *instructions = nullptr,
                int calls = 0) {
    sim::ScenarioOptions o;
    o.script = "bench/echo.lua";
    o.args = {std::to_string(frames), std::to_string(idle_minutes), std::to_string(calls)};
    o.quiet = true;
    o.timeline = false;
    std::ostringstream out, err;
    if (ic)
        ic->start();
    double t0 = cpu_s();
    auto r = sim::run_scenario(o, out, err);
    double t = cpu_s() - t0;
    if (ic)
        *instructions = ic->stop();
    if (r.status != sim::kPassed) {
        std::fprintf(stderr, "bench/echo.lua %d %d: %s\n", frames, idle_minutes, r.summary.c_str());
        return -1;
    }
    return t;
}

// The floor: per round trip, the copies, clearings and allocations the
// driver's design makes and nothing else. NDISWAN's frame goes into a chain
// descriptor and from there into a 2255-byte send block that is cleared
// whole first (every byte the sender does not fill goes out zero); both
// the send and the read are buffered I/O requests with the block as input
// and output, so the I/O manager allocates a system buffer and copies the
// whole block in and back out; the context's read block is cleared whole
// before each read; the ISDN driver writes the echo into the read's buffer;
// the echo goes into a receive buffer and up to NDISWAN.
// The copies are of lengths known only at run time, as the driver's and
// the I/O manager's are, so they are library calls; the clearings are of
// a constant length, as the driver's are, and the compiler makes them what
// it makes the driver's.
void floor_round_trip() {
    constexpr std::size_t kBlock = 2255, kHead = 206;
    static volatile std::size_t frame_length = 1500, block_length = kBlock;
    static unsigned char frame[1500], echo[1500], read_block[kBlock];
    const std::size_t frame_bytes = frame_length, block_bytes = block_length;
    auto keep = [](void *p) { asm volatile("" : : "r"(p) : "memory"); };
    auto *descr = static_cast<unsigned char *>(std::malloc(1600));
    std::memcpy(descr, frame, frame_bytes);
    keep(descr);
    auto *block = static_cast<unsigned char *>(std::malloc(kBlock));
    keep(block); // allocated, then cleared: not one calloc
    std::memset(block, 0, kBlock);
    std::memcpy(block + kHead, descr, frame_bytes);
    keep(block);
    auto *system = static_cast<unsigned char *>(std::malloc(kBlock));
    std::memcpy(system, block, block_bytes);
    keep(system);
    std::memcpy(block, system, block_bytes);
    keep(block);
    std::free(system);
    std::free(block);
    std::memset(read_block, 0, kBlock);
    keep(read_block);
    system = static_cast<unsigned char *>(std::malloc(kBlock));
    std::memcpy(system, read_block, block_bytes);
    std::memcpy(system + kHead, frame, frame_bytes); // the party's echo
    keep(system);
    std::memcpy(read_block, system, block_bytes);
    keep(read_block);
    std::free(system);
    auto *rx = static_cast<unsigned char *>(std::malloc(1600));
    std::memcpy(rx, read_block + kHead, frame_bytes);
    keep(rx);
    std::memcpy(echo, rx, frame_bytes);
    keep(echo);
    std::free(rx);
    std::free(descr);
}

double floor_round_trips(int n, InstructionCounter *ic, double *instructions) {
    if (ic)
        ic->start();
    double t0 = cpu_s();
    for (int i = 0; i < n; ++i)
        floor_round_trip();
    double t = cpu_s() - t0;
    if (ic)
        *instructions = ic->stop();
    return t;
}

double best_of(int runs, const std::function<double()> &f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, f());
    return best;
}

struct SweepFigure {
    double seeds_per_s_wall;
    double seeds_per_cpu_s;
};

SweepFigure sweep(int jobs, int seeds) {
    std::string cmd = std::string(TOLVANEX_SIM) + " --quiet --seeds 1.." + std::to_string(seeds) + " -j " +
                      std::to_string(jobs) + " outgoing >/dev/null";
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    double t0 = now_s();
    int rc = std::system(cmd.c_str());
    double wall = now_s() - t0;
    getrusage(RUSAGE_CHILDREN, &after);
    if (rc != 0)
        std::fprintf(stderr, "sweep -j %d failed\n", jobs);
    auto secs = [](const timeval &a, const timeval &b) {
        return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_usec - a.tv_usec) / 1e6;
    };
    double cpu = secs(before.ru_utime, after.ru_utime) + secs(before.ru_stime, after.ru_stime);
    return {seeds / wall, cpu > 0 ? seeds / cpu : 0};
}

// Peak resident memory of a child that echoes `frames` frames.
double peak_mb(int frames) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(echo_run(frames, 0) < 0 ? 1 : 0);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

} // namespace

// `tolvanex-bench --floor N`: N round trips of the floor program alone,
// for an instruction count under callgrind.
void run_floor(int n) {
    for (int i = 0; i < n; ++i)
        floor_round_trip();
}

void print_engine_figures() {
    if (chdir(TOLVANEX_SOURCE_DIR) != 0)
        std::perror("chdir");
    InstructionCounter ic;
    std::printf("Engine figures, in CPU time (target in brackets)\n");

    SwitchCost sw{1e30, 0};
    for (int i = 0; i < 3; ++i) {
        SwitchCost c = context_switch();
        if (c.ns_per_switch < sw.ns_per_switch)
            sw = c;
    }
    std::printf("  context switch                  %8.1f ns, system time %.1f %% of CPU   [<= 200 ns, <= 5 %%]\n",
                sw.ns_per_switch, 100 * sw.system_share);

    double idle0 = best_of(5, [] { return echo_run(0, 0); });
    double idle30 = best_of(5, [] { return echo_run(0, 30); });
    double idle_cost = std::max(idle30 - idle0, 1e-7);
    std::printf("  30 idle virtual minutes, 2 calls %8.0fx real time (%.3f ms of CPU time)   [>= 1000000x]\n",
                1800.0 / idle_cost, idle_cost * 1e3);

    double i1 = 0, i2 = 0, f = 0;
    InstructionCounter *pic = ic.available() ? &ic : nullptr;
    double t0f = best_of(3, [&] { return echo_run(0, 0); });
    double t1 = best_of(3, [&] { return echo_run(1000, 0, pic, &i1); });
    double t2 = best_of(3, [&] { return echo_run(2000, 0, pic, &i2); });
    double tf = best_of(3, [&] { return floor_round_trips(1000, pic, &f); });
    double per_trip = (t2 - t1) / 1000, per_floor = tf / 1000;
    if (pic)
        std::printf("  1500-byte round trip             %8.0f instructions, floor %.0f: %.1fx   [<= 10x]\n",
                    (i2 - i1) / 1000, f / 1000, (i2 - i1) / f);
    std::printf("  1500-byte round trip             %8.0f ns, floor %.0f ns: %.1fx of the floor's time%s\n",
                per_trip * 1e9, per_floor * 1e9, per_trip / per_floor,
                pic ? "" : " (no instruction counter here; callgrind gives instructions)");

    double t10 = best_of(2, [] { return echo_run(10000, 0); });
    double t11 = best_of(2, [] { return echo_run(11000, 0); });
    std::printf("  checked frame, 1st..1000th       %8.0f ns each; 10001st..11000th %.0f ns each   [independent of k]\n",
                (t1 - t0f) / 1000 * 1e9, (t11 - t10) / 1000 * 1e9);

    double c0 = best_of(3, [] { return echo_run(0, 0); });
    double c1 = best_of(3, [] { return echo_run(0, 0, nullptr, nullptr, 1000); });
    double c10 = best_of(2, [] { return echo_run(0, 0, nullptr, nullptr, 10000); });
    double c11 = best_of(2, [] { return echo_run(0, 0, nullptr, nullptr, 11000); });
    std::printf("  sequential call, 1st..1000th     %8.0f ns each; 10001st..11000th %.0f ns each   [independent of k]\n",
                (c1 - c0) / 1000 * 1e9, (c11 - c10) / 1000 * 1e9);

    SweepFigure j1 = sweep(1, 1000), j2 = sweep(2, 2000);
    std::printf("  outgoing sweep, -j 1             %8.0f seeds/s (%.0f per CPU second)\n", j1.seeds_per_s_wall,
                j1.seeds_per_cpu_s);
    std::printf("  outgoing sweep, -j 2             %8.0f seeds/s (%.0f per CPU second)   [>= 2000 seeds/s]\n",
                j2.seeds_per_s_wall, j2.seeds_per_cpu_s);

    std::printf("  100,000 echoed frames            %8.0f MB peak   [<= 64 MB]\n", peak_mb(100'000));
    std::printf("\n");
    std::fflush(stdout);
}
