// Lua scenarios: a script drives the host (driver, registry, NDIS requests,
// WAN sends, time, faults, the ISDN driver and its exchange) and states
// what it expects to observe. Expectations are strict: anything observed
// that no expectation consumed fails the script at the next checkpoint.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tolvanex::sim {

enum ExitStatus : int {
    kPassed = 0,
    kFailed = 1,
    kUsage = 2,
    kVerifierStopped = 3,
    kWallLimit = 4,     // a run outlived --max-wall (tools/wall_limit.h)
    kSanitizerReport = 5 // AddressSanitizer or UndefinedBehaviorSanitizer reported
};

struct ScenarioOptions {
    std::string script;              // a file, or the name of a built-in scenario
    std::vector<std::string> args;   // the script's `arg`
    std::uint64_t seed = 0;
    bool real_time = false;
    double real_time_rate = 1;       // virtual seconds per wall second
    std::string real_time_text;      // the rate as given, for the replay line
    bool quiet = false;              // nothing on stdout; failures still reach stderr
    bool timeline = true;            // echo the trace as it is made
    bool report = false;             // the event log and the summary after the run
    bool summary = false;            // the summary after the run
    std::optional<std::filesystem::path> summary_json; // the summary for tools
    std::string lang = "en";
    std::optional<std::filesystem::path> config; // imported before the script runs
    std::optional<std::filesystem::path> image;  // an NT image to run instead of the linked driver
    std::optional<std::filesystem::path> trace_file;
    std::optional<std::filesystem::path> pcap_file;
    std::optional<std::filesystem::path> ladder_file; // .msc, .svg, .png or .mmd
    std::string replay;              // the command line that repeats this run
    // Failures injected from the start: the k-th call at each site fails.
    std::vector<std::pair<std::string, unsigned>> faults;
    // Expectations only advise: a failed one (or a script error once a
    // fault was injected) ends the script and is noted; the run's status
    // then says only whether the invariants held.
    bool advisory = false;
    std::size_t max_memory = 0; // bytes of driver memory live at once; 0: no bound
    std::string command_line;        // as given, for the trace's header
};

struct ScenarioResult {
    int status = kPassed;
    std::string summary; // one line: what failed and where, or how it passed
    double virtual_seconds = 0;
    std::size_t expectations = 0;
    std::string note;                           // under `advisory`: the expectation that did not hold
    std::map<std::string, unsigned> site_calls; // calls per fault site
    std::vector<std::string> injected;          // "site#n" for every injected failure
};

ScenarioResult run_scenario(const ScenarioOptions &options, std::ostream &out, std::ostream &err);

// Scenarios built into the simulator (scenarios/*.lua at build time).
struct BuiltinScenario {
    const char *name;    // "outgoing"
    const char *summary; // the script's first comment line
    const char *text;
};
const std::vector<BuiltinScenario> &builtin_scenarios();
// Libraries a script may `require` (scenarios/lib/*.lua at build time).
const std::vector<BuiltinScenario> &builtin_libraries();

} // namespace tolvanex::sim
