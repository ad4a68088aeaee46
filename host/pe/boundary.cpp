#include "pe/boundary.h"

#include <csetjmp>
#include <cstdio>
#include <map>
#include <vector>

#include "nt/kernel.h"

namespace tolvanex::host::pe {

namespace {

struct Entry {
    std::jmp_buf jump;
    std::exception_ptr pending;
};

// Per context, since each has its own stack: the calls into the image, and
// the imports' return addresses, innermost last.
struct Edge {
    std::vector<Entry *> entries;
    std::vector<const void *> returns;
};
std::map<const void *, Edge> g_edges;

const void *context_key() {
    Host *h = Host::current_or_null();
    return h ? static_cast<const void *>(&h->kernel().current()) : nullptr;
}

Edge &edge() { return g_edges[context_key()]; }

void forget_if_idle(const void *key) {
    auto it = g_edges.find(key);
    if (it != g_edges.end() && it->second.entries.empty() && it->second.returns.empty())
        g_edges.erase(it);
}

// Kept out of line so that nothing of the caller's lives in registers
// across the jump.
[[gnu::noinline]] bool run(Entry *entry, void (*body)(void *), void *arg) {
    if (setjmp(entry->jump) != 0)
        return false;
    body(arg);
    return true;
}

} // namespace

void enter_image(void (*body)(void *), void *arg) {
    Entry entry;
    const void *key = context_key();
    g_edges[key].entries.push_back(&entry);
    bool returned = run(&entry, body, arg);
    // The context is the same one: a context only ever resumes on its own stack.
    auto &entries = g_edges[key].entries;
    entries.pop_back();
    forget_if_idle(key);
    if (!returned)
        std::rethrow_exception(entry.pending);
}

void leave_image(std::exception_ptr e) {
    Edge &ed = edge();
    if (ed.entries.empty()) {
        // Only reachable if the host called the image without enter_image.
        std::fprintf(stderr, "tolvanex: an exception left an import with no call into the image below it\n");
        std::abort();
    }
    Entry *entry = ed.entries.back();
    entry->pending = std::move(e);
    std::longjmp(entry->jump, 1);
}

ImportCall::ImportCall(const void *image_return) { edge().returns.push_back(image_return); }

ImportCall::~ImportCall() {
    const void *key = context_key();
    g_edges[key].returns.pop_back();
    forget_if_idle(key);
}

const void *import_return() {
    auto it = g_edges.find(context_key());
    if (it == g_edges.end() || it->second.returns.empty())
        return nullptr;
    return it->second.returns.back();
}

} // namespace tolvanex::host::pe
