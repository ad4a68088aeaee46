// The control API of the simulated NT host: what tests, tools and scripts use
// to build a machine, load a driver into it, drive it and watch it. Kept apart
// from the NT surface the driver links against (platform/). With its
// host_*.h siblings (records, faults, registry, ndis, isdn, image) it is all
// tools/ and tests/ may include of host/ (tools/check_public_api.py).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntdef.h"
#include "runtime.h"

struct _DRIVER_OBJECT;
struct _UNICODE_STRING;

namespace tolvanex::host {

class Kernel;
class Trace;
class Faults;
class Verifier;
class ThreadTable;
class Memory;
class Registry;
class ObjectNamespace;
class NdisWrapper;
class Ndiswan;
class NdisTapi;
class Ras;
class IsdnDriver;
class EventLog;

// Virtual time in NT's 100-nanosecond units since the host booted.
using Ticks = std::int64_t;
constexpr Ticks kTicksPerMs = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks seconds(std::int64_t s) { return s * kTicksPerSecond; }
constexpr Ticks millis(std::int64_t ms) { return ms * kTicksPerMs; }

// Renders a virtual time as seconds with microseconds, e.g. "12.000150".
std::string format_time(Ticks t);
// Renders a code or handle as eight hex digits, e.g. "0x00010003".
std::string hex32(std::uint32_t v);

using DriverEntryRoutine = std::int32_t(NTAPI *)(_DRIVER_OBJECT *, _UNICODE_STRING *); // NTSTATUS

struct HostOptions {
    std::uint64_t seed = 0;    // 0: calm fixed order; other: randomised priorities
    bool real_time = false;    // bind the virtual clock to the wall clock
    double real_time_rate = 1; // virtual seconds per wall second under real_time
    int pct_depth = 3;         // priority-change points plus one, for seeds other than 0
    int pct_horizon = 500;     // scheduling points over which the change points are drawn
    Ticks time_limit = 400LL * 24 * 3600 * 10'000'000; // virtual time after which the run stops
    // Scheduling points the driver's contexts may take while the clock
    // stands still and the machine never goes idle: past it, a livelock.
    std::uint64_t livelock_steps = 4'000'000;
    std::string service_name = "Tolvanex";
};

// A stop of the run by the verifier: the rule broken and where.
struct Violation {
    std::string rule;    // e.g. "spinlock.held-across-wait"
    std::string detail;  // what the host saw
    std::string context; // the context that broke it
    Ticks time = 0;
    std::uint64_t seed = 0;
    std::string describe() const;
};

// Raised into the caller of the control API when the verifier has stopped
// the run. The host can then only be inspected and destroyed.
class VerifierStop : public std::runtime_error {
  public:
    explicit VerifierStop(Violation v);
    const Violation &violation() const { return violation_; }

  private:
    Violation violation_;
};

class Host {
  public:
    explicit Host(HostOptions options = {});
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // The one running host; HostError when none.
    static Host &current();
    static Host *current_or_null();

    const HostOptions &options() const { return options_; }

    Kernel &kernel();
    Trace &trace();
    Faults &faults();
    Verifier &verifier();
    ThreadTable &threads();
    Memory &memory();
    Registry &registry();
    ObjectNamespace &objects();
    NdisWrapper &ndis();
    Ndiswan &ndiswan();
    NdisTapi &tapi();
    Ras &ras();
    IsdnDriver &isdn();
    EventLog &event_log();

    // Virtual clock.
    Ticks now() const;
    // Lets every other context run for `duration` of virtual time; the
    // calling (NDIS) context resumes once nothing else can run before then.
    void run_for(Ticks duration);
    // Lets every other context run until none is runnable, without moving
    // the clock.
    void settle();
    // Runs until `done` holds (checked whenever the host is idle) or
    // `limit` of virtual time has passed; returns whether it held.
    bool run_until(const std::function<bool()> &done, Ticks limit);

    // The violation that stopped the run, if any.
    const std::optional<Violation> &stopped() const;

    // What the executive holds, as tests and tools look at it without
    // reaching into the kernel, the pool or the object namespace.
    std::size_t live_blocks();                      // pool blocks not yet freed
    bool block_live(const void *block);
    std::size_t block_length(const void *block);    // 0 when not live
    std::size_t allocations();                      // blocks given out since boot
    void set_memory_limit(std::size_t bytes);       // the run stops past it; 0: none
    std::uint64_t context_switches();
    std::optional<Ticks> next_deadline();           // the earliest armed timer's
    bool timer_armed(const void *timer);
    std::vector<std::string> driver_threads_alive(); // by name, those not finished
    std::vector<std::string> links();               // symbolic links in the namespace
    bool link_exists(const std::string &link);
    std::string link_target(const std::string &link);
    std::int32_t create_link(const std::string &link, const std::string &target); // NTSTATUS
    std::vector<std::string> outstanding_irps();    // I/O requests not yet completed

    // A number for the next record any model keeps, so that records of
    // different kinds made at one instant still say which came first.
    std::uint64_t next_order() { return ++order_; }

  private:
    struct Impl;
    HostOptions options_;
    std::uint64_t order_ = 0;
    std::unique_ptr<Impl> impl_;
};

} // namespace tolvanex::host
