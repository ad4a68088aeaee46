#include "run_summary.h"

#include <algorithm>
#include <cstdio>

#include "host_isdn.h"
#include "host_ndis.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {
constexpr double kLineRate = 64000.0; // bit/s of a B channel
double seconds(Ticks t) { return static_cast<double>(t) / kTicksPerSecond; }
} // namespace

nlohmann::json run_summary(Host &host, const std::string &verdict, int status) {
    nlohmann::json s;
    s["virtual_seconds"] = seconds(host.now());
    s["verdict"] = verdict;
    s["status"] = status;
    s["calls"] = nlohmann::json::array();
    s["channels"] = nlohmann::json::array();
    s["ndiswan"] = {{"frames_sent", host.ndiswan().packets().size()},
                    {"frames_received", host.ndiswan().received().size()}};
    if (!host.isdn().exchange_mode())
        return s;
    IsdnExchange &exchange = host.isdn().exchange();
    std::vector<double> busy(2, 0.0); // seconds each channel carried a connected call
    for (const auto &c : exchange.calls()) {
        nlohmann::json j;
        j["id"] = c.id;
        j["direction"] = c.outgoing ? "out" : "in";
        j["placed_by"] = c.outgoing ? "the driver (RAS dials " + c.remote + ")" : c.remote;
        j["party"] = c.remote;
        j["channel"] = c.channel >= 0 ? nlohmann::json("B" + std::to_string(c.channel + 1)) : nlohmann::json(nullptr);
        j["hcom"] = c.handle;
        j["started"] = seconds(c.started);
        j["connected"] = c.connected >= 0 ? nlohmann::json(seconds(c.connected)) : nlohmann::json(nullptr);
        j["released"] = c.released >= 0 ? nlohmann::json(seconds(c.released)) : nlohmann::json(nullptr);
        j["end"] = c.end.empty() ? std::string(isdn_call_state_name(c.state)) : c.end;
        j["cause"] = c.cause;
        j["cause_name"] = isdn_cause_name(c.cause);
        if (c.connected >= 0 && c.channel >= 0 && c.channel < 2)
            busy[c.channel] += seconds((c.released >= 0 ? c.released : host.now()) - c.connected);
        s["calls"].push_back(j);
    }
    const auto ch = exchange.channels();
    for (std::size_t i = 0; i < ch.size() && i < 2; ++i) {
        auto goodput = [&](std::uint64_t bytes) {
            return busy[i] > 0 ? static_cast<double>(bytes) * 8 / busy[i] / kLineRate : 0.0;
        };
        s["channels"].push_back({{"channel", "B" + std::to_string(i + 1)},
                                 {"connected_seconds", busy[i]},
                                 {"to_network", {{"frames", ch[i].frames_out}, {"bytes", ch[i].bytes_out},
                                                 {"goodput", goodput(ch[i].bytes_out)}}},
                                 {"from_network", {{"frames", ch[i].frames_in}, {"bytes", ch[i].bytes_in},
                                                   {"goodput", goodput(ch[i].bytes_in)}}}});
    }
    return s;
}

void print_summary(std::ostream &out, const nlohmann::json &s) {
    char line[256];
    out << "Summary\n";
    for (auto &c : s["calls"]) {
        char at[64] = "never connected";
        if (!c["connected"].is_null())
            std::snprintf(at, sizeof at, "connected at %.3f s", c["connected"].get<double>());
        std::string connected = at;
        std::string end = c["end"].get<std::string>();
        if (c["cause"].get<int>() != 0)
            end += " (" + c["cause_name"].get<std::string>() + ")";
        std::snprintf(line, sizeof line, "  call %s %s on %s, placed by %s: %s; %s\n",
                      c["direction"] == "out" ? "to" : "from", c["party"].get<std::string>().c_str(),
                      c["channel"].is_null() ? "no channel" : c["channel"].get<std::string>().c_str(),
                      c["placed_by"].get<std::string>().c_str(), connected.c_str(), end.c_str());
        out << line;
    }
    for (auto &ch : s["channels"]) {
        auto &o = ch["to_network"];
        auto &i = ch["from_network"];
        std::snprintf(line, sizeof line,
                      "  %s: %llu frames / %llu bytes to the network (%.2f%% of 64 kbit/s), %llu frames / %llu bytes "
                      "from it (%.2f%%), over %.1f s connected\n",
                      ch["channel"].get<std::string>().c_str(), o["frames"].get<unsigned long long>(),
                      o["bytes"].get<unsigned long long>(), o["goodput"].get<double>() * 100,
                      i["frames"].get<unsigned long long>(), i["bytes"].get<unsigned long long>(),
                      i["goodput"].get<double>() * 100, ch["connected_seconds"].get<double>());
        out << line;
    }
    out << "  NDISWAN: " << s["ndiswan"]["frames_sent"].get<std::size_t>() << " frames sent, "
        << s["ndiswan"]["frames_received"].get<std::size_t>() << " received\n";
}

} // namespace tolvanex::sim
