// A line opened after initialisation could start only some of its threads:
// the open marks the threads for the stop at halt again, and halt, finding
// them already stopped, returns cleanly.

#include "driver_fixture.h"
#include "host_ndis.h"

namespace tolvanex::test {

class OpenAfterThreadFailureTest : public DriverTest {};

TEST_F(OpenAfterThreadFailureTest, HaltReturnsCleanlyAfterAnOpenOnStoppedThreads) {
    host.ras().configure({{"1-01-00", "ClientAndServer"}});
    host.ras().configure_route({"1"});
    host.faults().fail_nth("PsCreateSystemThread", 2);
    start();
    EXPECT_EQ(adapter->ThreadsCreated, 0) << "the threads that started were stopped at once";
    ULONG lines = 0;
    ASSERT_EQ(host.ras().initialize(10, &lines).status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(lines, 1u);
    ASSERT_EQ(host.ras().open(10).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->ThreadsCreated, 1);
    host.run_for(seconds(2));
    host.ndis().halt();
    EXPECT_FALSE(host.stopped().has_value());
}

} // namespace tolvanex::test
