// Fault injection: any host operation that can fail on NT asks here, by the
// name of its site, whether this call is to fail.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tolvanex::host {

class Faults {
  public:
    explicit Faults(std::uint64_t seed);
    Faults(const Faults &) = delete; // the recent sites point into calls_
    Faults &operator=(const Faults &) = delete;

    // The n-th call (counting from 1) at `site` fails.
    void fail_nth(std::string site, unsigned n);
    // Every call at `site` fails.
    void fail_every(std::string site);
    // Systematic: the first call at each distinct site fails, once per site.
    void fail_each_site_once();
    // Each call at a site starting with `prefix` ("" = every site) fails with
    // probability p, drawn from the seed.
    void fail_with_probability(double p, std::string prefix = {});
    void clear();

    // Counts the call and decides. Used by the host's NT surface only.
    // Every NT call the driver makes asks, so the common case (a site asked
    // lately, no rule) stays inline.
    bool check(std::string_view site) {
        // Two ways per set: a frame's sites must not evict each other.
        std::size_t set = (reinterpret_cast<std::uintptr_t>(site.data()) * 0x9E3779B97F4A7C15ULL) >> 59;
        Recent *recent = &recent_[set][0];
        if (!recent->holds(site)) [[unlikely]] {
            if (recent_[set][1].holds(site))
                std::swap(recent_[set][0], recent_[set][1]);
            else
                remember(recent_[set], site);
        }
        unsigned n = ++*recent->calls;
        if (rules_.empty() && !each_once_)
            return false;
        return decide(site, n);
    }

    unsigned calls(std::string_view site) const;
    std::vector<std::string> sites_seen() const;
    // "site#n" for every injected failure, in order.
    const std::vector<std::string> &injected() const { return injected_; }

  private:
    struct Recent;
    void remember(Recent (&set)[2], std::string_view site);
    bool decide(std::string_view site, unsigned n);
    struct Rule {
        enum Kind { Nth, Every, Probability } kind;
        std::string site; // site name, or prefix for Probability
        unsigned n = 0;
        double p = 0;
    };
    std::vector<Rule> rules_;
    bool each_once_ = false;
    std::set<std::string, std::less<>> already_failed_;
    std::map<std::string, unsigned, std::less<>> calls_;
    // Sites asked lately, each with its count in calls_, by the address of
    // the caller's text: a frame asks the same few sites over and over.
    struct Recent {
        const char *asked = nullptr; // the text the caller passed
        std::string_view site;       // the key in calls_
        unsigned *calls = nullptr;
        bool holds(std::string_view s) const { return calls && asked == s.data() && site == s; }
    };
    Recent recent_[32][2]; // the most recently used of a set first
    std::vector<std::string> injected_;
    std::mt19937_64 rng_;
};

} // namespace tolvanex::host
