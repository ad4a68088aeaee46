#include "check/verifier.h"

#include <cstdio>

#include "nt/io_manager.h"
#include "nt/kernel.h"
#include "nt/memory.h"

namespace tolvanex::host {

const std::vector<Rule> &Verifier::rules() {
    static const std::vector<Rule> all = {
        {"irql.wait-at-dispatch", "waiting with a non-zero time-out at DISPATCH_LEVEL or above"},
        {"irql.passive-only", "an I/O call, registry call or object look-up above PASSIVE_LEVEL"},
        {"irql.set-event-above-dispatch", "KeSetEvent above DISPATCH_LEVEL"},
        {"spinlock.acquire-held", "acquiring a spin lock the context already holds"},
        {"spinlock.release-not-held", "releasing a spin lock the context does not hold"},
        {"spinlock.held-across-call",
         "holding a spin lock across a wait, an I/O call, a status indication, a receive indication or a send "
         "completion"},
        {"spinlock.held-at-return", "holding a spin lock when a handler or thread routine returns"},
        {"memory.free-not-live", "freeing a block that is not live"},
        {"memory.free-wrong-length", "freeing a block with a length other than the one allocated"},
        {"memory.leak", "a block still allocated when halt returns"},
        {"memory.limit", "the driver holding more memory at once than the run's bound (--max-memory)"},
        {"packet.bad-completion", "completing a packet that is not pending with the driver"},
        {"packet.never-completed", "a pended packet not completed when halt returns"},
        {"receive.unknown-link", "a receive indication on a link context NDISWAN never handed out"},
        {"request.buffer-overrun", "a handler wrote outside the request buffer it was given"},
        {"teardown.timer-set", "a timer still set when halt returns"},
        {"teardown.timer-running", "a timer routine running at or after the return of halt"},
        {"teardown.thread-alive", "a thread created by the driver still alive when halt returns"},
        {"teardown.io-outstanding", "an I/O request of the driver still outstanding when halt returns"},
        {"api.bad-argument", "a platform call with a handle, object or request the platform never handed out"},
        {"deadlock", "no context can run and nothing is due"},
        {"time-limit", "virtual time passed the run's limit"},
    };
    return all;
}

void Verifier::require_passive(std::string_view operation) {
    auto irql = host_.kernel().current().irql;
    if (irql != 0)
        rt::violation("irql.passive-only", std::string(operation) + " at IRQL " + std::to_string(irql));
}

void Verifier::require_no_lock(std::string_view operation) {
    auto &self = host_.kernel().current();
    if (!self.locks.empty()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%p", self.locks.front());
        rt::violation("spinlock.held-across-call", std::string(operation) + " while holding spin lock " + buf);
    }
}

void Verifier::check_routine_return(std::string_view routine) {
    auto &self = host_.kernel().current();
    if (!self.locks.empty()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%p", self.locks.front());
        rt::violation("spinlock.held-at-return", std::string(routine) + " returned holding spin lock " + buf);
    }
}

void Verifier::check_teardown() {
    Kernel &k = host_.kernel();
    for (auto &c : k.contexts()) {
        if (c->driver_owned && c->state != ContextState::Finished)
            rt::violation("teardown.thread-alive", "thread " + c->name + " (context " + std::to_string(c->id) +
                                                       ") is still alive after halt");
    }
    for (auto &check : teardown_checks_)
        check();
    if (auto n = host_.objects().outstanding(); !n.empty())
        rt::violation("teardown.io-outstanding", std::to_string(n.size()) + " I/O request(s) outstanding after halt: " +
                                                     n.front());
    const auto &live = host_.memory().live();
    if (!live.empty()) {
        std::string detail = std::to_string(live.size()) + " block(s) leaked:";
        int shown = 0;
        for (auto &[p, b] : live) {
            if (++shown > 8) {
                detail += " ...";
                break;
            }
            detail += " [" + std::to_string(b.length) + " bytes by " + b.where + " in " + b.context + " at " +
                      format_time(b.time) + "]";
        }
        rt::violation("memory.leak", detail);
    }
}

} // namespace tolvanex::host
