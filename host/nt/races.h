// The race detector's view of the machine. In the race build the driver is
// compiled with ThreadSanitizer and the host is not: each context is a TSan
// fiber, switched without synchronisation, so the only orderings TSan sees
// between driver accesses are the ones the NT primitives below announce.
// In every other build these are empty and cost nothing.
#pragma once

#include <cstddef>
#include <string>

namespace tolvanex::host::races {

#ifdef TOLVANEX_RACES
constexpr bool kEnabled = true;
void *fiber_current();
void *fiber_create();
// Hands what the ended fiber did to the next run, then forgets the fiber.
void fiber_destroy(void *fiber);
// A new run begins after everything the runs before it did.
void new_run();
void fiber_switch(void *to);
void fiber_name(void *fiber, const char *name);

// What the context did so far happens before what a later acquire of the
// same key does.
void release(const void *key);
void acquire(const void *key);
// Memory handed to the driver afresh (a new allocation, a request buffer, a
// reused stack): earlier accesses to it no longer count.
void fresh(const void *p, std::size_t n);

// Whether TSan reported something since the last take_report.
bool pending();
// The report, with each access's driver file and line and context; clears it.
std::string take_report();
#else
constexpr bool kEnabled = false;
inline void *fiber_current() { return nullptr; }
inline void *fiber_create() { return nullptr; }
inline void fiber_destroy(void *) {}
inline void new_run() {}
inline void fiber_switch(void *) {}
inline void fiber_name(void *, const char *) {}
inline void release(const void *) {}
inline void acquire(const void *) {}
inline void fresh(const void *, std::size_t) {}
inline bool pending() { return false; }
inline std::string take_report() { return {}; }
#endif

} // namespace tolvanex::host::races
