// RAS port lists whose values are not strings: the driver passes them over,
// and the line devices keep what they had before registration.

#include "driver_fixture.h"
#include "host_ndis.h"
#include "host_registry.h"

namespace tolvanex::test {

class PortTypesTest : public DriverTest {
  protected:
    void TearDown() override {
        if (!host.stopped() && adapter)
            host.ndis().halt();
    }
};

TEST_F(PortTypesTest, AnAddressListThatIsANumberGivesNoLineDevice) {
    host.registry().create_key(Ras::kKey, true);
    host.registry().set_dword(Ras::kKey, "Address", 10100);
    host.registry().set_multi_sz(Ras::kKey, "Usage", {"ClientAndServer"});
    host.ras().configure_route({"1"});
    start();
    EXPECT_EQ(adapter->AddressIndex, 0u) << "no address was taken";
    EXPECT_NE(adapter->Gateway[0].Used, 0xFF);
    ULONG lines = 99;
    host.ras().initialize(10, &lines);
    EXPECT_EQ(lines, 0u);
}

TEST_F(PortTypesTest, AUsageListThatIsBinaryLeavesTheUsagesAsTheyWere) {
    host.registry().create_key(Ras::kKey, true);
    host.registry().set_multi_sz(Ras::kKey, "Address", {"1-01-00"});
    host.registry().set_binary(Ras::kKey, "Usage", {'S', 0, 'e', 0, 'r', 0});
    host.ras().configure_route({"1"});
    start();
    EXPECT_EQ(adapter->Gateway[0].Used, 0xFF);
    EXPECT_EQ(adapter->UsageIndex, 0u) << "no usage was taken";
}

} // namespace tolvanex::test
