// tolvanex-sim: runs the Tolvanex driver on the simulated NT host. With no
// arguments it runs the built-in demonstration; with a script, that scenario.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "host.h"
#include "scenario.h"

using namespace tolvanex;

namespace {

void usage(std::FILE *out) {
    std::fprintf(out,
                 "usage: tolvanex-sim [options] [SCRIPT.lua | NAME] [script arguments]\n"
                 "Runs the Tolvanex driver on the simulated NT host. Without a script it runs the built-in\n"
                 "demonstration; NAME is a built-in scenario (see --list).\n"
                 "  --seed N         scheduler seed (0, the default, is the calm order)\n"
                 "  --seeds A..B     run once per seed from A to B; one line per failing seed\n"
                 "  --config FILE    import a REGEDIT4 file before the script runs\n"
                 "                   (the demonstration uses configs/default.reg without it)\n"
                 "  --trace FILE     write the whole trace to FILE as the run goes: JSON Lines for\n"
                 "                   .jsonl or .json, the timeline's text for any other name\n"
                 "  --pcap FILE      write a pcapng capture as the run goes: the ISDN driver's blocks,\n"
                 "                   and one interface per B-channel call with its PPP frames\n"
                 "  --junit FILE     with --seeds: a JUnit report, one test case per seed\n"
                 "  --ladder FILE    the run as a message-sequence chart: .msc, .svg or .png (mscgen), .mmd\n"
                 "  --summary        each call, frames and goodput per channel, the verdict, after the run\n"
                 "                   (the demonstration prints it anyway)\n"
                 "  --summary-json FILE  the same as JSON\n"
                 "  --lang en|fr     language of the event log\n"
                 "  --real-time      bind the virtual clock to the wall clock\n"
                 "  --quiet          print only failures\n"
                 "  --list           list the built-in scenarios\n"
                 "  --help, --version\n"
                 "Exit status: 0 every expectation met, 1 an expectation failed, 2 usage or script error,\n"
                 "3 the verifier stopped the run.\n");
}

bool whole_number(const std::string &text, std::uint64_t &out) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stoull(text);
    return true;
}

[[noreturn]] void bad(const std::string &message) {
    std::fprintf(stderr, "tolvanex-sim: %s\n", message.c_str());
    std::fprintf(stderr, "try 'tolvanex-sim --help'\n");
    std::exit(sim::kUsage);
}

// Quoted for a POSIX shell unless every character is plainly safe.
std::string quoted(const std::string &s) {
    if (!s.empty() && s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./=:,+@%-") ==
                          std::string::npos)
        return s;
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string replay_line(const sim::ScenarioOptions &o, bool demo, bool config_given) {
    std::string line = "tolvanex-sim --seed " + std::to_string(o.seed);
    if (o.config && config_given)
        line += " --config " + quoted(o.config->string());
    if (o.real_time)
        line += " --real-time";
    if (!demo) {
        line += " " + quoted(o.script);
        for (auto &a : o.args)
            line += " " + quoted(a);
    }
    return line;
}

std::string xml_escaped(const std::string &s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' ? ' ' : c;
        }
    }
    return out;
}

struct SeedResult {
    std::uint64_t seed;
    int status;
    std::string message;
    double wall;
    std::string replay;
};

// One test case per seed; a failing seed names the other seeds that failed
// the same way, and the suite's output lists each failure once with its seeds.
void write_junit(const std::string &file, const std::string &name, const std::vector<SeedResult> &results) {
    std::map<std::string, std::vector<std::uint64_t>> groups;
    std::size_t failures = 0;
    double total = 0;
    for (auto &r : results) {
        total += r.wall;
        if (r.status != sim::kPassed) {
            ++failures;
            groups[r.message].push_back(r.seed);
        }
    }
    auto seeds_of = [](const std::vector<std::uint64_t> &v) {
        std::string out;
        for (auto s : v)
            out += (out.empty() ? "" : ", ") + std::to_string(s);
        return out;
    };
    std::ofstream out(file);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n";
    out << "  <testsuite name=\"" << xml_escaped(name) << "\" tests=\"" << results.size() << "\" failures=\""
        << failures << "\" errors=\"0\" time=\"" << total << "\">\n";
    for (auto &r : results) {
        out << "    <testcase classname=\"" << xml_escaped(name) << "\" name=\"seed " << r.seed << "\" time=\""
            << r.wall << "\"";
        if (r.status == sim::kPassed) {
            out << "/>\n";
            continue;
        }
        auto &same = groups[r.message];
        out << ">\n      <failure type=\"exit " << r.status << "\" message=\"" << xml_escaped(r.message) << "\">"
            << xml_escaped(r.message) << "\nthe same failure on seeds " << seeds_of(same) << " ("
            << same.size() << ")\nreplay: " << xml_escaped(r.replay) << "</failure>\n    </testcase>\n";
    }
    out << "    <system-out>" << groups.size() << " distinct failure(s)";
    for (auto &[message, seeds] : groups)
        out << "\n" << seeds.size() << " seed(s) [" << seeds_of(seeds) << "]: " << xml_escaped(message);
    out << "</system-out>\n  </testsuite>\n</testsuites>\n";
    if (!out)
        std::fprintf(stderr, "tolvanex-sim: cannot write the JUnit report to %s\n", file.c_str());
}

int sweep(sim::ScenarioOptions options, std::uint64_t first, std::uint64_t last, bool demo, bool config_given,
          const std::string &junit) {
    std::vector<SeedResult> results;
    bool bar = isatty(STDERR_FILENO) && !options.quiet;
    auto start = std::chrono::steady_clock::now();
    std::uint64_t total = last - first + 1, failed = 0, ran = 0;
    int worst = sim::kPassed;
    for (std::uint64_t seed = first; seed <= last; ++seed) {
        options.seed = seed;
        options.quiet = true;
        options.timeline = false;
        options.replay = replay_line(options, demo, config_given);
        std::ostringstream out, err;
        sim::ScenarioResult r;
        auto seed_start = std::chrono::steady_clock::now();
        try {
            r = sim::run_scenario(options, out, err);
        } catch (const std::exception &e) {
            r.status = sim::kUsage;
            r.summary = e.what();
        }
        ++ran;
        results.push_back({seed, r.status, r.summary.substr(0, r.summary.find('\n')),
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - seed_start).count(),
                           options.replay});
        if (r.status != sim::kPassed) {
            ++failed;
            worst = std::max(worst, r.status == sim::kFailed ? 1 : r.status == sim::kVerifierStopped ? 2 : 3);
            std::string first_line = r.summary.substr(0, r.summary.find('\n'));
            std::fprintf(stderr, "%sseed %llu: exit %d: %s\n  replay: %s\n", bar ? "\r\033[K" : "",
                         static_cast<unsigned long long>(seed), r.status, first_line.c_str(), options.replay.c_str());
            if (r.status == sim::kUsage) {
                // A script error is the same on every seed.
                std::fprintf(stderr, "stopping the sweep: a script error does not depend on the seed\n");
                break;
            }
        }
        if (bar) {
            std::uint64_t done = seed - first + 1;
            int filled = static_cast<int>(40 * done / total);
            std::fprintf(stderr, "\r[%.*s%*s] %llu/%llu seeds, %llu failed", filled,
                         "########################################", 40 - filled, "",
                         static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                         static_cast<unsigned long long>(failed));
        }
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (bar)
        std::fprintf(stderr, "\r\033[K");
    std::printf("%s: %llu seeds (%llu..%llu) in %.2f s of wall time: %llu passed, %llu failed\n",
                options.script.c_str(), static_cast<unsigned long long>(ran), static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(first + ran - 1), wall, static_cast<unsigned long long>(ran - failed),
                static_cast<unsigned long long>(failed));
    if (!junit.empty())
        write_junit(junit, options.script, results);
    static const int status_of[] = {sim::kPassed, sim::kFailed, sim::kVerifierStopped, sim::kUsage};
    return status_of[worst];
}

} // namespace

int main(int argc, char **argv) {
    sim::ScenarioOptions options;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> seeds;
    bool seed_given = false;
    std::string junit;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a.empty() || a[0] != '-')
            break;
        auto value = [&](const char *what) -> std::string {
            if (i + 1 >= argc)
                bad(a + " needs " + what);
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("tolvanex-sim 0.2.0\n");
            return 0;
        } else if (a == "--list") {
            for (auto &b : sim::builtin_scenarios())
                std::printf("  %-16s %s\n", b.name, b.summary);
            return 0;
        } else if (a == "--quiet") {
            options.quiet = true;
        } else if (a == "--real-time") {
            options.real_time = true;
        } else if (a == "--seed") {
            std::string v = value("a whole number");
            if (!whole_number(v, options.seed))
                bad("--seed needs a whole number, not '" + v + "'");
            seed_given = true;
        } else if (a == "--seeds") {
            std::string v = value("a range A..B");
            auto dots = v.find("..");
            std::uint64_t from = 0, to = 0;
            if (dots == std::string::npos || !whole_number(v.substr(0, dots), from) ||
                !whole_number(v.substr(dots + 2), to) || from > to || to - from >= 10'000'000)
                bad("--seeds needs a range A..B with A <= B, not '" + v + "'");
            seeds = {from, to};
        } else if (a == "--config") {
            options.config = value("a .reg file");
        } else if (a == "--trace") {
            options.trace_file = value("a file");
        } else if (a == "--junit") {
            junit = value("a file");
        } else if (a == "--ladder") {
            options.ladder_file = value("a .msc, .svg, .png or .mmd file");
        } else if (a == "--summary") {
            options.summary = true;
        } else if (a == "--summary-json") {
            options.summary_json = value("a file");
        } else if (a == "--pcap") {
            options.pcap_file = value("a file");
        } else if (a == "--lang") {
            options.lang = value("en or fr");
            if (options.lang != "en" && options.lang != "fr")
                bad("--lang takes en or fr, not '" + options.lang + "'");
        } else if (a == "--") {
            ++i;
            break;
        } else {
            bad("unknown option '" + a + "'");
        }
    }
    if (!junit.empty() && !seeds)
        bad("--junit reports a sweep; give --seeds A..B");
    if (seeds && seed_given)
        bad("give --seed or --seeds, not both");
    if (seeds && (options.trace_file || options.pcap_file || options.summary_json || options.ladder_file))
        bad("--trace, --pcap and --summary-json record one run; replay the seed you want with --seed");
    for (int k = 0; k < argc; ++k)
        options.command_line += (k ? " " : "") + quoted(argv[k]);
    bool demo = i >= argc;
    bool config_given = options.config.has_value();
    if (demo) {
        options.script = "demo";
        options.report = true;
        if (!options.config)
            options.config = std::filesystem::path(TOLVANEX_SOURCE_DIR) / "configs" / "default.reg";
    } else {
        options.script = argv[i++];
        options.args.assign(argv + i, argv + argc);
    }
    if (seeds)
        return sweep(options, seeds->first, seeds->second, demo, config_given, junit);
    options.replay = replay_line(options, demo, config_given);
    try {
        return sim::run_scenario(options, std::cout, std::cerr).status;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tolvanex-sim: %s\n", e.what());
        return sim::kUsage;
    }
}
