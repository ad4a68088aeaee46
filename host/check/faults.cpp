#include "check/faults.h"

#include "runtime.h"

#include <cstdint>
#include <iterator>

namespace tolvanex::host {

Faults::Faults(std::uint64_t seed) : rng_(seed ^ 0x5eed'fa17'0000'0001ULL) {}

void Faults::fail_nth(std::string site, unsigned n) {
    if (site.empty() || n == 0)
        throw HostError("fail_nth needs a site name and a call number from 1");
    rules_.push_back({Rule::Nth, std::move(site), n, 0});
}

void Faults::fail_every(std::string site) {
    if (site.empty())
        throw HostError("fail_every needs a site name");
    rules_.push_back({Rule::Every, std::move(site), 0, 0});
}

void Faults::fail_each_site_once() { each_once_ = true; }

void Faults::fail_with_probability(double p, std::string prefix) {
    if (!(p >= 0.0 && p <= 1.0))
        throw HostError("fault probability must be between 0 and 1");
    rules_.push_back({Rule::Probability, std::move(prefix), 0, p});
}

void Faults::clear() {
    rules_.clear();
    each_once_ = false;
    already_failed_.clear();
}

// Most sites are literals, so the caller's pointer picks the entry; the text
// is still compared, since a pointer may be reused for another.
void Faults::remember(Recent (&set)[2], std::string_view site) {
    auto it = calls_.find(site);
    if (it == calls_.end())
        it = calls_.emplace(std::string(site), 0).first;
    set[1] = set[0];
    set[0] = {site.data(), it->first, &it->second};
}

bool Faults::decide(std::string_view site, unsigned n) {
    bool fail = false;
    for (const Rule &r : rules_) {
        switch (r.kind) {
        case Rule::Nth: fail |= r.site == site && r.n == n; break;
        case Rule::Every: fail |= r.site == site; break;
        case Rule::Probability:
            if (site.substr(0, r.site.size()) == r.site) {
                // Draw for every matching call so the sequence depends only
                // on the seed and the calls made.
                double u = static_cast<double>(rng_() >> 11) / static_cast<double>(1ULL << 53);
                fail |= u < r.p;
            }
            break;
        }
    }
    if (each_once_ && !already_failed_.count(site)) {
        already_failed_.emplace(site);
        fail = true;
    }
    if (fail)
        injected_.push_back(std::string(site) + "#" + std::to_string(n));
    return fail;
}

unsigned Faults::calls(std::string_view site) const {
    auto it = calls_.find(site);
    return it == calls_.end() ? 0 : it->second;
}

std::vector<std::string> Faults::sites_seen() const {
    std::vector<std::string> out;
    for (auto &[site, n] : calls_)
        out.push_back(site);
    return out;
}

} // namespace tolvanex::host
