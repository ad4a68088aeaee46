// The scheduler: one baton passed between contexts, each a fiber on the one
// OS thread, so exactly one runs host or driver code at a time and every
// interleaving is the scheduler's choice, reproducible from the seed.

#include "nt/kernel.h"

#include "nt/races.h"

#include <algorithm>
#include <cstdio>
#include <thread>


namespace tolvanex::host {

Kernel::Kernel(const HostOptions &options)
    : seed_(options.seed), randomised_(options.seed != 0), rng_(options.seed),
      next_low_priority_(std::max(1, options.pct_depth) - 1), time_limit_(options.time_limit),
      real_time_(options.real_time),
      rate_(options.real_time_rate > 0 ? options.real_time_rate : 1.0),
      wall_start_(std::chrono::steady_clock::now()),
      livelock_steps_(std::max<std::uint64_t>(1, options.livelock_steps)) {
    if (randomised_) {
        for (int i = 1; i < std::max(1, options.pct_depth); ++i)
            change_points_.push_back(1 + rng_() % static_cast<std::uint64_t>(std::max(1, options.pct_horizon)));
        std::sort(change_points_.begin(), change_points_.end());
        if (!change_points_.empty())
            next_change_point_ = change_points_.front();
    }
    contexts_.push_back(std::make_unique<Context>(0, "ndis", ContextKind::Caller));
    caller_ = current_ = contexts_.back().get();
    caller_->fiber_ = std::make_unique<Fiber>();
    caller_->fiber_->set_name(caller_->name.c_str());
    races::new_run();
    caller_->kernel_ = this;
    caller_->priority = randomised_ ? 1'000'000 + static_cast<std::int64_t>(rng_() % 1'000'000) : 0;
    Fiber::set_overflow_handler(&Kernel::on_overflow, this);
}

Kernel::~Kernel() {
    kill_all();
    Fiber::set_overflow_handler(nullptr, nullptr);
}

void Kernel::transfer(Context &from, Context &to, bool final) {
    current_ = &to;
    Fiber::switch_to(*from.fiber_, *to.fiber_, final);
}

void Kernel::fiber_entry(void *context) {
    auto *ctx = static_cast<Context *>(context);
    ctx->kernel_->run_context(ctx);
}

// On the signal stack: the context ran into its guard page. Its stack is
// lost, so it cannot unwind; the run stops and the caller reports it.
void Kernel::on_overflow(Fiber &fiber, void *kernel) {
    auto *k = static_cast<Kernel *>(kernel);
    Context *self = k->current_;
    if (self == k->caller_ || self->fiber_.get() != &fiber)
        std::abort();
    self->state = ContextState::Finished;
    k->record("stack.overflow", "context " + self->name + " ran past the end of its " +
                                    std::to_string(fiber.stack_size() / 1024) + " KiB stack");
    if (!k->killing_ && k->caller_->state != ContextState::Runnable)
        k->wake(*k->caller_, WakeReason::Signalled);
    k->transfer(*self, *k->caller_, true);
    std::abort();
}

Context &Kernel::spawn(std::string name, ContextKind kind, std::function<void()> body) {
    int id = static_cast<int>(contexts_.size());
    contexts_.push_back(std::make_unique<Context>(id, std::move(name), kind));
    Context *ctx = contexts_.back().get();
    ctx->body_ = std::move(body);
    ctx->priority = randomised_ ? 1'000'000 + static_cast<std::int64_t>(rng_() % 1'000'000) : 0;
    ctx->ready_seq = ++ready_counter_;
    ctx->kernel_ = this;
    // Stacks of contexts that have ended go back to the pool first.
    for (auto &c : contexts_)
        if (c->state == ContextState::Finished && c.get() != current_ && c->fiber_)
            c->fiber_.reset();
    ctx->fiber_ = std::make_unique<Fiber>(&Kernel::fiber_entry, ctx);
    if constexpr (races::kEnabled)
        ctx->fiber_->set_name((ctx->name + " (context " + std::to_string(id) + ")").c_str());
    return *ctx;
}

void Kernel::run_context(Context *ctx) {
    if (!ctx->kill_ && !stopped_) {
        try {
            ctx->body_();
        } catch (const ContextKilled &) {
        } catch (const VerifierStop &) {
        } catch (const std::exception &e) {
            try {
                stop("host.error", e.what());
            } catch (const ContextKilled &) {
            }
        }
    }
    finish_current();
    std::abort(); // a finished context is never resumed
}

void Kernel::finish_current() {
    Context *self = current_;
    self->state = ContextState::Finished;
    self->body_ = nullptr;
    if (killing_ || stopped_) {
        // Hand straight back to the caller, which either collects the dead
        // or reports the stop.
        if (!killing_ && caller_->state != ContextState::Runnable)
            wake(*caller_, WakeReason::Signalled);
        transfer(*self, *caller_, true);
    }
    reschedule();
}

void Kernel::lower_priority() {
    change_points_.erase(change_points_.begin());
    next_change_point_ = change_points_.empty() ? UINT64_MAX : change_points_.front();
    current_->priority = next_low_priority_--;
}

Context *Kernel::pick() {
    Context *best = nullptr;
    for (auto &c : contexts_) {
        if (c->state != ContextState::Runnable)
            continue;
        if (!best)
            best = c.get();
        else if (randomised_ ? c->priority > best->priority : c->ready_seq < best->ready_seq)
            best = c.get();
    }
    return best;
}

void Kernel::make_ready(Context &ctx) {
    ctx.state = ContextState::Runnable;
    ctx.ready_seq = ++ready_counter_;
}

// A report the race detector made since the last look: the rule is its kind.
bool Kernel::record_race() {
    if (!races::pending() || stopped_)
        return false;
    std::string report = races::take_report();
    std::string kind = report.substr(0, report.find(' '));
    record("race." + kind, std::move(report));
    return true;
}

void Kernel::check_progress() {
    if (record_race()) [[unlikely]]
        stop(stopped_->rule, stopped_->detail);
    if (steps_in_spell_ > livelock_steps_) [[unlikely]] {
        // Name the contexts that kept the machine busy, busiest first.
        std::vector<const Context *> busy;
        for (auto &c : contexts_)
            if (c->spell == spell_ && c->steps_in_spell > 0)
                busy.push_back(c.get());
        std::stable_sort(busy.begin(), busy.end(), [](const Context *a, const Context *b) {
            return a->steps_in_spell > b->steps_in_spell;
        });
        std::string who;
        for (const Context *c : busy)
            who += (who.empty() ? "" : ", ") + c->name + " (" + std::to_string(c->steps_in_spell) + ")";
        end_spell();
        stop("livelock", std::to_string(livelock_steps_) +
                             " scheduling points without virtual time moving or the machine going idle, by " + who);
    }
}

void Kernel::preempt() {
    Context *best = pick();
    if (best && best != current_ && best->priority > current_->priority)
        hand_to(best);
}

void Kernel::hand_to(Context *next) {
    Context *self = current_;
    if (next == self) {
        resumed(*self);
        return;
    }
    ++switches_;
    transfer(*self, *next);
    resumed(*self);
}

void Kernel::resumed(Context &self) {
    if (self.kill_)
        throw ContextKilled{};
    if (stopped_) {
        if (&self == caller_)
            throw VerifierStop(*stopped_);
        throw ContextKilled{};
    }
}

// Called by a context that can no longer run (blocked or finishing): find the
// next one, moving the clock when nobody can run now.
void Kernel::reschedule() {
    maybe_change_priority();
    for (;;) {
        if (Context *next = pick()) {
            if (current_->state == ContextState::Finished) {
                ++switches_;
                transfer(*current_, *next, true);
            }
            hand_to(next);
            return;
        }
        std::optional<Ticks> due = next_deadline();
        Context *idler = (caller_->state == ContextState::Blocked && caller_->idle_wait) ? caller_ : nullptr;
        if (idler && (!due || idler->deadline < *due)) {
            if (idler->deadline != kNever && idler->deadline > now_)
                advance_to(idler->deadline);
            wake(*idler, WakeReason::TimedOut);
            continue;
        }
        if (!due) {
            // Nobody can ever run again: the caller is stuck behind a context
            // that will never wake it.
            record("deadlock", "no context can run and nothing is due");
            wake(*caller_, WakeReason::Signalled);
            continue;
        }
        advance_to(*due);
    }
}

std::optional<Ticks> Kernel::next_deadline() const {
    Ticks best = kNever;
    for (auto &c : contexts_)
        if (c->state == ContextState::Blocked && !c->idle_wait && c->deadline < best)
            best = c->deadline;
    for (auto &[key, due] : timers_)
        best = std::min(best, due);
    if (best == kNever)
        return std::nullopt;
    return best;
}

void Kernel::advance_to(Ticks t) {
    if (t > time_limit_) {
        // A driver that waits or stalls forever in virtual time would
        // otherwise spin the host without end: stop, and let the caller
        // report it.
        record("time-limit", "virtual time passed the run's limit of " + format_time(time_limit_));
        wake(*caller_, WakeReason::Signalled);
        return;
    }
    if (t > now_) {
        now_ = t;
        end_spell();
        if (real_time_) {
            auto wall = wall_start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                          std::chrono::duration<double, std::ratio<1, 10'000'000>>(
                                              static_cast<double>(t) / rate_));
            std::this_thread::sleep_until(wall);
        }
    }
    // Timed waits first, in deadline then creation order, then timers.
    std::vector<Context *> due;
    for (auto &c : contexts_)
        if (c->state == ContextState::Blocked && !c->idle_wait && c->deadline <= now_)
            due.push_back(c.get());
    std::stable_sort(due.begin(), due.end(),
                     [](const Context *a, const Context *b) { return a->deadline < b->deadline; });
    for (Context *c : due)
        wake(*c, WakeReason::TimedOut);
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (it->second <= now_) {
            const void *key = it->first;
            it = timers_.erase(it);
            if (!wake_one(key))
                fired_.insert(key);
        } else {
            ++it;
        }
    }
}

WakeReason Kernel::block(const void *object, Ticks deadline) {
    check_progress();
    Context &self = *current_;
    if (deadline <= now_) {
        yield();
        return WakeReason::TimedOut;
    }
    self.state = ContextState::Blocked;
    self.wait_object = object;
    self.deadline = deadline;
    self.idle_wait = false;
    reschedule();
    return self.wake;
}

void Kernel::wake(Context &ctx, WakeReason why) {
    ctx.wake = why;
    ctx.wait_object = nullptr;
    ctx.deadline = kNever;
    ctx.idle_wait = false;
    make_ready(ctx);
}

bool Kernel::wake_one(const void *object) {
    Context *first = nullptr;
    for (auto &c : contexts_)
        if (c->state == ContextState::Blocked && !c->idle_wait && c->wait_object == object &&
            (!first || c->ready_seq < first->ready_seq))
            first = c.get();
    if (!first)
        return false;
    wake(*first, WakeReason::Signalled);
    return true;
}

int Kernel::wake_all(const void *object) {
    int n = 0;
    while (wake_one(object))
        ++n;
    return n;
}

bool Kernel::has_waiters(const void *object) const {
    for (auto &c : contexts_)
        if (c->state == ContextState::Blocked && !c->idle_wait && c->wait_object == object)
            return true;
    return false;
}

void Kernel::idle_until(Ticks deadline) {
    Context &self = *current_;
    if (&self != caller_)
        throw HostError("only the NDIS caller can let the machine run");
    self.state = ContextState::Blocked;
    self.wait_object = nullptr;
    self.deadline = std::max(deadline, now_);
    self.idle_wait = true;
    reschedule();
    end_spell();
    record_race();
    if (stopped_)
        throw VerifierStop(*stopped_);
}

void Kernel::settle() { idle_until(now_); }

void Kernel::arm_timer(const void *key, Ticks due) {
    fired_.erase(key);
    timers_[key] = due;
}

bool Kernel::cancel_timer(const void *key) {
    fired_.erase(key);
    return timers_.erase(key) > 0;
}

bool Kernel::timer_armed(const void *key) const { return timers_.count(key) > 0; }

bool Kernel::take_fired(const void *key) { return fired_.erase(key) > 0; }

void Kernel::record(std::string rule, std::string detail) {
    if (stopped_)
        return;
    stopped_ = Violation{std::move(rule), std::move(detail), current_->name, now_, seed_};
    rt::trace(TraceKind::Kernel, "VERIFIER STOP: " + stopped_->describe());
}

void Kernel::stop(std::string rule, std::string detail) {
    record(std::move(rule), std::move(detail));
    if (current_ == caller_)
        throw VerifierStop(*stopped_);
    throw ContextKilled{};
}

void Kernel::kill_all() {
    if (current_ != caller_)
        return; // cannot happen: only the caller's thread destroys the host
    killing_ = true;
    for (auto &c : contexts_) {
        if (c.get() == caller_ || c->state == ContextState::Finished)
            continue;
        c->kill_ = true;
        transfer(*caller_, *c);
        current_ = caller_;
    }
    for (auto &c : contexts_)
        if (c.get() != caller_)
            c->fiber_.reset();
    killing_ = false;
}

} // namespace tolvanex::host
