// tolvanex-sim: runs the Tolvanex driver on the simulated NT host. With no
// arguments it runs the built-in demonstration; with a script, that scenario.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <CLI/CLI.hpp>

#include "fault_sweep.h"
#include "host.h"
#include "scenario.h"
#include "suggest.h"
#include "wall_limit.h"

using namespace tolvanex;

namespace {

const char kVersion[] = "tolvanex-sim " TOLVANEX_VERSION " (" TOLVANEX_GIT_DESCRIBE ")";

const char kFooter[] = "tolvanex-sim [OPTIONS] [SCRIPT.lua | NAME] [script arguments]\n"
                       "A SCRIPT is a .lua file or the name of a built-in scenario (see --list). Options go before\n"
                       "it; what follows it goes to the script, and anything after `--` goes to the script as is.\n"
                       "Without a script the built-in demonstration runs (on configs/default.reg without --config).\n"
                       "Exit status: 0 every expectation met, 1 an expectation failed (or, under a fault, an\n"
                       "invariant), 2 usage or script error, 3 the verifier stopped the run, 4 a run passed\n"
                       "--max-wall, 5 a sanitizer reported an error.";

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

bool is_scenario(const std::string &word) {
    std::string name = word.ends_with(".lua") ? word.substr(0, word.size() - 4) : word;
    for (auto &b : sim::builtin_scenarios())
        if (name == b.name || name == std::string("scenarios/") + b.name)
            return true;
    std::error_code ec;
    return std::filesystem::is_regular_file(word, ec);
}

std::string replay_line(const sim::ScenarioOptions &o, bool demo, bool config_given) {
    std::string line = "tolvanex-sim --seed " + std::to_string(o.seed);
    if (o.config && config_given)
        line += " --config " + quoted(o.config->string());
    if (o.real_time)
        line += o.real_time_rate == 1 ? std::string(" --real-time") : " --real-time=" + quoted(o.real_time_text);
    if (o.image)
        line += " --image " + quoted(o.image->string());
    for (auto &[site, k] : o.faults)
        line += " --fault " + quoted(site + ":" + std::to_string(k));
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

struct SeedOutcome {
    int status = sim::kPassed;
    std::string first_line;
    double wall = 0; // seconds the seed's run took
};

SeedOutcome run_seed(sim::ScenarioOptions &options, std::uint64_t seed, bool demo, bool config_given, double max_wall) {
    options.seed = seed;
    options.quiet = true;
    options.timeline = false;
    options.replay = replay_line(options, demo, config_given);
    std::ostringstream out, err;
    sim::ScenarioResult r;
    auto start = std::chrono::steady_clock::now();
    sim::arm_wall_limit(max_wall, "seed " + std::to_string(seed) + " of " + options.script, options.replay);
    try {
        r = sim::run_scenario(options, out, err);
    } catch (const std::exception &e) {
        r.status = sim::kUsage;
        r.summary = e.what();
    }
    sim::disarm_wall_limit();
    return {r.status, r.summary.substr(0, r.summary.find('\n')),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

std::string seconds_text(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", seconds);
    return buf;
}

// Sweep workers: worker w runs the seeds first+w, first+w+jobs, ... in order
// and writes each outcome to its own pipe, so the parent reads seed s from
// worker (s-first) % jobs and prints in seed order without reordering.
struct Worker {
    pid_t pid = -1;
    int fd = -1;
};

bool write_all(int fd, const void *p, std::size_t n) {
    auto *c = static_cast<const char *>(p);
    while (n > 0) {
        ssize_t w = write(fd, c, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        c += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool read_all(int fd, void *p, std::size_t n) {
    auto *c = static_cast<char *>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

std::vector<Worker> start_workers(sim::ScenarioOptions options, std::uint64_t first, std::uint64_t last, unsigned jobs,
                                  bool demo, bool config_given, double max_wall) {
    std::vector<Worker> workers;
    std::fflush(nullptr);
    for (unsigned w = 0; w < jobs; ++w) {
        int fds[2];
        if (pipe(fds) != 0)
            break;
        pid_t pid = fork();
        if (pid < 0) {
            close(fds[0]);
            close(fds[1]);
            break;
        }
        if (pid == 0) {
            close(fds[0]);
            for (auto &other : workers)
                close(other.fd);
            for (std::uint64_t seed = first + w; seed <= last; seed += jobs) {
                SeedOutcome o = run_seed(options, seed, demo, config_given, max_wall);
                std::uint32_t head[2] = {static_cast<std::uint32_t>(o.status),
                                         static_cast<std::uint32_t>(o.first_line.size())};
                if (!write_all(fds[1], head, sizeof head) || !write_all(fds[1], &o.wall, sizeof o.wall) ||
                    !write_all(fds[1], o.first_line.data(), o.first_line.size()))
                    _exit(1);
                if (o.status == sim::kUsage || last - seed < jobs)
                    break;
            }
            _exit(0);
        }
        close(fds[1]);
        workers.push_back({pid, fds[0]});
    }
    return workers;
}

int sweep(sim::ScenarioOptions options, std::uint64_t first, std::uint64_t last, bool demo, bool config_given,
          unsigned jobs, double max_wall, const std::string &junit) {
    std::vector<SeedResult> results;
    bool bar = isatty(STDERR_FILENO) && !options.quiet;
    auto start = std::chrono::steady_clock::now();
    std::uint64_t total = last - first + 1, failed = 0, ran = 0;
    int worst = sim::kPassed;
    bool wall_stop = false;
    std::vector<Worker> workers;
    if (jobs > 1) {
        workers = start_workers(options, first, last, static_cast<unsigned>(std::min<std::uint64_t>(jobs, total)), demo,
                                config_given, max_wall);
        if (workers.empty()) {
            std::fprintf(stderr, "tolvanex-sim: cannot start sweep workers: %s\n", std::strerror(errno));
            return sim::kUsage;
        }
    }
    for (std::uint64_t seed = first; seed <= last; ++seed) {
        SeedOutcome o;
        if (workers.empty()) {
            o = run_seed(options, seed, demo, config_given, max_wall);
        } else {
            Worker &worker = workers[(seed - first) % workers.size()];
            int fd = worker.fd;
            std::uint32_t head[2];
            if (!read_all(fd, head, sizeof head) || !read_all(fd, &o.wall, sizeof o.wall)) {
                // A worker past the wall-clock limit has said so and left
                // with the limit's status; the sweep ends with it too.
                int how = 0;
                if (worker.pid > 0 && waitpid(worker.pid, &how, 0) == worker.pid) {
                    worker.pid = -1;
                    if (WIFEXITED(how) && WEXITSTATUS(how) == sim::kWallLimit) {
                        o = {sim::kWallLimit, "ran past the wall-clock limit of " + seconds_text(max_wall) + " s"};
                        wall_stop = true;
                    }
                }
                if (!wall_stop)
                    o = {sim::kUsage, "a sweep worker ended without an answer"};
            } else {
                o.status = static_cast<int>(head[0]);
                o.first_line.resize(head[1]);
                if (!read_all(fd, o.first_line.data(), head[1]))
                    o = {sim::kUsage, "a sweep worker ended without an answer"};
            }
            options.seed = seed;
            options.replay = replay_line(options, demo, config_given);
        }
        ++ran;
        results.push_back({seed, o.status, o.first_line, o.wall, options.replay});
        if (o.status != sim::kPassed) {
            ++failed;
            worst = std::max(worst, o.status == sim::kFailed ? 1 : o.status == sim::kVerifierStopped ? 2 : 3);
            std::fprintf(stderr, "%sseed %llu: exit %d: %s\n  replay: %s\n", bar ? "\r\033[K" : "",
                         static_cast<unsigned long long>(seed), o.status, o.first_line.c_str(), options.replay.c_str());
            if (wall_stop)
                break;
            if (o.status == sim::kUsage) {
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
            break; // the last seed may be the largest there is
    }
    for (auto &w : workers) {
        close(w.fd);
        if (w.pid > 0) {
            kill(w.pid, SIGTERM); // those still running seeds past a stop
            waitpid(w.pid, nullptr, 0);
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
    if (wall_stop)
        return sim::kWallLimit;
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
    std::string image, junit, ladder, summary_json, max_wall_text, max_memory_text;
    std::vector<std::string> faults;
    std::optional<std::string> fault_sweep; // the sites, "" for every one
    std::uint64_t jobs = 1;
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
    app.add_option("-j,--jobs", jobs, "with --seeds, run the seeds in N processes")->type_name("N");
    app.add_option("--image", image, "run the NT image FILE (tolvanex.sys) instead of the linked driver; "
                                     "the 32-bit simulator (build-i386/tools/tolvanex-sim) runs it")
        ->type_name("FILE");
    app.add_option("--junit", junit, "with --seeds: a JUnit report, one test case per seed")->type_name("FILE");
    app.add_option("--ladder", ladder, "the run as a message-sequence chart: .msc, .svg or .png (mscgen), .mmd")
        ->type_name("FILE");
    app.add_flag("--summary", options.summary,
                 "each call, frames and goodput per channel, the verdict (the demonstration prints it anyway)");
    app.add_option("--summary-json", summary_json, "the summary as JSON")->type_name("FILE");
    app.add_option("--fault", faults, "fail the K-th call at SITE (repeatable); expectations then only advise")
        ->type_name("SITE:K")
        ->allow_extra_args(false);
    app.add_option("--fault-sweep", fault_sweep,
                   "one run per (site, k) failing the k-th call of the site, for every site the scenario "
                   "reaches or those named; a table per site")
        ->expected(0, 1)
        ->type_name("[SITE,...]");
    app.add_option("--max-wall", max_wall_text, "stop a run (each seed of a sweep) after S seconds of wall time: exit 4")
        ->type_name("S");
    app.add_option("--max-memory", max_memory_text,
                   "stop a run whose driver holds more than N bytes at once (N may end in K or M)")
        ->type_name("N");
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
    // `--fault-sweep NAME` names the scenario, not a site list.
    if (fault_sweep && !fault_sweep->empty() && (rest.empty() || rest[0] == "--") && is_scenario(*fault_sweep)) {
        rest.insert(rest.begin(), *fault_sweep);
        fault_sweep = std::string();
    }
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
    if (!image.empty())
        options.image = image;
    if (!ladder.empty())
        options.ladder_file = ladder;
    if (!summary_json.empty())
        options.summary_json = summary_json;
    if (app.count("--jobs") && (jobs < 1 || jobs > 256))
        bad("-j needs a number of processes from 1 to 256, not '" + std::to_string(jobs) + "'");
    for (auto &f : faults) {
        std::pair<std::string, unsigned> parsed;
        if (!sim::parse_fault(f, parsed))
            bad("--fault needs SITE:K with K a call number from 1, not '" + f + "'");
        options.faults.push_back(parsed);
        options.advisory = true;
    }
    double max_wall = 0;
    if (app.count("--max-wall")) {
        char *end = nullptr;
        max_wall = std::strtod(max_wall_text.c_str(), &end);
        if (max_wall_text.empty() || *end || !(max_wall > 0 && max_wall <= 1e6))
            bad("--max-wall needs a number of seconds above 0, not '" + max_wall_text + "'");
    }
    if (app.count("--max-memory")) {
        const std::string &v = max_memory_text;
        int shift = v.ends_with('K') ? 10 : v.ends_with('M') ? 20 : 0;
        std::string digits = shift ? v.substr(0, v.size() - 1) : v;
        std::uint64_t n = 0;
        if (!digits.empty() && digits.size() <= 12 && digits.find_first_not_of("0123456789") == std::string::npos)
            n = std::stoull(digits);
        if (n == 0 || n > (1ULL << (40 - shift)))
            bad("--max-memory needs a size in bytes from 1 (or with K or M), not '" + v + "'");
        options.max_memory = static_cast<std::size_t>(n << shift);
    }
    if (!junit.empty() && !seeds)
        bad("--junit reports a sweep; give --seeds A..B");
    if (fault_sweep && (seeds || !options.faults.empty() || options.trace_file || options.pcap_file))
        bad("--fault-sweep makes its own runs: replay one with --fault SITE:K (and --trace, --pcap)");
    if (seeds && (options.trace_file || options.pcap_file || options.summary_json || options.ladder_file))
        bad("--trace, --pcap, --ladder and --summary-json record one run; replay the seed you want with --seed");
    for (int k = 0; k < argc; ++k)
        options.command_line += (k ? " " : "") + quoted(argv[k]);
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
        return sweep(options, seeds->first, seeds->second, demo, config_given, static_cast<unsigned>(jobs), max_wall,
                     junit);
    if (fault_sweep) {
        sim::FaultSweep fs{options, {}, max_wall, [&](const sim::ScenarioOptions &o) {
                               return replay_line(o, demo, config_given);
                           }};
        for (std::size_t at = 0; !fault_sweep->empty() && at != std::string::npos;) {
            auto comma = fault_sweep->find(',', at);
            std::string site = fault_sweep->substr(at, comma == std::string::npos ? comma : comma - at);
            if (site.empty())
                bad("--fault-sweep takes site names separated by commas, not '" + *fault_sweep + "'");
            fs.sites.push_back(site);
            at = comma == std::string::npos ? comma : comma + 1;
        }
        return sim::run_fault_sweep(fs, std::cout, std::cerr);
    }
    // Watched as it runs: each line as soon as it is made, even into a pipe.
    if (options.real_time)
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    options.replay = replay_line(options, demo, config_given);
    sim::arm_wall_limit(max_wall, "seed " + std::to_string(options.seed) + " of " + options.script, options.replay);
    try {
        int status = sim::run_scenario(options, std::cout, std::cerr).status;
        sim::disarm_wall_limit();
        return status;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tolvanex-sim: %s\n", e.what());
        return sim::kUsage;
    }
}
