// tolvanex-sim: runs the Tolvanex driver on the simulated NT host. With no
// arguments it runs the built-in demonstration.

#include <cstdio>
#include <cstring>
#include <string>

#include "demo.h"
#include "host.h"

using namespace tolvanex;

namespace {

void usage(std::FILE *out) {
    std::fprintf(out,
                 "usage: tolvanex-sim [options]\n"
                 "Runs the built-in demonstration: the driver, an ISDN exchange and RAS through a few\n"
                 "virtual minutes of calls, printed as a timeline, the event log and a summary.\n"
                 "  --seed N         scheduler seed (0, the default, is the calm order)\n"
                 "  --config FILE    registry configuration, REGEDIT4 (default configs/default.reg)\n"
                 "  --lang en|fr     language of the event log\n"
                 "  --real-time      bind the virtual clock to the wall clock\n"
                 "  --quiet          print nothing; the exit status tells\n"
                 "  --help, --version\n"
                 "Exit status: 0 the story ran to its end, 1 it did not, 2 usage error, 3 the verifier\n"
                 "stopped the run.\n");
}

bool whole_number(const char *text, std::uint64_t &out) {
    char *end = nullptr;
    if (!*text || *text == '-')
        return false;
    out = std::strtoull(text, &end, 10);
    return end && !*end;
}

} // namespace

int main(int argc, char **argv) {
    sim::DemoOptions options;
    options.config = std::filesystem::path(TOLVANEX_SOURCE_DIR) / "configs" / "default.reg";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tolvanex-sim: %s needs %s\n", a.c_str(), what);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("tolvanex-sim 0.1.0\n");
            return 0;
        } else if (a == "--quiet") {
            options.quiet = true;
        } else if (a == "--real-time") {
            options.real_time = true;
        } else if (a == "--seed") {
            const char *v = value("a whole number");
            if (!whole_number(v, options.seed)) {
                std::fprintf(stderr, "tolvanex-sim: --seed needs a whole number, not '%s'\n", v);
                return 2;
            }
        } else if (a == "--config") {
            options.config = value("a file");
        } else if (a == "--lang") {
            options.lang = value("en or fr");
            if (options.lang != "en" && options.lang != "fr") {
                std::fprintf(stderr, "tolvanex-sim: --lang takes en or fr, not '%s'\n", options.lang.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "tolvanex-sim: unknown argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    try {
        return sim::run_demo(options);
    } catch (const host::VerifierStop &e) {
        std::fprintf(stderr, "tolvanex-sim: %s\nreplay: tolvanex-sim --seed %llu\n", e.what(),
                     static_cast<unsigned long long>(options.seed));
        return 3;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tolvanex-sim: %s\n", e.what());
        return 2;
    }
}
