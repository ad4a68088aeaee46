// Non-paged pool as the driver sees it through NdisAllocateMemory: every
// block tracked with its length and where it was allocated.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host.h"

namespace tolvanex::host {

struct Block {
    std::size_t length = 0;
    std::string context;
    Ticks time = 0;
    std::string where; // the routine that asked for it
};

class Memory {
  public:
    Memory() = default;
    ~Memory();
    Memory(const Memory &) = delete;
    Memory &operator=(const Memory &) = delete;

    // Fresh blocks are filled with this byte, so reads of memory the driver
    // never wrote are visible and reproducible.
    static constexpr unsigned char kFill = 0xCD;

    void *allocate(std::size_t length, const std::string &where);
    // Verifier rules on a free; returns normally when it was legal.
    void release(void *p, std::size_t length);

    bool is_live(const void *p) const { return blocks_.count(p) > 0; }
    const std::map<const void *, Block> &live() const { return blocks_; }
    std::size_t live_bytes() const;
    std::size_t allocations() const { return allocations_; }
    // Bytes the driver may hold at once; beyond it the run stops (0: no bound).
    void set_limit(std::size_t bytes) { limit_ = bytes; }

  private:
    std::size_t limit_ = 0;
    std::size_t held_ = 0;
    static constexpr std::size_t kQuarantine = 64; // frees held back before reuse
    static constexpr std::size_t kSpares = 256;    // blocks past quarantine kept for reuse
    static constexpr std::size_t kSpareEntries = 16; // live-table entries kept for reuse
    std::map<const void *, Block> blocks_;
    // Table entries of freed blocks, kept to record the next allocations in.
    std::vector<std::map<const void *, Block>::node_type> spare_entries_;
    std::deque<std::pair<void *, std::size_t>> quarantine_;
    // Blocks past quarantine kept by length for the next request of that
    // length: a frame's blocks come and go at a steady few sizes.
    std::map<std::size_t, std::vector<void *>> spare_;
    std::size_t spare_count_ = 0;
    std::size_t allocations_ = 0;
};

// The name of the function containing `address`, for reports; looked up
// once per address.
std::string symbol_name(const void *address);
const std::string &symbol_name_ref(const void *address);

// Names code the dynamic linker does not know (a loaded NT image); asked
// first by symbol_name. Null removes it.
using SymbolSource = std::optional<std::string> (*)(const void *address);
void set_symbol_source(SymbolSource source);

} // namespace tolvanex::host
