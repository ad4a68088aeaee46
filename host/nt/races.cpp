// ThreadSanitizer's fiber and annotation interface, and the hook that turns
// its report into a verifier stop. The report is only noted where TSan makes
// it (inside its runtime, with its locks held); the scheduler raises the
// stop at the context's next scheduling point.

#include "nt/races.h"

#ifdef TOLVANEX_RACES

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

extern "C" {
void *__tsan_get_current_fiber();
void *__tsan_create_fiber(unsigned flags);
void __tsan_destroy_fiber(void *fiber);
void __tsan_switch_to_fiber(void *fiber, unsigned flags);
void __tsan_set_fiber_name(void *fiber, const char *name);
void __tsan_acquire(void *addr);
void __tsan_release(void *addr);
void AnnotateNewMemory(const char *file, int line, const volatile void *mem, std::size_t size);
int __tsan_get_report_data(void *report, const char **description, int *count, int *stack_count, int *mop_count,
                           int *loc_count, int *mutex_count, int *thread_count, int *unique_tid_count,
                           void **sleep_trace, std::uintptr_t trace_size);
int __tsan_get_report_mop(void *report, std::uintptr_t idx, int *tid, void **addr, int *size, int *write,
                          int *atomic, void **trace, std::uintptr_t trace_size);
int __tsan_get_report_thread(void *report, std::uintptr_t idx, int *tid, std::uint64_t *os_id, int *running,
                             const char **name, int *parent_tid, void **trace, std::uintptr_t trace_size);
void __sanitizer_symbolize_pc(void *pc, const char *fmt, char *out, std::size_t out_size);
void __tsan_on_report(void *report);
}

namespace tolvanex::host::races {

namespace {

constexpr unsigned kNoSync = 1; // __tsan_switch_to_fiber_no_sync
constexpr std::size_t kFrames = 8;

struct Access {
    int tid = 0;
    std::uintptr_t addr = 0;
    int size = 0;
    bool write = false;
    bool atomic = false;
    void *pcs[kFrames] = {};
};

struct Report {
    std::string kind;
    std::vector<Access> accesses;
    std::map<int, std::string> names;
};

// Written inside TSan's callback: plain storage, no allocation beyond what
// the report needs.
bool g_pending = false;
Report g_report;

// The runs of one process (a seed sweep, the test suites) share the driver's
// globals; in NT each would be a fresh boot.
char g_between_runs;

// The source frames of one return address, innermost first; inlined calls
// give more than one.
std::vector<std::string> frames_at(void *pc) {
    char buf[2048];
    std::memset(buf, 0, sizeof buf);
    __sanitizer_symbolize_pc(pc, "%s:%l %f", buf, sizeof buf - 1);
    std::vector<std::string> out;
    std::string root = TOLVANEX_SOURCE_DIR "/";
    for (const char *p = buf; *p && p < buf + sizeof buf; p += std::strlen(p) + 1) {
        std::string s = p;
        // Paths relative to the source tree read better and do not depend
        // on the build machine.
        if (s.compare(0, root.size(), root) == 0)
            s.erase(0, root.size());
        out.push_back(std::move(s));
    }
    return out;
}

// Driver code, as opposed to the host that called into it.
bool driver_frame(const std::string &f) {
    return !f.empty() && f[0] != '<' && f[0] != '/' && f.compare(0, 5, "host/") != 0;
}

} // namespace

void *fiber_current() { return __tsan_get_current_fiber(); }
void *fiber_create() { return __tsan_create_fiber(0); }
void fiber_destroy(void *fiber) {
    if (!fiber)
        return;
    void *self = __tsan_get_current_fiber();
    __tsan_switch_to_fiber(fiber, kNoSync);
    __tsan_release(&g_between_runs);
    __tsan_switch_to_fiber(self, kNoSync);
    __tsan_destroy_fiber(fiber);
}

void new_run() { __tsan_acquire(&g_between_runs); }
void fiber_switch(void *to) { __tsan_switch_to_fiber(to, kNoSync); }
void fiber_name(void *fiber, const char *name) { __tsan_set_fiber_name(fiber, name); }

void release(const void *key) { __tsan_release(const_cast<void *>(key)); }
void acquire(const void *key) { __tsan_acquire(const_cast<void *>(key)); }
void fresh(const void *p, std::size_t n) {
    if (p && n)
        AnnotateNewMemory(__FILE__, __LINE__, p, n);
}

bool pending() { return g_pending; }

std::string take_report() {
    Report r = std::move(g_report);
    g_report = {};
    g_pending = false;
    std::string out = r.kind;
    for (std::size_t i = 0; i < r.accesses.size(); ++i) {
        const Access &a = r.accesses[i];
        if (i == 0) {
            char at[64];
            std::snprintf(at, sizeof at, " on %d bytes at 0x%llx", a.size, static_cast<unsigned long long>(a.addr));
            out += at;
        }
        out += i == 0 ? ": " : "; earlier ";
        out += std::string(a.atomic ? "atomic " : "") + (a.write ? "write" : "read");
        auto name = r.names.find(a.tid);
        out += " by " + (name != r.names.end() && !name->second.empty() ? name->second
                                                                        : "thread T" + std::to_string(a.tid));
        // The access itself, then its callers, as far as the driver goes.
        int shown = 0;
        void *previous = nullptr;
        for (void *pc : a.pcs) {
            if (!pc || shown == 4)
                break;
            if (pc == previous) // TSan repeats the address of each inlined call
                continue;
            previous = pc;
            bool done = false;
            for (const std::string &f : frames_at(pc)) {
                if (!driver_frame(f) || shown == 4) {
                    done = shown > 0;
                    break;
                }
                out += (shown == 0 ? " at " : " <- ") + f;
                ++shown;
            }
            if (done)
                break;
        }
    }
    return out;
}

} // namespace tolvanex::host::races

extern "C" __attribute__((visibility("default"))) void __tsan_on_report(void *report) {
    using namespace tolvanex::host::races;
    const char *description = nullptr;
    int count = 0, stacks = 0, mops = 0, locs = 0, mutexes = 0, threads = 0, unique = 0;
    void *sleep[1];
    if (!__tsan_get_report_data(report, &description, &count, &stacks, &mops, &locs, &mutexes, &threads, &unique,
                                sleep, 1))
        return;
    if (g_pending)
        return; // the first report stops the run; later ones are TSan's to print
    g_pending = true;
    g_report.kind = description ? description : "race";
    for (int i = 0; i < mops; ++i) {
        Access a;
        void *addr = nullptr;
        int write = 0, atomic = 0;
        __tsan_get_report_mop(report, i, &a.tid, &addr, &a.size, &write, &atomic, a.pcs, kFrames);
        a.addr = reinterpret_cast<std::uintptr_t>(addr);
        a.write = write;
        a.atomic = atomic;
        g_report.accesses.push_back(a);
    }
    for (int i = 0; i < threads; ++i) {
        int tid = 0, running = 0, parent = 0;
        std::uint64_t os_id = 0;
        const char *name = nullptr;
        void *trace[1];
        if (__tsan_get_report_thread(report, i, &tid, &os_id, &running, &name, &parent, trace, 1))
            g_report.names[tid] = name ? name : "";
    }
}


#endif
