#include "fault_sweep.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>

#include "wall_limit.h"

namespace tolvanex::sim {

namespace {

struct Broken {
    unsigned k;
    int status;
    std::string what, replay;
};

struct SiteRow {
    std::string site;
    unsigned calls = 0, runs = 0, held = 0, advised = 0;
    std::vector<Broken> broken;
};

ScenarioResult run_one(const ScenarioOptions &o, double max_wall, const std::string &label) {
    std::ostringstream out, err;
    arm_wall_limit(max_wall, label, o.replay);
    ScenarioResult r;
    try {
        r = run_scenario(o, out, err);
    } catch (const std::exception &e) {
        r.status = kUsage;
        r.summary = e.what();
    }
    disarm_wall_limit();
    return r;
}

std::string first_line(const std::string &s) {
    return s.substr(0, s.find('\n'));
}

} // namespace

bool parse_fault(const std::string &text, std::pair<std::string, unsigned> &out) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || colon + 10 < text.size())
        return false;
    std::string k = text.substr(colon + 1);
    if (k.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long n = std::stoul(k);
    if (n == 0)
        return false;
    out = {text.substr(0, colon), static_cast<unsigned>(n)};
    return true;
}

int run_fault_sweep(const FaultSweep &sweep, std::ostream &out, std::ostream &err) {
    auto start = std::chrono::steady_clock::now();
    ScenarioOptions clean = sweep.base;
    clean.quiet = true;
    clean.timeline = false;
    clean.report = false;
    clean.replay = sweep.replay(clean);
    ScenarioResult baseline = run_one(clean, sweep.max_wall, "the clean run of " + clean.script);
    if (baseline.status != kPassed) {
        err << "tolvanex-sim: the clean run of " << clean.script
            << " does not pass, so no fault can be judged: " << first_line(baseline.summary)
            << "\nreplay: " << clean.replay << '\n';
        return baseline.status;
    }

    std::vector<std::string> sites = sweep.sites;
    if (sites.empty())
        for (auto &[site, n] : baseline.site_calls)
            sites.push_back(site);
    std::vector<SiteRow> rows;
    std::vector<std::string> unreached;
    std::size_t runs = 0, broken = 0;
    for (const std::string &site : sites) {
        auto it = baseline.site_calls.find(site);
        if (it == baseline.site_calls.end() || it->second == 0) {
            unreached.push_back(site);
            continue;
        }
        SiteRow row{site, it->second};
        // The first k-1 calls are those of the clean run, so the k-th is
        // reached for every k up to the clean count and for none beyond.
        for (unsigned k = 1; k <= row.calls; ++k) {
            ScenarioOptions o = sweep.base;
            o.quiet = true;
            o.timeline = false;
            o.report = false;
            o.advisory = true;
            o.faults.push_back({site, k});
            o.replay = sweep.replay(o);
            ScenarioResult r = run_one(o, sweep.max_wall, "the run failing " + site + " call " + std::to_string(k));
            ++row.runs;
            ++runs;
            std::string mark = site + "#" + std::to_string(k);
            bool reached = std::find(r.injected.begin(), r.injected.end(), mark) != r.injected.end();
            if (r.status == kPassed && reached) {
                ++row.held;
                if (!r.note.empty())
                    ++row.advised;
                continue;
            }
            std::string what =
                reached ? first_line(r.summary) : "the fault was never reached: the run differs from the clean one";
            row.broken.push_back({k, reached ? r.status : kFailed, what, o.replay});
            ++broken;
        }
        rows.push_back(std::move(row));
    }

    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char line[256];
    out << "fault sweep of " << clean.script << " (seed " << clean.seed << "): " << rows.size() << " site(s), " << runs
        << " run(s)\n";
    std::snprintf(line, sizeof line, "  %-36s %6s %6s %6s %8s\n", "site", "calls", "held", "broken", "advised");
    out << line;
    for (const SiteRow &row : rows) {
        std::snprintf(line, sizeof line, "  %-36s %6u %6u %6zu %8u\n", row.site.c_str(), row.calls, row.held,
                      row.broken.size(), row.advised);
        out << line;
        for (const Broken &b : row.broken)
            out << "    call " << b.k << ": exit " << b.status << ": " << b.what << "\n      replay: " << b.replay
                << '\n';
    }
    for (const std::string &site : unreached)
        out << "  " << site << ": never reached by " << clean.script << '\n';
    std::snprintf(line, sizeof line, "%.2f", wall);
    out << clean.script << ": " << runs << " fault run(s) in " << line << " s of wall time: " << runs - broken
        << " held the invariants, " << broken << " broke them";
    if (!unreached.empty())
        out << ", " << unreached.size() << " site(s) never reached";
    out << "\n(advised: runs where an expectation of the scenario did not hold under the fault)\n";
    return broken || !unreached.empty() ? kFailed : kPassed;
}

} // namespace tolvanex::sim
