// The host: owns every part of the simulated machine and serves the hooks
// the NT surface reaches it through.

#include "host.h"

#include <cstdio>

#include "check/eventlog.h"
#include "check/faults.h"
#include "nt/io_manager.h"
#include "isdn/isdn_driver.h"
#include "nt/kernel.h"
#include "nt/memory.h"
#include "ndis/ndis_wrapper.h"
#include "ndis/ndistapi_model.h"
#include "ndis/ndiswan_model.h"
#include "ndis/ras_model.h"
#include "nt/registry.h"
#include "check/trace.h"
#include "check/verifier.h"
#include "nt/threads.h"

namespace tolvanex::host {

extern const char kDriverMessagesMc[];

namespace {
Host *g_current = nullptr;
}

std::string hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string Violation::describe() const {
    return rule + ": " + detail + " [context " + context + ", time " + format_time(time) + ", seed " +
           std::to_string(seed) + "]";
}

VerifierStop::VerifierStop(Violation v) : std::runtime_error("verifier: " + v.describe()), violation_(std::move(v)) {}

struct Host::Impl {
    explicit Impl(Host &host, const HostOptions &o)
        : kernel(o), trace(kernel), faults(o.seed), verifier(host), threads(kernel), ndis(host), ndiswan(host),
          tapi(host), ras(host), isdn(host) {
        verifier.add_teardown_check([this] { ndis.check_timers_after_halt(); });
        verifier.add_teardown_check([this] { ndiswan.check_all_completed(); });
    }
    // Declaration order is construction order; the kernel goes last, after
    // every context has been unwound by the destructor below.
    Kernel kernel;
    Trace trace;
    Faults faults;
    Verifier verifier;
    ThreadTable threads;
    Memory memory;
    Registry registry;
    ObjectNamespace objects;
    NdisWrapper ndis;
    Ndiswan ndiswan;
    NdisTapi tapi;
    Ras ras;
    IsdnDriver isdn;
    EventLog event_log;
};

Host::Host(HostOptions options) : options_(std::move(options)) {
    if (g_current)
        throw HostError("only one host can run at a time");
    g_current = this;
    try {
        impl_ = std::make_unique<Impl>(*this, options_);
        Kernel::set_running(&impl_->kernel);
        impl_->event_log.set_table(MessageTable::parse(kDriverMessagesMc, "driver/messages.mc"));
        // The keys every NT machine has and the driver expects to find.
        for (const char *key : {"\\Registry\\Machine\\Hardware\\DeviceMap",
                                "\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                                "\\Registry\\Machine\\System\\CurrentControlSet\\Control",
                                "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
                                "\\Registry\\User\\.Default"})
            impl_->registry.create_key(key, true);
    } catch (...) {
        Kernel::set_running(nullptr);
        g_current = nullptr;
        throw;
    }
}

Host::~Host() {
    // Unwind every context while the rest of the machine still exists.
    impl_->kernel.kill_all();
    impl_.reset();
    Kernel::set_running(nullptr);
    g_current = nullptr;
}

Host &Host::current() {
    if (!g_current)
        throw HostError("no host is running");
    return *g_current;
}

Host *Host::current_or_null() { return g_current; }

Kernel &Host::kernel() { return impl_->kernel; }
Trace &Host::trace() { return impl_->trace; }
Faults &Host::faults() { return impl_->faults; }
Verifier &Host::verifier() { return impl_->verifier; }
ThreadTable &Host::threads() { return impl_->threads; }
Memory &Host::memory() { return impl_->memory; }
Registry &Host::registry() { return impl_->registry; }
ObjectNamespace &Host::objects() { return impl_->objects; }
NdisWrapper &Host::ndis() { return impl_->ndis; }
Ndiswan &Host::ndiswan() { return impl_->ndiswan; }
NdisTapi &Host::tapi() { return impl_->tapi; }
Ras &Host::ras() { return impl_->ras; }
IsdnDriver &Host::isdn() { return impl_->isdn; }
EventLog &Host::event_log() { return impl_->event_log; }

Ticks Host::now() const { return impl_->kernel.now(); }

void Host::run_for(Ticks duration) {
    if (duration < 0)
        throw HostError("run_for with a negative duration");
    impl_->kernel.idle_until(now() + duration);
}

void Host::settle() { impl_->kernel.settle(); }

bool Host::run_until(const std::function<bool()> &done, Ticks limit) {
    Ticks end = now() + limit;
    for (;;) {
        settle();
        if (done())
            return true;
        if (now() >= end)
            return false;
        auto next = impl_->kernel.next_deadline();
        impl_->kernel.idle_until(next ? std::min(*next, end) : end);
    }
}

const std::optional<Violation> &Host::stopped() const { return impl_->kernel.stopped(); }

namespace rt {

void trace(TraceKind kind, std::string text) {
    if (g_current)
        g_current->trace().add(kind, std::move(text));
}

void trace(TraceKind kind, TraceText event, TraceText pattern, TraceFields fields) {
    if (g_current)
        g_current->trace().add(kind, std::move(event), std::move(pattern), std::move(fields));
}

void trace_as(TraceText context, TraceKind kind, TraceText event, TraceText pattern, TraceFields fields) {
    if (g_current)
        g_current->trace().add(kind, std::move(event), std::move(pattern), std::move(fields), std::move(context));
}

namespace {
[[gnu::noinline]] void trace_fault(std::string_view site) {
    g_current->trace().add(TraceKind::Fault, "fault", "injected failure at {site} (call {call})",
                           {tf::text("site", std::string(site)),
                            tf::num("call", static_cast<std::int64_t>(g_current->faults().calls(site)))});
}
} // namespace

bool fault(std::string_view site) {
    if (!g_current || !g_current->faults().check(site))
        return false;
    trace_fault(site);
    return true;
}

void require_passive(std::string_view operation) {
    if (g_current)
        g_current->verifier().require_passive(operation);
}

void require_no_lock(std::string_view operation) {
    if (g_current)
        g_current->verifier().require_no_lock(operation);
}

void violation(std::string_view rule, std::string detail) {
    Host::current().kernel().stop(std::string(rule), std::move(detail));
}

void routine_returned(std::string_view routine) {
    if (g_current)
        g_current->verifier().check_routine_return(routine);
}

long close_other_handle(void *handle) {
    if (g_current && g_current->threads().close_handle(handle))
        return 0;
    return static_cast<long>(0xC0000008L); // STATUS_INVALID_HANDLE
}

} // namespace rt
} // namespace tolvanex::host
