#include "wall_limit.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "scenario.h"

namespace tolvanex::sim {

namespace {

using Clock = std::chrono::steady_clock;

struct Watchdog {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    Clock::time_point deadline;
    double seconds = 0;
    std::string label, replay;
    std::thread thread;

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            if (!armed) {
                changed.wait(lock);
                continue;
            }
            if (changed.wait_until(lock, deadline) == std::cv_status::timeout && armed && Clock::now() >= deadline) {
                // The run's own thread may be anywhere: write and leave
                // without running destructors that might wait on it.
                std::fflush(stdout);
                std::fprintf(stderr, "tolvanex-sim: %s ran past the wall-clock limit of %g s\nreplay: %s\n",
                             label.c_str(), seconds, replay.c_str());
                std::fflush(stderr);
                _exit(kWallLimit);
            }
        }
    }
};

// Started by the first run that has a limit, and never destroyed: its
// thread lives as long as the process.
Watchdog *g_watchdog = nullptr;

} // namespace

void arm_wall_limit(double seconds, std::string label, std::string replay) {
    if (seconds <= 0)
        return;
    if (!g_watchdog) {
        g_watchdog = new Watchdog;
        g_watchdog->thread = std::thread([w = g_watchdog] { w->run(); });
        g_watchdog->thread.detach();
    }
    Watchdog &w = *g_watchdog;
    std::lock_guard lock(w.mutex);
    w.armed = true;
    w.seconds = seconds;
    w.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    w.label = std::move(label);
    w.replay = std::move(replay);
    w.changed.notify_all();
}

void disarm_wall_limit() {
    if (!g_watchdog)
        return;
    Watchdog &w = *g_watchdog;
    std::lock_guard lock(w.mutex);
    w.armed = false;
    w.changed.notify_all();
}

} // namespace tolvanex::sim
