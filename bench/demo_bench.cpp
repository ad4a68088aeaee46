// The demonstration end to end: what `make run` costs in wall time, story,
// driver, exchange and Lua together, with nothing printed.

#include <benchmark/benchmark.h>

#include <sstream>

#include "scenario.h"

namespace {

void BM_Demonstration(benchmark::State &state) {
    tolvanex::sim::ScenarioOptions options;
    options.script = "demo";
    options.quiet = true;
    options.timeline = false;
    options.config = std::filesystem::path(TOLVANEX_SOURCE_DIR) / "configs" / "default.reg";
    options.seed = static_cast<std::uint64_t>(state.range(0));
    double virtual_seconds = 0;
    for (auto _ : state) {
        std::ostringstream out, err;
        auto r = tolvanex::sim::run_scenario(options, out, err);
        if (r.status != tolvanex::sim::kPassed)
            state.SkipWithError("the demonstration failed");
        virtual_seconds = r.virtual_seconds;
    }
    state.counters["virtual_s"] = virtual_seconds;
}
BENCHMARK(BM_Demonstration)->Arg(0)->Arg(7)->Unit(benchmark::kMillisecond);

} // namespace
