// Fibers: flows of control on one OS thread, each on its own stack, handed
// over with a plain stack switch (no system call). Stacks come from mmap with
// a guard page below; running into the guard is reported to an overflow
// handler instead of crashing the process.
#pragma once

#include <cstddef>

namespace tolvanex::host {

class Fiber {
  public:
    // The OS thread's own stack, already running.
    Fiber();
    // A new stack that runs entry(arg) when first switched to. `entry` never
    // returns: it ends by switching away for the last time.
    Fiber(void (*entry)(void *), void *arg);
    ~Fiber();
    Fiber(const Fiber &) = delete;
    Fiber &operator=(const Fiber &) = delete;

    // Switches from the running fiber `from` to `to`. Returns when some fiber
    // switches back to `from`. With `final`, `from` is never resumed.
    static void switch_to(Fiber &from, Fiber &to, bool final = false);

    // The fiber running on this OS thread, if any was entered.
    static Fiber *running();

    // Called, on the signal stack, when the running fiber hits its guard
    // page; it must switch away and never return.
    using OverflowHandler = void (*)(Fiber &overflowed, void *data);
    static void set_overflow_handler(OverflowHandler handler, void *data);

    // Gives the stack back to the pool; the fiber must never run again.
    void release_stack();
    std::size_t stack_size() const { return size_; }
    // The name the race detector gives this fiber's accesses.
    void set_name(const char *name);
    static constexpr std::size_t kGuardSize = 64 * 1024;

  private:
    static void start(void *self);
    friend struct FiberAccess;

    void *sp_ = nullptr;
    char *lo_ = nullptr; // usable stack, above the guard
    std::size_t size_ = 0;
    void (*entry_)(void *) = nullptr;
    void *arg_ = nullptr;
    // Exception-handling state of the thread while this fiber runs.
    void *caught_ = nullptr;
    unsigned uncaught_ = 0;
    // AddressSanitizer's view of this stack.
    void *fake_stack_ = nullptr;
    const void *asan_bottom_ = nullptr;
    std::size_t asan_size_ = 0;
    // ThreadSanitizer's fiber, in the race build.
    void *tsan_ = nullptr;
};

} // namespace tolvanex::host
