// Goodput of TCP across a call, the Linux stack at both ends (tun-demo with
// one ping and 200 KB): the line's 64,000 bit/s is the ceiling, about 96 %
// of it once PPP, IP and TCP headers are paid. Real time: one iteration.

#include <benchmark/benchmark.h>

#include <regex>
#include <sstream>

#include "scenario.h"

namespace {

void BM_TunTcpGoodput(benchmark::State &state) {
    tolvanex::sim::ScenarioOptions options;
    options.script = "tun-demo";
    options.args = {"1", "204800"};
    double goodput = 0;
    for (auto _ : state) {
        std::ostringstream out, err;
        auto r = tolvanex::sim::run_scenario(options, out, err);
        if (r.status == tolvanex::sim::kUsage) {
            state.SkipWithError("no TUN devices in network namespaces here");
            break;
        }
        if (r.status != tolvanex::sim::kPassed) {
            state.SkipWithError("the transfer failed");
            break;
        }
        std::smatch m;
        std::string text = out.str();
        if (std::regex_search(text, m, std::regex("goodput: .* = ([0-9]+) bit/s")))
            goodput = std::stod(m[1]);
    }
    state.counters["goodput_bps"] = goodput;
    state.counters["of_64000_pct"] = goodput / 640;
}
BENCHMARK(BM_TunTcpGoodput)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
