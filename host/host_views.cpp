// The executive's state as host.h shows it: each answer read from the part
// that keeps it, so the parts themselves stay private to host/.
#include "host.h"
#include "nt/io_manager.h"
#include "nt/kernel.h"
#include "nt/memory.h"

namespace tolvanex::host {

std::size_t Host::live_blocks() { return memory().live().size(); }

bool Host::block_live(const void *block) { return memory().is_live(block); }

std::size_t Host::block_length(const void *block) {
    auto &live = memory().live();
    auto it = live.find(block);
    return it == live.end() ? 0 : it->second.length;
}

std::size_t Host::allocations() { return memory().allocations(); }

void Host::set_memory_limit(std::size_t bytes) { memory().set_limit(bytes); }

std::uint64_t Host::context_switches() { return kernel().switches(); }

std::optional<Ticks> Host::next_deadline() { return kernel().next_deadline(); }

bool Host::timer_armed(const void *timer) { return kernel().timer_armed(timer); }

std::vector<std::string> Host::driver_threads_alive() {
    std::vector<std::string> names;
    for (auto &c : kernel().contexts())
        if (c->driver_owned && c->state != ContextState::Finished)
            names.push_back(c->name);
    return names;
}

std::vector<std::string> Host::links() { return objects().links(); }

bool Host::link_exists(const std::string &link) { return objects().link_exists(link); }

std::string Host::link_target(const std::string &link) { return objects().link_target(link); }

std::int32_t Host::create_link(const std::string &link, const std::string &target) {
    return objects().create_link(link, target);
}

std::vector<std::string> Host::outstanding_irps() { return objects().outstanding(); }

} // namespace tolvanex::host
