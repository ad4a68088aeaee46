// The host's kernel runtime: contexts, the baton, the seeded scheduler, the
// virtual clock, blocking waits and timers. Every flow of control that runs
// driver code is a Context; exactly one holds the baton at a time, and control
// changes hands only at scheduling points. Each context is a fiber with its
// own stack on the one OS thread that runs the host.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "host.h"
#include "nt/fiber.h"
#include "nt/races.h"

namespace tolvanex::host {

constexpr Ticks kNever = INT64_MAX;

enum class ContextKind : std::uint8_t { Caller, Thread, Timer };
enum class ContextState : std::uint8_t { Runnable, Blocked, Finished };

// Why a blocked context woke.
enum class WakeReason : std::uint8_t { Signalled, TimedOut };

class Context {
  public:
    Context(int id, std::string name, ContextKind kind)
        : id(id), name(std::move(name)), trace_name(TraceText::interned(this->name)), kind(kind) {}

    const int id;
    const std::string name;
    const TraceText trace_name; // the name as every trace record it makes keeps it
    const ContextKind kind;
    ContextState state = ContextState::Runnable;
    std::uint8_t irql = 0;
    std::vector<const void *> locks; // spin locks held, in acquisition order
    bool driver_owned = false;       // created by the driver (system threads)
    bool in_routine = false;         // a timer context inside its routine

    // While blocked.
    const void *wait_object = nullptr; // what it waits on; null for a pure delay
    Ticks deadline = kNever;
    bool idle_wait = false; // the caller letting the machine run
    WakeReason wake = WakeReason::Signalled;

    std::int64_t priority = 0; // randomised strategy only
    std::uint64_t ready_seq = 0;

    // Scheduling points taken in the busy spell `spell` (the livelock guard).
    std::uint64_t spell = UINT64_MAX;
    std::uint64_t steps_in_spell = 0;

  private:
    friend class Kernel;
    std::unique_ptr<Fiber> fiber_;
    class Kernel *kernel_ = nullptr;
    std::function<void()> body_;
    bool kill_ = false;
};

// Thrown inside a context to unwind it when the run stops or the host goes.
struct ContextKilled {};

class Kernel {
  public:
    explicit Kernel(const HostOptions &options);
    ~Kernel();

    // The running host's kernel, for the NT calls that ask for it dozens of
    // times a frame; a call with no host running is an error.
    static Kernel &running() {
        if (!running_) [[unlikely]]
            throw HostError("no host is running");
        return *running_;
    }
    static void set_running(Kernel *kernel) { running_ = kernel; }

    Context &current() const { return *current_; }
    Context &caller() const { return *caller_; }
    Ticks now() const { return now_; }
    std::uint64_t seed() const { return seed_; }

    // Creates a context that runs `body` once scheduled. It starts runnable.
    Context &spawn(std::string name, ContextKind kind, std::function<void()> body);
    const std::vector<std::unique_ptr<Context>> &contexts() const { return contexts_; }

    // A scheduling point: the scheduler may hand the baton to another
    // runnable context before the current one goes on. The driver takes
    // dozens per frame, so the common case stays inline.
    void yield() {
        if (races::pending() || steps_in_spell_ > livelock_steps_) [[unlikely]]
            check_progress();
        maybe_change_priority();
        if (randomised_)
            preempt();
    }

    // Blocks the current context on `object` until woken or `deadline`.
    WakeReason block(const void *object, Ticks deadline);
    // Wakes one context blocked on `object` (the first to block), or all.
    bool wake_one(const void *object);
    int wake_all(const void *object);
    void wake(Context &ctx, WakeReason why);
    bool has_waiters(const void *object) const;

    // The caller lets the machine run until nothing else can before
    // `deadline`; returns at `deadline` or, for settle, at once when idle.
    void idle_until(Ticks deadline);
    void settle();
    // The earliest time anything is due (a timed wait or a timer).
    std::optional<Ticks> next_deadline() const;

    // One-shot timers: when due, the timer's context is woken (it blocks on
    // the timer's key between runs).
    void arm_timer(const void *key, Ticks due);
    bool cancel_timer(const void *key);
    bool timer_armed(const void *key) const;
    // A timer that fell due while its context was busy; consumed once.
    bool take_fired(const void *key);

    // Records the first violation and stops the run; does not return.
    [[noreturn]] void stop(std::string rule, std::string detail);
    const std::optional<Violation> &stopped() const { return stopped_; }

    // Unwinds every context but the caller; used when the host goes.
    void kill_all();

    std::uint64_t switches() const { return switches_; }


    // Spin-lock ownership, kept in the lock word itself as a tagged context
    // id, as NT keeps a held lock's word non-zero. A word without the tag
    // (zero, or never initialised) is a free lock.
    Context *lock_owner(const void *lock) const {
        std::uintptr_t word;
        std::memcpy(&word, lock, sizeof word);
        if ((word & kLockTagMask) != kLockTag)
            return nullptr;
        std::uintptr_t id = word & ~kLockTagMask;
        return id < contexts_.size() ? contexts_[id].get() : nullptr;
    }
    void set_lock_owner(void *lock, Context *owner) {
        std::uintptr_t word = owner ? kLockTag | static_cast<std::uintptr_t>(owner->id) : 0;
        std::memcpy(lock, &word, sizeof word);
    }
    // Contexts blocked on a contended spin lock; a release with none
    // waiting has no one to look for.
    std::size_t &lock_waiters() { return lock_waiters_; }

  private:
    static inline Kernel *running_ = nullptr;
    std::size_t lock_waiters_ = 0;
    static constexpr std::uintptr_t kLockTagMask = ~std::uintptr_t{0} << 16 << (sizeof(void *) * 8 - 32);
    static constexpr std::uintptr_t kLockTag = static_cast<std::uintptr_t>(0xA5A5C3C3A5A5C3C3ULL) & kLockTagMask;

    static void fiber_entry(void *context);
    static void on_overflow(Fiber &fiber, void *kernel);
    void transfer(Context &from, Context &to, bool final = false);
    Context *pick();
    void make_ready(Context &ctx);
    void reschedule();
    void hand_to(Context *next);
    void resumed(Context &self);
    void advance_to(Ticks t);
    void finish_current();
    void record(std::string rule, std::string detail);
    void run_context(Context *ctx);
    void maybe_change_priority() {
        ++steps_;
        if (current_ != caller_)
            count_step(*current_);
        if (steps_ == next_change_point_) [[unlikely]]
            lower_priority();
    }
    void count_step(Context &c) {
        if (c.spell != spell_) [[unlikely]] {
            c.spell = spell_;
            c.steps_in_spell = 0;
        }
        ++c.steps_in_spell;
        ++steps_in_spell_;
    }
    // A busy spell ends when the clock moves or the machine has gone idle
    // and handed the caller back: neither happens in a livelock.
    void end_spell() {
        ++spell_;
        steps_in_spell_ = 0;
    }
    void lower_priority();
    void preempt();
    // Raises what the race detector saw, and a livelock; at scheduling
    // points only, where a context may be unwound.
    void check_progress();
    bool record_race();

    std::vector<std::unique_ptr<Context>> contexts_;
    Context *caller_ = nullptr;
    Context *current_ = nullptr;
    Ticks now_ = 0;
    std::uint64_t seed_;
    bool randomised_;
    std::mt19937_64 rng_;
    std::vector<std::uint64_t> change_points_;
    // The front of change_points_, or never.
    std::uint64_t next_change_point_ = UINT64_MAX;
    std::int64_t next_low_priority_;
    std::uint64_t steps_ = 0;
    std::uint64_t spell_ = 0;
    std::uint64_t steps_in_spell_ = 0; // by contexts other than the caller
    std::uint64_t ready_counter_ = 0;
    std::uint64_t switches_ = 0;
    std::map<const void *, Ticks> timers_;
    std::set<const void *> fired_;
    std::optional<Violation> stopped_;
    bool killing_ = false;
    Ticks time_limit_;
    bool real_time_;
    double rate_;
    std::chrono::steady_clock::time_point wall_start_;
    std::uint64_t livelock_steps_;
};

} // namespace tolvanex::host
