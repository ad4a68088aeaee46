// tolvanex-sim: runs the Tolvanex driver on the simulated NT host. With no
// arguments it runs the built-in demonstration; with a script, that scenario.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "host.h"
#include "scenario.h"
#include "suggest.h"

using namespace tolvanex;

namespace {

const char kVersion[] = "tolvanex-sim " TOLVANEX_VERSION " (" TOLVANEX_GIT_DESCRIBE ")";

const char kFooter[] = "tolvanex-sim [OPTIONS] [SCRIPT.lua | NAME] [script arguments]\n"
                       "A SCRIPT is a .lua file or the name of a built-in scenario (see --list). Options go before\n"
                       "it; what follows it goes to the script, and anything after `--` goes to the script as is.\n"
                       "Without a script the built-in demonstration runs (on configs/default.reg without --config).\n"
                       "Exit status: 0 every expectation met, 1 an expectation failed, 2 usage or script error,\n"
                       "3 the verifier stopped the run.";

[[noreturn]] void bad(const std::string &message) {
    std::fprintf(stderr, "tolvanex-sim: %s\n", message.c_str());
    std::fprintf(stderr, "try 'tolvanex-sim --help'\n");
    std::exit(sim::kUsage);
}

// A seed: a whole number from 0 to the largest 64-bit one.
std::uint64_t seed_value(const std::string &option, const std::string &text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        bad(option + " needs a whole number, not '" + text + "'");
    std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
    static const std::string kMax = std::to_string(std::numeric_limits<std::uint64_t>::max());
    if (digits.size() > kMax.size() || (digits.size() == kMax.size() && digits > kMax))
        bad(option + " " + text + " is out of range: seeds go from 0 to " + kMax);
    return std::stoull(digits);
}

// A file the run will write: made now, so a path that cannot be written
// stops the run before it starts rather than after it.
void check_writable(const std::string &option, const std::filesystem::path &file) {
    std::error_code ec;
    bool existed = std::filesystem::exists(file, ec);
    if (std::filesystem::is_directory(file, ec))
        bad(option + " " + file.string() + " is a directory; give a file");
    std::ofstream out(file, std::ios::app);
    if (!out)
        bad(option + " " + file.string() + ": cannot write there (" + std::strerror(errno) + ")");
    out.close();
    if (!existed)
        std::filesystem::remove(file, ec);
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
        line += o.real_time_rate == 1 ? std::string(" --real-time") : " --real-time=" + quoted(o.real_time_text);
    if (!demo) {
        line += " " + quoted(o.script);
        bool dashes = false;
        for (auto &a : o.args) {
            // What would read as an option goes after `--`.
            if (!dashes && a.starts_with("-")) {
                line += " --";
                dashes = true;
            }
            line += " " + quoted(a);
        }
    }
    return line;
}

int sweep(sim::ScenarioOptions options, std::uint64_t first, std::uint64_t last, bool demo, bool config_given) {
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
        try {
            r = sim::run_scenario(options, out, err);
        } catch (const std::exception &e) {
            r.status = sim::kUsage;
            r.summary = e.what();
        }
        ++ran;
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
        if (seed == last)
            break;
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (bar)
        std::fprintf(stderr, "\r\033[K");
    std::printf("%s: %llu seeds (%llu..%llu) in %.2f s of wall time: %llu passed, %llu failed\n",
                options.script.c_str(), static_cast<unsigned long long>(ran), static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(first + ran - 1), wall, static_cast<unsigned long long>(ran - failed),
                static_cast<unsigned long long>(failed));
    static const int status_of[] = {sim::kPassed, sim::kFailed, sim::kVerifierStopped, sim::kUsage};
    return status_of[worst];
}

// The option names of `app`, as they are written: "--seed", "-s".
std::vector<std::string> option_names(const CLI::App &app) {
    std::vector<std::string> names;
    for (const CLI::Option *o : app.get_options()) {
        for (auto &l : o->get_lnames())
            names.push_back("--" + l);
        for (auto &s : o->get_snames())
            names.push_back("-" + s);
    }
    return names;
}

} // namespace

int main(int argc, char **argv) {
    sim::ScenarioOptions options;
    std::string seed_text, seeds_text, config, trace, pcap, real_time = "";
    bool list = false, version = false;

    CLI::App app{"Runs the Tolvanex driver on the simulated NT host.", "tolvanex-sim"};
    app.footer(kFooter);
    app.prefix_command();
    app.add_option("-s,--seed", seed_text, "scheduler seed (0, the default, is the calm order)")->type_name("N");
    app.add_option("--seeds", seeds_text, "run once per seed from A to B; one line per failing seed")
        ->type_name("A..B");
    app.add_option("-c,--config", config, "import a REGEDIT4 file before the script runs")->type_name("FILE");
    app.add_option("-t,--trace", trace, "write the whole trace to FILE")->type_name("FILE");
    app.add_option("-p,--pcap", pcap, "write the WAN frames to FILE (pcap, PPP with direction)")->type_name("FILE");
    app.add_option("--lang", options.lang, "language of the event log: en or fr")->type_name("en|fr");
    app.add_flag("-r,--real-time", real_time,
                 "bind the virtual clock to the wall clock; --real-time=RATE runs RATE virtual seconds a second");
    app.add_flag("-q,--quiet", options.quiet, "print only failures");
    app.add_flag("-l,--list", list, "list the built-in scenarios");
    app.add_flag("-V,--version", version, "print the version");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::ParseError &e) {
        bad(e.what());
    }
    if (version) {
        std::printf("%s\n", kVersion);
        return 0;
    }
    if (list) {
        for (auto &b : sim::builtin_scenarios())
            std::printf("  %-16s %s\n", b.name, b.summary);
        return 0;
    }

    std::vector<std::string> rest = app.remaining();
    if (!rest.empty() && rest[0] == "--")
        rest.erase(rest.begin());
    else if (!rest.empty() && rest[0].starts_with("-") && rest[0] != "-")
        bad("unknown option '" + rest[0] + "'" + sim::did_you_mean(rest[0].substr(0, rest[0].find('=')), option_names(app)));
    if (!rest.empty()) {
        options.script = rest[0];
        // An option of ours after the script is a slip: it would reach the
        // script and the run would go on without it.
        bool dashes = false;
        for (std::size_t i = 1; i < rest.size(); ++i) {
            const std::string &a = rest[i];
            if (!dashes && a == "--") {
                dashes = true;
                continue;
            }
            std::string name = a.substr(0, a.find('='));
            auto names = option_names(app);
            if (!dashes && std::find(names.begin(), names.end(), name) != names.end()) {
                std::string moved = a;
                const CLI::Option *o = app.get_option_no_throw(name);
                if (o && o->get_expected_min() > 0 && name == a && i + 1 < rest.size())
                    moved += " " + rest[i + 1];
                bad("option '" + name + "' comes after the script '" + options.script +
                    "', where it would go to the script: put it before the script (tolvanex-sim " + moved + " " +
                    options.script + "), or after `--` to hand it to the script");
            }
            options.args.push_back(a);
        }
    }

    bool seed_given = !seed_text.empty() || app.count("--seed");
    std::optional<std::pair<std::uint64_t, std::uint64_t>> seeds;
    if (seed_given)
        options.seed = seed_value("--seed", seed_text);
    if (app.count("--seeds")) {
        auto dots = seeds_text.find("..");
        if (dots == std::string::npos)
            bad("--seeds needs a range A..B with A <= B, not '" + seeds_text + "'");
        std::uint64_t from = seed_value("--seeds", seeds_text.substr(0, dots));
        std::uint64_t to = seed_value("--seeds", seeds_text.substr(dots + 2));
        if (from > to || to - from >= 10'000'000)
            bad("--seeds needs a range A..B with A <= B, not '" + seeds_text + "'");
        seeds = {from, to};
    }
    if (seeds && seed_given)
        bad("give --seed or --seeds, not both");
    if (options.lang != "en" && options.lang != "fr")
        bad("--lang takes en or fr, not '" + options.lang + "'");
    if (real_time == "true")
        real_time = "1"; // the bare flag
    if (!real_time.empty()) {
        char *end = nullptr;
        double rate = std::strtod(real_time.c_str(), &end);
        if (end == real_time.c_str() || *end || !(rate > 0) || rate > 1e6)
            bad("--real-time=RATE takes a number of virtual seconds per wall second above 0, not '" + real_time + "'");
        options.real_time = true;
        options.real_time_rate = rate;
        options.real_time_text = real_time;
    }
    if (!config.empty())
        options.config = config;
    if (!trace.empty())
        options.trace_file = trace;
    if (!pcap.empty())
        options.pcap_file = pcap;
    if (seeds && (options.trace_file || options.pcap_file))
        bad("--trace and --pcap record one run; replay the seed you want with --seed");
    if (options.trace_file)
        check_writable("--trace", *options.trace_file);
    if (options.pcap_file)
        check_writable("--pcap", *options.pcap_file);
    if (options.config) {
        std::ifstream in(*options.config);
        if (!in)
            bad("--config " + config + ": cannot open (" + std::strerror(errno) + ")");
    }

    bool demo = options.script.empty();
    bool config_given = options.config.has_value();
    if (demo) {
        options.script = "demo";
        options.report = true;
        if (!options.config)
            options.config = std::filesystem::path(TOLVANEX_SOURCE_DIR) / "configs" / "default.reg";
    }
    if (seeds)
        return sweep(options, seeds->first, seeds->second, demo, config_given);
    // Watched as it runs: each line as soon as it is made, even into a pipe.
    if (options.real_time)
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    options.replay = replay_line(options, demo, config_given);
    try {
        return sim::run_scenario(options, std::cout, std::cerr).status;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tolvanex-sim: %s\n", e.what());
        return sim::kUsage;
    }
}
