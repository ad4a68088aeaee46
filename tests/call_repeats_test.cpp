// What comes twice on a call: a second connection message brings no second
// link; a second drop while the call clears leaves it clearing (its
// line-down is indicated again, as every line-down on a link that was up).

#include "driver_fixture.h"
#include "host_ndis.h"

namespace tolvanex::test {

class RepeatTest : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(open_listening_line(nullptr, &hdline));
        host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CALL, 0, 3);
        host.isdn().auto_answer(ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR, 0);
        ASSERT_EQ(host.ras().make_call(hdline, "0140506070", &hdcall).status, NDIS_STATUS_SUCCESS);
        host.run_for(seconds(2));
        host.isdn().queue_message(3, IsdnMessage{.code = APP_CONN_CO});
        host.settle();
        ASSERT_EQ(host.ndiswan().links().size(), 1u);
    }
    void TearDown() override {
        if (!host.stopped())
            host.ndis().halt();
    }
    std::size_t clears() {
        std::size_t n = 0;
        for (auto &c : host.isdn().commands())
            n += c.command == ISDN_CLASS_CONTROL && c.code == ISDN_CODE_CLEAR;
        return n;
    }

    HDRV_LINE hdline = 0;
    HDRV_CALL hdcall = 0;
};

TEST_F(RepeatTest, ASecondConnectionOfAConnectedCallBringsNoSecondLink) {
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CONN_CO});
    host.settle();
    EXPECT_EQ(host.ndiswan().links().size(), 1u);
    EXPECT_EQ(adapter->Ctx[CTX_B1].LineUp, 1);
}

TEST_F(RepeatTest, ASecondDropWhileTheCallClearsChangesNothing) {
    ASSERT_EQ(host.ras().drop(hdcall).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_CLEARING);
    EXPECT_EQ(host.ndiswan().line_downs(), 1u);
    ASSERT_EQ(host.ras().drop(hdcall).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_CLEARING);
    EXPECT_EQ(host.ndiswan().line_downs(), 2u);
    host.run_for(seconds(2));
    EXPECT_GE(clears(), 1u);
    host.isdn().queue_message(3, IsdnMessage{.code = APP_CLEAR_CO});
    host.settle();
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_FREE);
}

} // namespace tolvanex::test
