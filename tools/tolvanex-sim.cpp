// tolvanex-sim: runs the simulated NT host. Until the scenario runner lands
// it runs the host demonstration: a small sample miniport loaded, brought
// up, given an ISDN driver that appears late, and halted, with its trace.

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "host.h"
#include "isdn_driver.h"
#include "kernel.h"
#include "ndis_wrapper.h"
#include "ndiswan.h"
#include "trace.h"

std::int32_t SampleDriverEntry(_DRIVER_OBJECT *DriverObject, _UNICODE_STRING *RegistryPath);

using namespace tolvanex::host;

namespace {

void usage(std::FILE *out) {
    std::fprintf(out, "usage: tolvanex-sim [--seed N] [--quiet] [--help] [--version]\n"
                      "Runs the host demonstration with the sample miniport.\n");
}

int demo(std::uint64_t seed, bool quiet) {
    Host host(HostOptions{.seed = seed});
    if (!quiet)
        host.trace().set_sink([](const TraceRecord &r) { std::cout << Trace::render(r) << '\n'; });
    host.trace().add(TraceKind::Note, "host demonstration, seed " + std::to_string(seed));
    if (host.ndis().load(SampleDriverEntry) != 0)
        return 1;
    if (host.ndis().initialize({NdisMedium802_3, NdisMediumWan}) != 0)
        return 1;
    NDIS_WAN_INFO info{};
    auto r = host.ndis().query(OID_WAN_GET_INFO, &info, sizeof info);
    host.trace().add(TraceKind::Note, "OID_WAN_GET_INFO -> " + hex32(static_cast<std::uint32_t>(r.status)) +
                                          " max frame " + std::to_string(info.MaxFrameSize));
    host.run_for(seconds(12));
    host.trace().add(TraceKind::Note, "the ISDN driver appears");
    host.isdn().attach();
    host.run_until([&] { return host.isdn().next_unanswered() != nullptr; }, seconds(10));
    if (auto *cmd = host.isdn().next_unanswered())
        host.isdn().answer(cmd->id, 0, 1);
    host.run_for(seconds(20));
    host.isdn().queue_message(1, IsdnMessage{.code = APP_CLEAR_CO});
    host.settle();
    host.ndis().halt();
    host.trace().add(TraceKind::Note, "halted; verifier: no rule broken; " + std::to_string(host.kernel().switches()) +
                                          " context switches");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::uint64_t seed = 0;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("tolvanex-sim 0.1.0\n");
            return 0;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--seed" && i + 1 < argc) {
            char *end = nullptr;
            seed = std::strtoull(argv[++i], &end, 10);
            if (!end || *end) {
                std::fprintf(stderr, "tolvanex-sim: --seed needs a whole number, not '%s'\n", argv[i]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "tolvanex-sim: unknown argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    try {
        return demo(seed, quiet);
    } catch (const VerifierStop &e) {
        std::fprintf(stderr, "tolvanex-sim: %s\n", e.what());
        return 3;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tolvanex-sim: %s\n", e.what());
        return 2;
    }
}
