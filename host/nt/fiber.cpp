// The switch saves the callee-saved registers and the floating-point control
// words on the old stack, stores the stack pointer, loads the new one and
// restores the same from there: a dozen instructions, no system call.

#include "nt/fiber.h"

#include "nt/races.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TOLVANEX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOLVANEX_ASAN 1
#endif
#endif
// TSan delivers signals itself and cannot follow a handler that never
// returns: the race build leaves stack overflows to the plain builds.
#if defined(TOLVANEX_ASAN) || defined(TOLVANEX_RACES)
#define TOLVANEX_NO_OVERFLOW_HANDLER 1
#endif
#ifdef TOLVANEX_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

extern "C" {
void tolvanex_fiber_switch(void **save_sp, void *next_sp);
void tolvanex_fiber_trampoline();
}

#if defined(__x86_64__)
asm(R"(
    .text
    .globl tolvanex_fiber_switch
    .hidden tolvanex_fiber_switch
    .type tolvanex_fiber_switch, @function
tolvanex_fiber_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size tolvanex_fiber_switch, .-tolvanex_fiber_switch

    .globl tolvanex_fiber_trampoline
    .hidden tolvanex_fiber_trampoline
    .type tolvanex_fiber_trampoline, @function
tolvanex_fiber_trampoline:
    andq $-16, %rsp
    movq %r12, %rdi
    callq *%r13
    ud2
    .size tolvanex_fiber_trampoline, .-tolvanex_fiber_trampoline
)");
#elif defined(__i386__)
asm(R"(
    .text
    .globl tolvanex_fiber_switch
    .hidden tolvanex_fiber_switch
    .type tolvanex_fiber_switch, @function
tolvanex_fiber_switch:
    movl 4(%esp), %eax
    movl 8(%esp), %edx
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $8, %esp
    stmxcsr (%esp)
    fnstcw 4(%esp)
    movl %esp, (%eax)
    movl %edx, %esp
    ldmxcsr (%esp)
    fldcw 4(%esp)
    addl $8, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size tolvanex_fiber_switch, .-tolvanex_fiber_switch

    .globl tolvanex_fiber_trampoline
    .hidden tolvanex_fiber_trampoline
    .type tolvanex_fiber_trampoline, @function
tolvanex_fiber_trampoline:
    andl $-16, %esp
    subl $12, %esp
    pushl %edi
    call *%esi
    ud2
    .size tolvanex_fiber_trampoline, .-tolvanex_fiber_trampoline
)");
#else
#error "fibers need a stack switch for this architecture"
#endif

namespace tolvanex::host {

namespace {

#ifdef TOLVANEX_ASAN
constexpr std::size_t kStackSize = 2u << 20; // instrumented frames are larger
#else
constexpr std::size_t kStackSize = 512u << 10;
#endif
constexpr std::size_t kPoolMax = 32;
[[maybe_unused]] constexpr std::size_t kAltStackSize = 64u << 10; // the overflow handler's stack

// libstdc++'s per-thread exception state: the caught-exception chain and
// the count of exceptions in flight. Each fiber keeps its own.
struct EhGlobals {
    void *caught;
    unsigned int uncaught;
};

struct StackPool {
    std::vector<char *> free; // mapping bases (guard first)
    ~StackPool() {
        for (char *base : free)
            munmap(base, Fiber::kGuardSize + kStackSize);
    }
};

thread_local StackPool t_pool;
thread_local Fiber *t_running = nullptr;
thread_local Fiber *t_from = nullptr; // the fiber that switched last
thread_local Fiber::OverflowHandler t_overflow = nullptr;
thread_local void *t_overflow_data = nullptr;
#ifndef TOLVANEX_NO_OVERFLOW_HANDLER
thread_local bool t_alt_stack = false;
struct sigaction g_previous_segv;
std::once_flag g_segv_once;
#endif

char *map_stack() {
    if (!t_pool.free.empty()) {
        char *base = t_pool.free.back();
        t_pool.free.pop_back();
        return base;
    }
    void *p = mmap(nullptr, Fiber::kGuardSize + kStackSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    char *base = static_cast<char *>(p);
    if (mprotect(base, Fiber::kGuardSize, PROT_NONE) != 0) {
        munmap(base, Fiber::kGuardSize + kStackSize);
        throw std::bad_alloc();
    }
    return base;
}

void unmap_stack(char *base) {
#ifdef TOLVANEX_ASAN
    // Frames that never returned leave their redzones poisoned.
    ASAN_UNPOISON_MEMORY_REGION(base + Fiber::kGuardSize, kStackSize);
#endif
    if (t_pool.free.size() < kPoolMax)
        t_pool.free.push_back(base);
    else
        munmap(base, Fiber::kGuardSize + kStackSize);
}

} // namespace

struct FiberAccess {
    static bool in_guard(const Fiber &f, const void *addr) {
        auto *a = static_cast<const char *>(addr);
        return f.lo_ && a >= f.lo_ - Fiber::kGuardSize && a < f.lo_;
    }
};

namespace {

#ifndef TOLVANEX_NO_OVERFLOW_HANDLER
void on_segv(int sig, siginfo_t *info, void *uc) {
    Fiber *f = t_running;
    if (f && t_overflow && FiberAccess::in_guard(*f, info->si_addr))
        t_overflow(*f, t_overflow_data); // switches away for good
    // Not a fiber's guard: whoever handled it before, or the default.
    if ((g_previous_segv.sa_flags & SA_SIGINFO) && g_previous_segv.sa_sigaction) {
        g_previous_segv.sa_sigaction(sig, info, uc);
    } else if (g_previous_segv.sa_handler != SIG_DFL && g_previous_segv.sa_handler != SIG_IGN) {
        g_previous_segv.sa_handler(sig);
    } else {
        signal(SIGSEGV, SIG_DFL); // the faulting access repeats and ends the process
    }
}

void install_overflow_detection() {
    if (!t_alt_stack) {
        // The overflowing stack cannot run the handler: it runs on its own.
        void *p = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            stack_t ss{};
            ss.ss_sp = p;
            ss.ss_size = kAltStackSize;
            if (sigaltstack(&ss, nullptr) == 0)
                t_alt_stack = true;
            else
                munmap(p, kAltStackSize);
        }
    }
    std::call_once(g_segv_once, [] {
        struct sigaction sa{};
        sa.sa_sigaction = on_segv;
        sigemptyset(&sa.sa_mask);
        // No return from the handler on an overflow: SIGSEGV must not stay
        // blocked afterwards.
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigaction(SIGSEGV, &sa, &g_previous_segv);
    });
}
#endif

} // namespace

Fiber::Fiber() : tsan_(races::fiber_current()) {}

Fiber::Fiber(void (*entry)(void *), void *arg) : entry_(entry), arg_(arg) {
#ifndef TOLVANEX_NO_OVERFLOW_HANDLER
    install_overflow_detection();
#endif
    char *base = map_stack();
    lo_ = base + kGuardSize;
    size_ = kStackSize;
    // A stack from the pool held another context's frames.
    races::fresh(lo_, size_);
    tsan_ = races::fiber_create();
    asan_bottom_ = lo_;
    asan_size_ = size_;
    auto *top = reinterpret_cast<std::uintptr_t *>(lo_ + size_);
    auto *frame = top - 16;
    std::memset(frame, 0, 16 * sizeof(std::uintptr_t));
    std::uint32_t control[2] = {0x1F80, 0x037F}; // MXCSR and x87 control word at reset
#if defined(__x86_64__)
    std::memcpy(&frame[0], control, sizeof control);
    frame[3] = reinterpret_cast<std::uintptr_t>(&Fiber::start);   // r13
    frame[4] = reinterpret_cast<std::uintptr_t>(this);            // r12
    frame[7] = reinterpret_cast<std::uintptr_t>(&tolvanex_fiber_trampoline);
#else
    std::memcpy(&frame[0], control, sizeof control);
    frame[2] = reinterpret_cast<std::uintptr_t>(this);            // edi
    frame[3] = reinterpret_cast<std::uintptr_t>(&Fiber::start);   // esi
    frame[6] = reinterpret_cast<std::uintptr_t>(&tolvanex_fiber_trampoline);
#endif
    sp_ = frame;
}

Fiber::~Fiber() {
    release_stack();
    if (entry_)
        races::fiber_destroy(tsan_);
}

void Fiber::set_name(const char *name) { races::fiber_name(tsan_, name); }

void Fiber::release_stack() {
    if (!lo_)
        return;
    unmap_stack(lo_ - kGuardSize);
    lo_ = nullptr;
}

Fiber *Fiber::running() { return t_running; }

void Fiber::set_overflow_handler(OverflowHandler handler, void *data) {
    t_overflow = handler;
    t_overflow_data = data;
}

void Fiber::start(void *p) {
    auto *self = static_cast<Fiber *>(p);
#ifdef TOLVANEX_ASAN
    const void *bottom = nullptr;
    std::size_t size = 0;
    __sanitizer_finish_switch_fiber(nullptr, &bottom, &size);
    if (t_from && !t_from->asan_bottom_) {
        t_from->asan_bottom_ = bottom;
        t_from->asan_size_ = size;
    }
#endif
    self->entry_(self->arg_);
    std::abort(); // the entry switches away for good instead
}

void Fiber::switch_to(Fiber &from, Fiber &to, bool final) {
    auto *eh = reinterpret_cast<EhGlobals *>(abi::__cxa_get_globals());
    from.caught_ = eh->caught;
    from.uncaught_ = eh->uncaught;
    eh->caught = to.caught_;
    eh->uncaught = to.uncaught_;
    t_running = &to;
    t_from = &from;
#ifdef TOLVANEX_ASAN
    __sanitizer_start_switch_fiber(final ? nullptr : &from.fake_stack_, to.asan_bottom_, to.asan_size_);
#else
    (void)final;
#endif
    races::fiber_switch(to.tsan_);
    tolvanex_fiber_switch(&from.sp_, to.sp_);
#ifdef TOLVANEX_ASAN
    const void *bottom = nullptr;
    std::size_t size = 0;
    __sanitizer_finish_switch_fiber(from.fake_stack_, &bottom, &size);
    if (t_from && !t_from->asan_bottom_) {
        t_from->asan_bottom_ = bottom;
        t_from->asan_size_ = size;
    }
#endif
}

} // namespace tolvanex::host
