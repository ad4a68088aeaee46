#include "nt/memory.h"
#include "nt/races.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <unordered_map>

#include "nt/kernel.h"
#include "ndis.h"

namespace tolvanex::host {

namespace {
SymbolSource g_symbol_source = nullptr;
// Code does not move while it is loaded, so each address is looked up once:
// an allocation site asks on every call. A new symbol source (an image
// loaded or gone) starts the cache afresh.
std::unordered_map<const void *, std::string> g_names;

std::string look_up_symbol(const void *address) {
    if (g_symbol_source)
        if (auto name = g_symbol_source(address))
            return *name;
    Dl_info info{};
    if (dladdr(address, &info) && info.dli_sname) {
        int status = 0;
        char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && demangled ? demangled : info.dli_sname;
        std::free(demangled);
        // "ns::Routine(void*)" reads as "Routine" in traces and reports.
        if (!name.empty() && name.back() == ')') {
            int depth = 0;
            for (std::size_t i = name.size(); i-- > 0;) {
                depth += name[i] == ')' ? 1 : name[i] == '(' ? -1 : 0;
                if (depth == 0) {
                    name.erase(i);
                    break;
                }
            }
        }
        if (auto colons = name.rfind("::"); colons != std::string::npos)
            name.erase(0, colons + 2);
        return name;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", address);
    return buf;
}

// Every byte of a fresh block gets the fill. glibc's memset stores whole
// vectors below 2 KiB and turns to a string instruction above, which
// instruction counts charge per byte; so the fill goes in pieces, through a
// pointer the compiler cannot turn back into an inline string instruction.
void fill(void *p, std::size_t length) {
    static void *(*const volatile set)(void *, int, std::size_t) = std::memset;
    constexpr std::size_t kPiece = 1024;
    auto *b = static_cast<unsigned char *>(p);
    while (length) {
        std::size_t n = std::min(length, kPiece);
        set(b, Memory::kFill, n);
        b += n;
        length -= n;
    }
}

} // namespace

void set_symbol_source(SymbolSource source) {
    g_symbol_source = source;
    g_names.clear();
}

const std::string &symbol_name_ref(const void *address) {
    auto it = g_names.find(address);
    if (it == g_names.end())
        it = g_names.emplace(address, look_up_symbol(address)).first;
    return it->second;
}

std::string symbol_name(const void *address) { return symbol_name_ref(address); }

Memory::~Memory() {
    for (auto &[p, b] : blocks_)
        std::free(const_cast<void *>(p));
    for (auto &[p, n] : quarantine_)
        std::free(p);
    for (auto &[n, list] : spare_)
        for (void *p : list)
            std::free(p);
}

void *Memory::allocate(std::size_t length, const std::string &where) {
    if (limit_ && length > limit_ - std::min(limit_, held_))
        rt::violation("memory.limit", "allocating " + std::to_string(length) + " bytes by " + where + " with " +
                                          std::to_string(held_) + " held passes the run's bound of " +
                                          std::to_string(limit_) + " bytes");
    void *p = nullptr;
    if (auto spare = spare_.find(length); spare != spare_.end() && !spare->second.empty()) {
        p = spare->second.back();
        spare->second.pop_back();
        --spare_count_;
    } else {
        p = std::malloc(length ? length : 1);
    }
    if (!p)
        throw HostError("host out of memory");
    fill(p, length);
    races::fresh(p, length);
    auto &k = Kernel::running();
    Block block{length, k.current().name, k.now(), where};
    if (!spare_entries_.empty()) {
        auto entry = std::move(spare_entries_.back());
        spare_entries_.pop_back();
        entry.key() = p;
        entry.mapped() = std::move(block);
        blocks_.insert(std::move(entry));
    } else {
        blocks_.emplace(p, std::move(block));
    }
    ++allocations_;
    held_ += length;
    return p;
}

void Memory::release(void *p, std::size_t length) {
    auto it = blocks_.find(p);
    if (it == blocks_.end()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%p", p);
        rt::violation("memory.free-not-live", std::string("NdisFreeMemory of ") + buf + ", which is not a live block");
    }
    if (it->second.length != length)
        rt::violation("memory.free-wrong-length",
                      "NdisFreeMemory with length " + std::to_string(length) + " of a block of " +
                          std::to_string(it->second.length) + " bytes allocated by " + it->second.where);
    held_ -= it->second.length;
    if (spare_entries_.size() < kSpareEntries)
        spare_entries_.push_back(blocks_.extract(it));
    else
        blocks_.erase(it);
    // A freed address is not handed out again at once, so a stale pointer
    // never names a new block: the oldest of the recent frees goes back.
    quarantine_.emplace_back(p, length);
    if (quarantine_.size() > kQuarantine) {
        auto [old, old_length] = quarantine_.front();
        quarantine_.pop_front();
        if (kRecycle && spare_count_ < kSpares) {
            spare_[old_length].push_back(old);
            ++spare_count_;
        } else {
            std::free(old);
        }
    }
}

std::size_t Memory::live_bytes() const { return held_; }

} // namespace tolvanex::host

using namespace tolvanex::host;

extern "C" NDIS_STATUS NTAPI NdisAllocateMemory(PVOID *VirtualAddress, UINT Length, UINT MemoryFlags,
                                                NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress) {
    (void)HighestAcceptableAddress;
    const void *caller = __builtin_return_address(0);
    Host &h = Host::current();
    h.kernel().yield();
    if (rt::fault("NdisAllocateMemory")) {
        *VirtualAddress = nullptr;
        return NDIS_STATUS_FAILURE;
    }
    (void)MemoryFlags;
    *VirtualAddress = h.memory().allocate(Length, symbol_name_ref(caller));
    return NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
    (void)MemoryFlags;
    Host &h = Host::current();
    h.memory().release(VirtualAddress, Length);
    h.kernel().yield();
}
