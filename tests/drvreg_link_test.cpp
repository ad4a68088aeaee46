// The device's symbolic link: made from Linkage\Export at start, a
// condition of start, and removed at halt.

#include "driver_fixture.h"

namespace tolvanex::test {

namespace {
const std::string kLinkage = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Linkage";
}

class LinkTest : public DriverTest {
  protected:
    LinkTest() { linkage = false; }
    NDIS_STATUS try_start() {
        EXPECT_EQ(host.ndis().load(DriverEntry), STATUS_SUCCESS);
        return host.ndis().initialize();
    }
    bool link_made() { return host.trace().count(TraceKind::Io, "IoCreateSymbolicLink") > 0; }
};

TEST_F(LinkTest, PointsAtTheFirstStringOfExportAndGoesAtHalt) {
    host.registry().set_multi_sz(kLinkage, "Export", {"\\Device\\Tolvanex1", "\\Device\\Other"});
    ASSERT_EQ(try_start(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host.link_target("\\DosDevices\\Tolvanex"), "\\Device\\Tolvanex1");
    host.ndis().halt();
    EXPECT_FALSE(host.link_exists("\\DosDevices\\Tolvanex"));
}

TEST(LinkFailures, EveryFailureFailsInitialisationAndLeavesNothingBehind) {
    struct Case {
        const char *what;
        std::function<void(Host &)> set_up;
        bool link_attempted;
    };
    const Case cases[] = {
        {"no Linkage key", [](Host &) {}, false},
        {"no Export value", [](Host &h) { h.registry().create_key(kLinkage); }, false},
        {"Export of another type", [](Host &h) { h.registry().set_sz(kLinkage, "Export", "\\Device\\Tolvanex"); },
         false},
        {"Export over the query buffer",
         [](Host &h) { h.registry().set_multi_sz(kLinkage, "Export", {std::string(200, 'x')}); }, false},
        {"link name taken",
         [](Host &h) {
             h.registry().set_multi_sz(kLinkage, "Export", {"\\Device\\Tolvanex"});
             h.create_link("\\DosDevices\\Tolvanex", "\\Device\\Someone");
         },
         true},
    };
    for (const Case &c : cases) {
        Host h;
        c.set_up(h);
        ASSERT_EQ(h.ndis().load(DriverEntry), STATUS_SUCCESS);
        EXPECT_EQ(h.ndis().initialize(), NDIS_STATUS_FAILURE) << c.what;
        EXPECT_EQ(h.trace().count(TraceKind::Io, "IoCreateSymbolicLink") > 0, c.link_attempted) << c.what;
        EXPECT_EQ(h.trace().count(TraceKind::Io, "IoDeleteSymbolicLink"), 0u) << c.what << ": never deleted";
        EXPECT_EQ(h.live_blocks(), 0u) << c.what << ": the ADAPTER is given back";
        EXPECT_EQ(pGlobal_Adapter, nullptr) << c.what;
    }
}

TEST_F(LinkTest, AParametersFailureDeletesTheLinkItMade) {
    host.registry().set_multi_sz(kLinkage, "Export", {"\\Device\\Tolvanex"});
    host.faults().fail_nth("NdisOpenConfiguration", 1);
    EXPECT_EQ(try_start(), NDIS_STATUS_FAILURE);
    EXPECT_EQ(host.trace().count(TraceKind::Io, "IoDeleteSymbolicLink"), 1u);
    EXPECT_FALSE(host.link_exists("\\DosDevices\\Tolvanex"));
    EXPECT_EQ(host.live_blocks(), 0u);
}

} // namespace tolvanex::test
