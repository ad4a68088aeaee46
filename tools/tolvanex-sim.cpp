// tolvanex-sim: runs the Tolvanex driver on the simulated NT host. With no
// arguments it runs the built-in demonstration; with a script, that scenario.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fault_sweep.h"
#include "host.h"
#include "wall_limit.h"
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
                 "  -j N             with --seeds, run the seeds in N processes\n"
                 "  --config FILE    import a REGEDIT4 file before the script runs\n"
                 "  --image FILE     run the NT image FILE (tolvanex.sys) instead of the linked driver\n"
                 "                   (the 32-bit simulator, build-i386/tools/tolvanex-sim)\n"
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
                 "  --fault SITE:K   fail the K-th call at SITE (repeatable); expectations then only advise\n"
                 "  --fault-sweep [SITE,...]  one run per (site, k) failing the k-th call of the site, for\n"
                 "                   every site the scenario reaches (or those named); a table per site\n"
                 "  --max-wall S     stop a run (each seed of a sweep) after S seconds of wall time: exit 4\n"
                 "  --max-memory N   stop a run whose driver holds more than N bytes at once (N may end in\n"
                 "                   K or M); the verifier stops it with memory.limit\n"
                 "  --list           list the built-in scenarios\n"
                 "  --help, --version\n"
                 "Exit status: 0 every expectation met, 1 an expectation failed (or, under a fault, an invariant),\n"
                 "2 usage or script error, 3 the verifier stopped the run, 4 a run passed --max-wall,\n"
                 "5 a sanitizer reported an error.\n");
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
        line += " --real-time";
    if (o.image)
        line += " --image " + quoted(o.image->string());
    for (auto &[site, k] : o.faults)
        line += " --fault " + quoted(site + ":" + std::to_string(k));
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
                if (o.status == sim::kUsage)
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
            int fd = workers[(seed - first) % workers.size()].fd;
            std::uint32_t head[2];
            if (!read_all(fd, head, sizeof head) || !read_all(fd, &o.wall, sizeof o.wall)) {
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
    }
    for (auto &w : workers) {
        close(w.fd);
        kill(w.pid, SIGTERM); // those still running seeds past a stop
        waitpid(w.pid, nullptr, 0);
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
    std::optional<std::string> fault_sweep; // the sites, "" for every one
    double max_wall = 0;
    std::uint64_t jobs = 1;
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
        } else if (a == "-j") {
            std::string v = value("a number of processes");
            if (!whole_number(v, jobs) || jobs < 1 || jobs > 256)
                bad("-j needs a number of processes from 1 to 256, not '" + v + "'");
        } else if (a == "--config") {
            options.config = value("a .reg file");
        } else if (a == "--image") {
            options.image = value("an NT image file");
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
        } else if (a == "--fault") {
            std::string v = value("SITE:K");
            std::pair<std::string, unsigned> f;
            if (!sim::parse_fault(v, f))
                bad("--fault needs SITE:K with K a call number from 1, not '" + v + "'");
            options.faults.push_back(f);
            options.advisory = true;
        } else if (a == "--fault-sweep") {
            // A site list follows unless the next word is the scenario.
            bool list = i + 2 < argc && argv[i + 1][0] != '-' && !is_scenario(argv[i + 1]);
            fault_sweep = list ? std::string(argv[++i]) : std::string();
        } else if (a == "--max-wall") {
            std::string v = value("a number of seconds");
            char *end = nullptr;
            max_wall = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(max_wall > 0 && max_wall <= 1e6))
                bad("--max-wall needs a number of seconds above 0, not '" + v + "'");
        } else if (a == "--max-memory") {
            std::string v = value("a size");
            std::uint64_t n = 0;
            int shift = v.ends_with('K') ? 10 : v.ends_with('M') ? 20 : 0;
            if (!whole_number(shift ? v.substr(0, v.size() - 1) : v, n) || n == 0 || n > (1ULL << (40 - shift)))
                bad("--max-memory needs a size in bytes from 1 (or with K or M), not '" + v + "'");
            options.max_memory = static_cast<std::size_t>(n << shift);
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
    if (fault_sweep && (seeds || !options.faults.empty() || options.trace_file || options.pcap_file))
        bad("--fault-sweep makes its own runs: replay one with --fault SITE:K (and --trace, --pcap)");
    if (seeds && (options.trace_file || options.pcap_file || options.summary_json || options.ladder_file))
        bad("--trace, --pcap, --ladder and --summary-json record one run; replay the seed you want with --seed");
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
        return sweep(options, seeds->first, seeds->second, demo, config_given, static_cast<unsigned>(jobs), max_wall, junit);
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
