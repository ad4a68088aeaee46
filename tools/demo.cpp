// The built-in demonstration: the driver on a machine configured from
// configs/default.reg, with the ISDN exchange behind it, through a few
// virtual minutes of calls.

#include "demo.h"

#include <cstdio>
#include <iostream>
#include <map>

#include "eventlog.h"
#include "isdn_driver.h"
#include "isdn_exchange.h"
#include "kernel.h"
#include "ndis_wrapper.h"
#include "ndistapi_model.h"
#include "ndiswan_model.h"
#include "ras_model.h"
#include "regedit.h"
#include "tolvanex.h"
#include "trace.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

void say(Host &host, const std::string &text) { host.trace().add(TraceKind::Note, text); }

// The HDRV_CALL of the newest LINE_NEWCALL, or 0.
ULONG offered_call(Host &host, std::size_t from) {
    const auto &events = host.tapi().events();
    for (std::size_t i = events.size(); i-- > from;)
        if (events[i].event.ulMsg == LINE_NEWCALL)
            return events[i].event.ulParam1;
    return 0;
}

} // namespace

int run_demo(const DemoOptions &options) {
    Host host(HostOptions{.seed = options.seed, .real_time = options.real_time});
    if (!options.quiet)
        host.trace().set_sink([](const TraceRecord &r) {
            if (r.kind != TraceKind::Registry && r.kind != TraceKind::Kernel)
                std::cout << Trace::render(r) << '\n';
        });
    import_reg_file(host.registry(), options.config);
    say(host, "machine configured from " + options.config.string() + ", seed " + std::to_string(options.seed));

    IsdnExchange &exchange = host.isdn().use_exchange();
    exchange.set_local("0140000000");
    exchange.add_party(Party{.number = "0299887766", .answer = Party::Answer::After, .delay = seconds(2),
                             .echo = true});
    exchange.add_party(Party{.number = "0311223344", .stream = Party::Stream{.bytes = 64, .every = seconds(2), .count = 5},
                             .clear_after = seconds(15)});
    exchange.call_in(CallIn{.from = "0311223344", .subaddress = "12", .at = seconds(45)});

    if (host.ndis().load(DriverEntry) != STATUS_SUCCESS || host.ndis().initialize() != NDIS_STATUS_SUCCESS) {
        std::cerr << "tolvanex-sim: the driver did not start\n";
        return 1;
    }
    host.run_for(seconds(10));
    say(host, "the ISDN driver appears");
    host.isdn().attach();
    host.run_for(seconds(2));

    say(host, "RAS initialises the provider and opens both lines");
    ULONG lines = 0;
    host.ras().initialize(0, &lines);
    HDRV_LINE line0 = 0, line1 = 0;
    host.ras().open(0, nullptr, &line0);
    host.ras().open(1, nullptr, &line1);
    host.run_for(seconds(3));

    say(host, "RAS dials 0299887766 on line 0");
    HDRV_CALL out = 0;
    host.ras().make_call(line0, "0299-887 766", &out);
    host.run_until([&] { return host.ndiswan().links().size() == 1; }, seconds(10));
    if (host.ndiswan().links().empty()) {
        std::cerr << "tolvanex-sim: the outgoing call did not connect\n";
        return 1;
    }
    std::uint32_t link = host.ndiswan().links()[0].link_handle;
    say(host, "PPP frames go out on the link; the far end echoes them");
    for (std::uint8_t i = 0; i < 10; ++i) {
        host.ndiswan().send(link, {0xFF, 0x03, 0xC0, 0x21, 0x09, i, 0x00, 0x08, 0x12, 0x34, 0x56, 0x78});
        host.run_for(seconds(1));
    }

    std::size_t seen = host.tapi().events().size();
    host.run_until([&] { return offered_call(host, seen) != 0; }, seconds(40));
    if (ULONG in = offered_call(host, seen)) {
        say(host, "RAS answers the incoming call");
        host.ras().answer(in);
    }
    say(host, "the caller streams data, then clears; the outgoing call idles out");
    host.run_for(seconds(100));
    say(host, "NDIS halts the adapter");
    host.ndis().halt();

    if (!options.quiet) {
        std::cout << "\nEvent log (" << options.lang << ")\n" << host.event_log().render_all(options.lang) << '\n';
        std::cout << "Summary\n";
        for (const auto &c : exchange.calls())
            std::cout << "  call " << (c.outgoing ? "to " : "from ") << c.remote << " on B" << (c.channel + 1) << ": "
                      << c.end << '\n';
        const auto &ch = exchange.channels();
        for (std::size_t i = 0; i < ch.size(); ++i)
            std::cout << "  B" << i + 1 << ": " << ch[i].frames_out << " frames / " << ch[i].bytes_out
                      << " bytes to the network, " << ch[i].frames_in << " frames / " << ch[i].bytes_in
                      << " bytes from it\n";
        std::cout << "  NDISWAN: " << host.ndiswan().packets().size() << " frames sent, "
                  << host.ndiswan().received().size() << " received\n";
        std::cout << "  verifier: no rule broken (" << format_time(host.now()) << " s of virtual time, "
                  << host.kernel().switches() << " context switches)\n";
    }
    return 0;
}

} // namespace tolvanex::sim
