// The NT executive and HAL surface: events and waits, spin locks, IRQL,
// stalls and system threads, all on the host's scheduler.

#include <algorithm>
#include <cstdio>
#include <map>

#include "nt/kernel.h"
#include "nt/races.h"
#include "nt/memory.h"
#include "ndis.h"
#include "nt/io_manager.h"
#include "nt/threads.h"

using namespace tolvanex::host;

namespace {

Kernel &kern() { return Kernel::running(); }

std::string hex_ptr(const void *p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

// Relative (negative) or absolute (positive) NT time to a deadline.
constexpr Ticks kClockTick = 156'250; // 15.625 ms, in 100 ns units
constexpr NTSTATUS kStatusUserApc = 0x000000C0;
constexpr NTSTATUS kStatusAlerted = 0x00000101;

Ticks deadline_of(const PLARGE_INTEGER timeout, Ticks now) {
    if (!timeout)
        return kNever;
    LONGLONG t = timeout->QuadPart;
    if (t < 0)
        return (now > kNever + t) ? kNever : now - t;
    return t;
}

} // namespace

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.Size = sizeof(KEVENT) / 4;
    Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    Kernel &k = kern();
    if (k.current().irql > DISPATCH_LEVEL)
        rt::violation("irql.set-event-above-dispatch", "KeSetEvent at IRQL " + std::to_string(k.current().irql));
    LONG previous = Event->Header.SignalState;
    races::release(Event);
    if (Event->Header.Type == NotificationEvent) {
        Event->Header.SignalState = 1;
        k.wake_all(Event);
    } else if (!k.wake_one(Event)) {
        Event->Header.SignalState = 1;
    }
    k.yield();
    return previous;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    Kernel &k = kern();
    Context &self = k.current();
    bool zero_wait = Timeout && Timeout->QuadPart == 0;
    if (self.irql >= DISPATCH_LEVEL && !zero_wait)
        rt::violation("irql.wait-at-dispatch", "KeWaitForSingleObject with a non-zero time-out at IRQL " +
                                                   std::to_string(self.irql));
    rt::require_no_lock("KeWaitForSingleObject");
    auto *event = static_cast<PRKEVENT>(Object);
    if (event->Header.Type == kThreadObjectType) {
        if (!Host::current().threads().object_of(Object))
            rt::violation("api.bad-argument", "KeWaitForSingleObject on a thread object the host never handed out");
    } else if (event->Header.Type != NotificationEvent && event->Header.Type != SynchronizationEvent) {
        rt::violation("api.bad-argument", "KeWaitForSingleObject on an object that is not an event or a thread");
    }
    // A wait NT may end without the object: an alertable kernel-mode wait by
    // an alert, a user-mode wait by a user APC. Never asked for the
    // non-alertable kernel-mode waits, which end only by the object or the
    // time-out.
    if ((Alertable || WaitMode == UserMode) && rt::fault("KeWaitForSingleObject.woken")) {
        k.yield();
        return WaitMode == UserMode ? kStatusUserApc : kStatusAlerted;
    }
    if (event->Header.SignalState) {
        if (event->Header.Type == SynchronizationEvent)
            event->Header.SignalState = 0;
        races::acquire(Object);
        k.yield();
        return STATUS_SUCCESS;
    }
    Ticks deadline = deadline_of(Timeout, k.now());
    if (zero_wait) {
        k.yield();
        return STATUS_TIMEOUT;
    }
    // NT sees a time-out fall due at a clock tick, so a timed wait can end up
    // to one tick (15.625 ms) before the time asked for.
    if (deadline != kNever && rt::fault("KeWaitForSingleObject.early-timeout"))
        deadline = std::max(k.now(), deadline - kClockTick);
    // Set events wake waiters directly; a synchronization event is consumed
    // by the wake, a notification event stays signalled.
    WakeReason why = k.block(Object, deadline);
    if (why != WakeReason::Signalled)
        return STATUS_TIMEOUT;
    races::acquire(Object);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
    kern().set_lock_owner(SpinLock, nullptr);
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    Kernel &k = kern();
    k.yield();
    Context &self = k.current();
    Context *owner = k.lock_owner(SpinLock);
    if (owner == &self)
        rt::violation("spinlock.acquire-held", "KfAcquireSpinLock on " + hex_ptr(SpinLock) +
                                                   ", which this context already holds");
    KIRQL old = self.irql;
    self.irql = DISPATCH_LEVEL;
    if (owner) [[unlikely]] {
        // A contended lock: wait for the owner's release, which hands it on.
        struct Waiting {
            std::size_t &n;
            explicit Waiting(std::size_t &count) : n(count) { ++n; }
            ~Waiting() { --n; }
        } waiting(k.lock_waiters());
        while (k.lock_owner(SpinLock))
            k.block(SpinLock, kNever);
    }
    k.set_lock_owner(SpinLock, &self);
    self.locks.push_back(SpinLock);
    races::acquire(SpinLock);
    return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Kernel &k = kern();
    Context &self = k.current();
    if (k.lock_owner(SpinLock) != &self)
        rt::violation("spinlock.release-not-held",
                      "KfReleaseSpinLock on " + hex_ptr(SpinLock) + ", which this context does not hold");
    races::release(SpinLock);
    k.set_lock_owner(SpinLock, nullptr);
    if (!self.locks.empty() && self.locks.back() == SpinLock)
        self.locks.pop_back(); // locks mostly go in the order they came
    else
        std::erase(self.locks, static_cast<const void *>(SpinLock));
    self.irql = NewIrql;
    if (k.lock_waiters())
        k.wake_one(SpinLock);
    k.yield();
}

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) { return kern().current().irql; }

extern "C" VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    Kernel &k = kern();
    // A busy wait: the clock moves on and, as on a multiprocessor, others
    // may run meanwhile.
    k.block(nullptr, k.now() + static_cast<Ticks>(MicroSeconds) * 10);
}

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                               PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    (void)DesiredAccess;
    (void)ObjectAttributes;
    (void)ProcessHandle;
    (void)ClientId;
    rt::require_passive("PsCreateSystemThread");
    if (rt::fault("PsCreateSystemThread"))
        return STATUS_INSUFFICIENT_RESOURCES;
    Host &h = Host::current();
    std::string name = symbol_name(reinterpret_cast<const void *>(StartRoutine));
    Context &ctx = h.kernel().spawn(name, ContextKind::Thread, [StartRoutine, StartContext, name] {
        races::acquire(&kern().current()); // what the creator did before
        StartRoutine(StartContext);
        rt::routine_returned(name);
        Host::current().threads().ended(kern().current());
    });
    ctx.driver_owned = true;
    races::release(&ctx);
    *ThreadHandle = h.threads().open_handle(ctx);
    rt::trace(TraceKind::Kernel, "kernel.thread", "PsCreateSystemThread {thread} -> context {context}",
              {tf::text("thread", name), tf::num("context", ctx.id)});
    h.kernel().yield();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                    PVOID *Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    (void)DesiredAccess;
    (void)ObjectType;
    (void)AccessMode;
    (void)HandleInformation;
    ThreadObject *obj = Host::current().threads().object(Handle);
    if (!obj)
        return STATUS_INVALID_HANDLE;
    // As NT answers for a handle closed meanwhile in the same handle table.
    if (rt::fault("ObReferenceObjectByHandle"))
        return STATUS_INVALID_HANDLE;
    ++obj->references;
    *Object = obj;
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    Host &h = Host::current();
    if (ThreadObject *obj = h.threads().object_of(Object)) {
        if (obj->references <= 0)
            rt::violation("api.bad-argument", "a thread object dereferenced more often than it was referenced");
        return --obj->references;
    }
    if (h.objects().is_file(Object)) {
        rt::require_passive("ObfDereferenceObject");
        auto *file = static_cast<_FILE_OBJECT *>(Object);
        h.objects().dereference_file(file);
        h.kernel().yield();
        return file->references;
    }
    rt::violation("api.bad-argument", "ObfDereferenceObject of an object the host never handed out");
}
