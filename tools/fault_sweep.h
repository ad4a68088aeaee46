// Systematic fault sweeps: a clean run counts the calls at every fault site
// the scenario reaches, then one run per (site, k) fails exactly the k-th
// call at that site. Under the fault the scenario's expectations only
// advise; the invariants (no verifier stop, nothing left after halt, every
// send completed once, halt returns) must hold in every run.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "scenario.h"

namespace tolvanex::sim {

struct FaultSweep {
    ScenarioOptions base;           // the scenario, seed and configuration
    std::vector<std::string> sites; // empty: every site the clean run reaches
    double max_wall = 0;            // seconds per run; 0: no limit
    // The command line that repeats a run with the given faults.
    std::function<std::string(const ScenarioOptions &)> replay;
};

// Prints one table per site to `out`, and each broken run with its replay
// command. Returns kPassed when every invariant held in every run, kFailed
// when one broke or a named site was never reached, or the clean run's
// status when the clean run fails.
int run_fault_sweep(const FaultSweep &sweep, std::ostream &out, std::ostream &err);

// "SITE:K" as --fault takes it; false when malformed.
bool parse_fault(const std::string &text, std::pair<std::string, unsigned> &out);

} // namespace tolvanex::sim
