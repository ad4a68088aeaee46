// A machine with the Tolvanex driver loaded, for the driver's suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "host.h"
#include "host_faults.h"
#include "host_isdn.h"
#include "host_ndis.h"
#include "host_records.h"
#include "host_registry.h"
#include "tolvanex.h"

namespace tolvanex::test {

using namespace tolvanex::host;

// The scheduler seed of the driver suites: TOLVANEX_SEED, 0 when unset, so
// a sweep can run every suite under many schedules.
inline HostOptions seeded_options() {
    HostOptions o;
    if (const char *s = std::getenv("TOLVANEX_SEED"))
        o.seed = std::strtoull(s, nullptr, 10);
    return o;
}

// A TAPI event as the driver indicated it, comparable in expectations.
struct Ev {
    ULONG htLine, htCall, msg, p1, p2, p3;
    bool operator==(const Ev &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Ev &e) {
    return os << NdisTapi::message_name(e.msg) << " htLine " << std::hex << e.htLine << " htCall " << e.htCall
              << " p1 " << e.p1 << " p2 " << e.p2 << " p3 " << e.p3 << std::dec;
}

class DriverTest : public ::testing::Test {
  protected:
    explicit DriverTest(HostOptions options = seeded_options()) : host(options) {}

    // The service's Linkage as the system's binding leaves it: the exported
    // device name the symbolic link points at, and the adapter number.
    void configure_linkage() {
        const std::string linkage = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Linkage";
        if (!host.registry().key_exists(linkage) || !host.registry().get_value(linkage, "Export"))
            host.registry().set_multi_sz(linkage, "Export", {"\\Device\\Tolvanex"});
    }

    // DriverEntry and the initialise handler; asserts both succeed.
    void start(const std::vector<NDIS_MEDIUM> &media = {NdisMediumWan}) {
        if (linkage)
            configure_linkage();
        ASSERT_EQ(host.ndis().load(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(host.ndis().initialize(media), NDIS_STATUS_SUCCESS);
        adapter = pGlobal_Adapter;
        ASSERT_NE(adapter, nullptr);
    }

    // Lets the ISDN driver appear and the general thread open it.
    void open_isdn() {
        host.isdn().attach();
        ASSERT_TRUE(host.run_until([&] { return SharedRead(adapter->PimIsdnDeviceObject) != nullptr; }, seconds(11)));
    }

    // RAS lists two ports and opens line 10 once the driver is started and
    // the ISDN driver open; listens are answered. Returns once the listen
    // is placed and read on. Wrap the call in ASSERT_NO_FATAL_FAILURE.
    void open_listening_line(HTAPI_LINE *htline, HDRV_LINE *hdline) {
        host.ras().configure({{"1-01-00", "ClientAndServer"}, {"1-02-00", "Server"}});
        host.ras().configure_route({"1"});
        start();
        open_isdn();
        host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN, 0, 1);
        host.isdn().auto_answer(ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN, 0);
        ASSERT_EQ(host.ras().initialize(10).status, NDIS_STATUS_SUCCESS);
        ASSERT_EQ(host.ras().open(10, htline, hdline).status, NDIS_STATUS_SUCCESS);
        host.run_for(seconds(5));
    }

    std::size_t events(std::uint32_t id) {
        std::size_t n = 0;
        for (auto &e : host.event_log().entries())
            n += e.id == id;
        return n;
    }

    // The TAPI events indicated since `from` (a count of events so far).
    std::vector<Ev> events_since(std::size_t from) {
        std::vector<Ev> out;
        const auto &all = host.tapi().events();
        for (std::size_t i = from; i < all.size(); ++i) {
            const NDIS_TAPI_EVENT &e = all[i].event;
            out.push_back({e.htLine, e.htCall, e.ulMsg, e.ulParam1, e.ulParam2, e.ulParam3});
        }
        return out;
    }
    std::size_t mark() { return host.tapi().events().size(); }

    // The next ISDN command, waiting up to `limit` for it.
    const IsdnCommandRecord *next_command(Ticks limit = seconds(2)) {
        host.run_until([&] { return host.isdn().next_unanswered() != nullptr; }, limit);
        return host.isdn().next_unanswered();
    }

    Host host;
    PADAPTER adapter = nullptr;
    bool linkage = true; // start() writes Linkage\\Export when absent
};

} // namespace tolvanex::test
