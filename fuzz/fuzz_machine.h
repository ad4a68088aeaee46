// What the fuzz targets share: a reader over libFuzzer's bytes, and a machine
// with the driver loaded, its lines open and the ISDN driver answering. A
// verifier stop is a finding and aborts the run with the rule broken; a
// HostError is the host refusing a request the input made up, and ends the
// input quietly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host.h"
#include "host_isdn.h"
#include "host_ndis.h"
#include "host_records.h"
#include "host_registry.h"
#include "tolvanex.h"

namespace tolvanex::fuzz {

using namespace tolvanex::host;

// Takes values off the front of the input; past its end every value is zero,
// so any input is a complete program.
class Input {
  public:
    Input(const std::uint8_t *data, std::size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ >= end_; }
    std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
    std::uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return u16() | (static_cast<std::uint32_t>(u16()) << 16); }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, left());
        std::vector<std::uint8_t> out(p_, p_ + n);
        p_ += n;
        return out;
    }
    std::string text(std::size_t max) {
        std::size_t n = std::min<std::size_t>(u8(), max);
        auto b = bytes(n);
        return std::string(b.begin(), b.end());
    }

  private:
    const std::uint8_t *p_, *end_;
};

// A driver fault: say what the verifier saw, then let libFuzzer record the input.
[[noreturn]] inline void finding(const VerifierStop &stop) {
    std::fprintf(stderr, "FINDING: %s\n", stop.what());
    std::fflush(stderr);
    std::abort();
}

// Runs one input's program on a fresh machine: the body, then halt and the
// teardown checks. Seed 0 keeps a run reproducible from its input alone.
template <class Body> int run_input(Body &&body) {
    try {
        HostOptions options;
        options.seed = 0;
        Host host(options);
        try {
            body(host);
        } catch (const HostError &) {
            // The input asked the host for something it refuses; the driver
            // did nothing wrong. Nothing more is checked on this machine.
            return 0;
        }
        if (!host.stopped() && host.ndis().initialized() && !host.ndis().halted())
            host.ndis().halt();
    } catch (const VerifierStop &stop) {
        finding(stop);
    } catch (const HostError &) {
    }
    return 0;
}

constexpr const char *kLinkage = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Linkage";

// Two RAS ports, the binding's route and the exported device name: the
// configuration the driver's suites start from.
inline void configure(Host &host) {
    host.ras().configure({{"1-01-00", "ClientAndServer"}, {"1-02-00", "Server"}});
    host.ras().configure_route({"1"});
    host.registry().set_multi_sz(kLinkage, "Export", {"\\Device\\Tolvanex"});
}

// DriverEntry and initialise; false when the driver declined to start.
inline bool start(Host &host) {
    if (host.ndis().load(DriverEntry) != STATUS_SUCCESS)
        return false;
    return host.ndis().initialize({NdisMediumWan}) == NDIS_STATUS_SUCCESS;
}

// What TAPI knows of the driver: its line handles and every call handle it
// was given, live or not (stale handles are worth sending too).
struct TapiState {
    std::vector<HDRV_LINE> lines;
    std::vector<HDRV_CALL> calls;
    std::size_t events_seen = 0;

    // Takes up the calls the driver offered since the last look.
    void collect(Host &host) {
        const auto &ev = host.tapi().events();
        for (; events_seen < ev.size(); ++events_seen)
            if (ev[events_seen].event.ulMsg == LINE_NEWCALL && calls.size() < 64)
                calls.push_back(ev[events_seen].event.ulParam1);
    }
    HDRV_LINE line(std::uint8_t pick) const { return lines.empty() ? pick : lines[pick % lines.size()]; }
    HDRV_CALL call(std::uint8_t pick) const { return calls.empty() ? pick : calls[pick % calls.size()]; }
};

// Whether a B-channel call on `hcom` has its WAN link up. A frame that
// arrives before the link is up is delivered on link context 0, as the
// driver's receive path is defined (ProcessDatInd queues in any state), and
// the verifier stops that run (tests/scripts/early-data.lua shows it); the
// programs send data only where this holds, so that they get past it.
inline bool link_up(std::uint8_t hcom) {
    if (!pGlobal_Adapter)
        return false;
    for (int i = CTX_B1; i <= CTX_B1 + 1; ++i) {
        const CTX &ctx = pGlobal_Adapter->Ctx[i];
        if (ctx.hCom == hcom && ctx.NdisLinkContext != 0)
            return true;
    }
    return false;
}

// Lets the general thread find and open the ISDN driver.
inline void wait_for_isdn(Host &host) {
    host.run_until([] { return pGlobal_Adapter && pGlobal_Adapter->PimIsdnDeviceObject != nullptr; }, seconds(11));
    host.settle();
}

// Initialises the provider and opens both lines.
inline void open_lines(Host &host, TapiState &tapi) {
    host.ras().initialize(10);
    for (ULONG id : {10u, 11u}) {
        HDRV_LINE hdline = 0;
        if (host.ras().open(id, nullptr, &hdline).status == NDIS_STATUS_SUCCESS)
            tapi.lines.push_back(hdline);
    }
}

} // namespace tolvanex::fuzz
