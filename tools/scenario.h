// Lua scenarios: a script drives the host (driver, registry, NDIS requests,
// WAN sends, time, faults, the ISDN driver and its exchange) and states
// what it expects to observe. Expectations are strict: anything observed
// that no expectation consumed fails the script at the next checkpoint.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tolvanex::sim {

enum ExitStatus : int { kPassed = 0, kFailed = 1, kUsage = 2, kVerifierStopped = 3 };

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
    std::string lang = "en";
    std::optional<std::filesystem::path> config; // imported before the script runs
    std::optional<std::filesystem::path> trace_file;
    std::optional<std::filesystem::path> pcap_file;
    std::string replay;              // the command line that repeats this run
};

struct ScenarioResult {
    int status = kPassed;
    std::string summary; // one line: what failed and where, or how it passed
    double virtual_seconds = 0;
    std::size_t expectations = 0;
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
